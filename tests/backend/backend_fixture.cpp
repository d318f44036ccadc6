#include "tests/backend/backend_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

// Every backend test process logs, so tests can check the debug lines they
// expect; the switch is read once, at the first dbg call, after this.
static const bool gDebugOn = (::setenv("TALVANE_DEBUG", "1", 1), true);

std::string pngBytes() { return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16); }

bool writeBytes(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> leftoverRequestFiles() {
  std::vector<std::string> left;
  for (const std::string& name : listDir(tempDir())) {
    for (const char* prefix :
         {"ofx_curl_status", "ofx_auth_hdr", "ofx_device_token_form", "ofx_answer"}) {
      if (name.rfind(prefix, 0) == 0) left.push_back(name);
    }
  }
  return left;
}

std::vector<std::string> debugLines() {
  std::vector<std::string> lines;
  std::istringstream in(readFile(tempDir() + "/ofx_debug.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool hasDebugLine(const std::string& line) {
  const auto lines = debugLines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

HelperRun runHelper(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, int timeoutSeconds) {
  std::vector<std::string> words{TALVANE_BACKEND_HELPER};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> envWords;
  for (const auto& [k, v] : env) envWords.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envWords) envp.push_back(e.data());
  envp.push_back(nullptr);

  HelperRun run;
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return run;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

void BackendTest::SetUp() {
  ASSERT_TRUE(gDebugOn);
  ASSERT_TRUE(makeWorkDir());
  ASSERT_TRUE(server.start());
}

void BackendTest::TearDown() { server.stop(); }
