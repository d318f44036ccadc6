#include "tests/cli/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Environment of the test with overrides applied by name.
std::vector<std::string> mergedEnv(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& o : overrides) replaced = replaced || o.substr(0, o.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& outPath, const std::string& errPath, long fileSizeLimit = 0) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int in = open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (fileSizeLimit > 0) {
    rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

// Waits for pid until the deadline; false when it is still running.
bool waitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

pid_t startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& scratchDir) {
  return spawn(argv, mergedEnv(env), scratchDir + "/.stdout", scratchDir + "/.stderr");
}

ProgramResult waitProgram(pid_t pid, const std::string& scratchDir, double timeoutSeconds) {
  ProgramResult result;
  const std::string outPath = scratchDir + "/.stdout", errPath = scratchDir + "/.stderr";
  if (pid < 0) return result;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  if (!waitUntil(pid, deadline, status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    result.timedOut = true;
  } else if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.out = readAll(outPath);
  result.err = readAll(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& scratchDir, double timeoutSeconds, long fileSizeLimit) {
  pid_t pid =
      spawn(argv, mergedEnv(env), scratchDir + "/.stdout", scratchDir + "/.stderr", fileSizeLimit);
  return waitProgram(pid, scratchDir, timeoutSeconds);
}

pid_t startService(const std::string& binary, const std::vector<std::string>& flags,
                   const std::string& logPath, int& port) {
  port = 0;
  std::vector<std::string> argv = {binary, "--bind", "127.0.0.1"};
  argv.insert(argv.end(), flags.begin(), flags.end());
  pid_t pid = spawn(argv, mergedEnv({}), logPath, logPath + ".err");
  if (pid < 0) return -1;
  const char marker[] = "listening on http://127.0.0.1:";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string log = readAll(logPath);
    size_t at = log.find(marker);
    if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
      port = std::atoi(log.c_str() + at + sizeof marker - 1);
      return pid;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stopProcess(pid);
  return -1;
}

void stopProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  if (!waitUntil(pid, std::chrono::steady_clock::now() + std::chrono::seconds(5), status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}
