// The curl we start owes nothing to its surroundings: the user's ~/.curlrc is
// not read, and it inherits none of the host's descriptors, blocked signals
// or ignored signals.
#include "tests/backend/backend_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// The curl this process started, found through /proc while it runs; -1 when none within 5 s.
pid_t runningCurl() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    DIR* proc = ::opendir("/proc");
    for (dirent* e = proc ? ::readdir(proc) : nullptr; e; e = ::readdir(proc)) {
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string pid, comm, state;
      pid_t parent = 0;
      if (stat >> pid >> comm >> state >> parent && comm == "(curl)" && parent == ::getpid()) {
        ::closedir(proc);
        return pid_t(std::stol(pid));
      }
    }
    if (proc) ::closedir(proc);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// A signal-set line of /proc/<pid>/status ("SigBlk", "SigIgn") as a bit mask.
unsigned long long signalSet(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0)
      return std::stoull(line.substr(name.size() + 1), nullptr, 16);
  return ~0ULL;
}

bool holdsFile(pid_t pid, const std::string& path) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(dir.c_str());
  bool found = false;
  for (dirent* e = fds ? ::readdir(fds) : nullptr; e; e = ::readdir(fds)) {
    char target[4096];
    const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target);
    if (n > 0 && std::string(target, size_t(n)) == path) found = true;
  }
  if (fds) ::closedir(fds);
  return found;
}

class CurlIsolation : public BackendTest {};

}  // namespace

TEST_F(CurlIsolation, UsersCurlrcIsNotRead) {
  // Each line would change what we send or what we read back as the answer.
  ASSERT_TRUE(
      writeBytes(home.path() + "/.curlrc", "header = \"X-Planted: 1\"\ninclude\nlocation\n"));
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"a@b.c","balance":3})"});
  std::string email;
  int balance = 0;
  EXPECT_EQ(fetchBalance(server.url(), "tok", email, balance), 200);
  ASSERT_EQ(server.requestsTo("/v1/me").size(), 1u);
  EXPECT_EQ(server.requestsTo("/v1/me")[0].header("X-Planted"), "");
  EXPECT_EQ(readFile(tempDir() + "/ofx_me_response.json"), R"({"email":"a@b.c","balance":3})");
}

// The host left a descriptor open across exec, blocks SIGUSR1 on the calling
// thread and ignores SIGUSR2: curl sees none of it.
TEST_F(CurlIsolation, CurlInheritsNoDescriptorAndNoSignalState) {
  server.reply("GET", "/version.json",
               Reply{200, R"({"latest":"1.0.0"})", "application/json", 1500});
  const std::string hostFile = home.path() + "/host-file";
  const int hostFd = ::open(hostFile.c_str(), O_WRONLY | O_CREAT, 0600);  // no O_CLOEXEC
  ASSERT_GE(hostFd, 0);
  const auto oldIgnore = ::signal(SIGUSR2, SIG_IGN);
  std::thread request([url = server.url()] {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::string latest, download;
    fetchLatestVersion(url, latest, download);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  });
  const pid_t curl = runningCurl();
  EXPECT_GT(curl, 0);
  if (curl > 0) {
    EXPECT_FALSE(holdsFile(curl, hostFile));
    EXPECT_EQ(signalSet(curl, "SigBlk") & (1ULL << (SIGUSR1 - 1)), 0u);
    EXPECT_EQ(signalSet(curl, "SigIgn") & (1ULL << (SIGUSR2 - 1)), 0u);
  }
  request.join();
  ::signal(SIGUSR2, oldIgnore);
  ::close(hostFd);
}
