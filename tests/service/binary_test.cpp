// The talvane-service executable: its start-up line, flags and clean shutdown.
#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <thread>

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

Child spawnService(const std::vector<std::string>& args) {
  Child child;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  std::string path = TALVANE_SERVICE_BINARY;
  argv.push_back(path.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

// Reads the child's stdout until it closes or the time is up.
std::string readOutput(int fd, int timeoutMs, bool firstLineOnly) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (firstLineOnly && text.find('\n') != std::string::npos) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  return text;
}

// Waits for the child to end within the bound; -1 if it did not (then it is killed).
int waitExit(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

int portFromLine(const std::string& line) {
  const std::string prefix = "talvane-service listening on http://127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) return 0;
  return std::atoi(line.c_str() + prefix.size());
}

}  // namespace

TEST(ServiceBinary, PrintsItsAddressServesAndStopsCleanlyOnSigterm) {
  std::string dir = makeTempDir();
  Child child = spawnService(
      {"--port", "0", "--state", dir + "/state.json", "--auto-approve", "--balance", "4"});
  ASSERT_GT(child.pid, 0);
  std::string line = readOutput(child.out, 5000, true);
  int port = portFromLine(line);
  ASSERT_GT(port, 0) << line;

  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(5, 0);
  auto code = client.Post("/v1/device/code");
  ASSERT_TRUE(code);
  auto device = nlohmann::json::parse(code->body)["device_code"].get<std::string>();
  auto token =
      client.Post("/v1/device/token",
                  "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=" + device,
                  "application/x-www-form-urlencoded");
  ASSERT_TRUE(token);
  EXPECT_EQ(token->status, 200);
  EXPECT_NE(token->body.find("\"email\":\"demo@localhost\""), std::string::npos);

  kill(child.pid, SIGTERM);
  EXPECT_EQ(waitExit(child.pid, 5000), 0);
  close(child.out);
  EXPECT_NE(readFile(dir + "/state.json").find("demo@localhost"), std::string::npos);
  removeTree(dir);
}

TEST(ServiceBinary, StopsOnSigintToo) {
  Child child = spawnService({"--port=0"});
  ASSERT_GT(child.pid, 0);
  ASSERT_GT(portFromLine(readOutput(child.out, 5000, true)), 0);
  kill(child.pid, SIGINT);
  EXPECT_EQ(waitExit(child.pid, 5000), 0);
  close(child.out);
}

TEST(ServiceBinary, HelpSaysWhatItIsAndIsNot) {
  Child child = spawnService({"--help"});
  ASSERT_GT(child.pid, 0);
  std::string text = readOutput(child.out, 5000, false);
  EXPECT_EQ(waitExit(child.pid, 5000), 0);
  close(child.out);
  EXPECT_NE(text.find("not a generative model"), std::string::npos);
  for (const char* flag : {"--port", "--bind", "--state", "--balance", "--latest-version",
                           "--download-url", "--auto-approve", "--latency-ms"})
    EXPECT_NE(text.find(flag), std::string::npos) << flag;
}

TEST(ServiceBinary, BadFlagsExitWithUsageError) {
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"--port", "99999"},
                                             {"--bogus"},
                                             {"--balance"},
                                             {"--auto-approve=not-an-email"},
                                             {"--code-ttl", "0"}}) {
    Child child = spawnService(args);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(waitExit(child.pid, 5000), 2) << args[0];
    close(child.out);
  }
}

TEST(ServiceBinary, RefusesACorruptStateFile) {
  std::string dir = makeTempDir();
  writeFile(dir + "/state.json", "[1,2");
  Child child = spawnService({"--state", dir + "/state.json"});
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(waitExit(child.pid, 5000), 1);
  close(child.out);
  removeTree(dir);
}
