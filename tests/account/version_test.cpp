// The once-per-process version check and its one question. Each scenario
// runs the real bundle in a process of its own (account_version_probe), since
// the check's state lives as long as the process; the service, the opener
// and HOME are shared with that process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/account/account_test_env.h"
#include "tests/support/temp_home.h"

extern char** environ;

namespace {

const std::string kService = TALVANE_TEST_SERVICE_URL;
const std::string kQuestion =
    "question talvane.update A newer version of Talvane (%s) is available.\\n\\nYou're on 1.0.0. "
    "Open the download page now?";

std::string questionFor(const std::string& latest) {
  std::string text = kQuestion;
  text.replace(text.find("%s"), 2, latest);
  return text;
}

struct ProbeResult {
  bool ran = false;
  std::vector<std::string> questions;
  std::vector<std::string> otherMessages;
  std::vector<int> hidden;
  int late = -1;
};

// Runs the probe with a bound; its standard output goes through a file.
ProbeResult runProbe(const std::string& home, int instances, bool concurrent, bool messageSuite,
                     bool answerYes) {
  ProbeResult result;
  const std::string outPath = home + "/probe.out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  const std::string count = std::to_string(instances);
  std::vector<std::string> words = {
      TALVANE_VERSION_PROBE,  TALVANE_TEST_BUNDLE,      count,
      concurrent ? "1" : "0", messageSuite ? "1" : "0", answerYes ? "yes" : "no"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return result;

  int status = 0;
  const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 60);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  result.ran = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::ifstream in(outPath);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "question") {
      result.questions.push_back(line);
    } else if (kind == "message") {
      result.otherMessages.push_back(line);
    } else if (kind == "hidden") {
      int index = 0, value = -1;
      words >> index >> value;
      result.hidden.push_back(value);
    } else if (kind == "late") {
      words >> result.late;
    }
  }
  return result;
}

class VersionCheck : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start(28517)) << "port 28517 busy"; }
  void answerVersion(const std::string& json, int status = 200, int delayMs = 0) {
    Reply reply{status, json};
    reply.delayMs = delayMs;
    server.reply("GET", "/version.json", reply);
  }
  size_t versionQueries() { return server.requestsTo("/version.json").size(); }

  TempHome home;
  OpenerStub opener;
  LoopbackServer server;
};

TEST_F(VersionCheck, NewerVersionShowsTheButtonEverywhereAndAsksOnce) {
  answerVersion(R"({"latest":"1.0.1","download_url":")" + kService + R"(/dl/1.0.1"})");
  const ProbeResult r = runProbe(home.path(), 3, false, true, false);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(r.questions, std::vector<std::string>{questionFor("1.0.1")});
  EXPECT_TRUE(r.otherMessages.empty());
  EXPECT_EQ(r.hidden, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(r.late, 0);
  EXPECT_EQ(versionQueries(), 1u);
  EXPECT_FALSE(opener.waitForCalls(1, 0.5)) << "No must not open anything";
}

TEST_F(VersionCheck, YesOpensTheDownloadPage) {
  answerVersion(R"({"latest":"2.1.0","download_url":")" + kService + R"(/dl/2.1.0"})");
  const ProbeResult r = runProbe(home.path(), 1, false, true, true);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(r.questions, std::vector<std::string>{questionFor("2.1.0")});
  ASSERT_TRUE(opener.waitForCalls(1, 5));
  EXPECT_EQ(opener.urls(), std::vector<std::string>{kService + "/dl/2.1.0"});
}

TEST_F(VersionCheck, YesWithoutADownloadUrlOpensTheServiceDownloadPage) {
  answerVersion(R"({"latest":"1.0.1"})");
  const ProbeResult r = runProbe(home.path(), 1, false, true, true);
  ASSERT_TRUE(r.ran);
  ASSERT_TRUE(opener.waitForCalls(1, 5));
  EXPECT_EQ(opener.urls(), std::vector<std::string>{kService + "/download"});
}

TEST_F(VersionCheck, UnsafeDownloadUrlIsNeverOpened) {
  answerVersion(R"({"latest":"1.0.1","download_url":"https://dl.example/x y"})");
  const ProbeResult r = runProbe(home.path(), 1, false, true, true);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(r.questions.size(), 1u);
  EXPECT_FALSE(opener.waitForCalls(1, 0.5));
}

TEST_F(VersionCheck, ConcurrentInstancesMakeOneQueryAndOneQuestion) {
  // A slow answer keeps the check running while the other instances arrive.
  answerVersion(R"({"latest":"1.0.1"})", 200, 300);
  const ProbeResult r = runProbe(home.path(), 8, true, true, false);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(versionQueries(), 1u);
  EXPECT_EQ(r.questions, std::vector<std::string>{questionFor("1.0.1")});
  EXPECT_EQ(r.late, 0);
}

TEST_F(VersionCheck, HostWithoutMessagesShowsTheButtonAndNeverAsks) {
  answerVersion(R"({"latest":"1.0.1"})");
  const ProbeResult r = runProbe(home.path(), 2, false, false, true);
  ASSERT_TRUE(r.ran);
  EXPECT_TRUE(r.questions.empty());
  EXPECT_TRUE(r.otherMessages.empty());
  EXPECT_EQ(r.hidden, (std::vector<int>{0, 0}));
  EXPECT_EQ(r.late, 0);
  EXPECT_FALSE(opener.waitForCalls(1, 0.5));
}

struct LatestCase {
  const char* name;
  int status;
  std::string body;
  bool update;
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const LatestCase& c, std::ostream* out) { *out << c.name; }

class LatestAnswer : public VersionCheck, public ::testing::WithParamInterface<LatestCase> {};

TEST_P(LatestAnswer, RevealsTheButtonOnlyForANewerVersion) {
  const LatestCase& c = GetParam();
  answerVersion(c.body, c.status);
  const ProbeResult r = runProbe(home.path(), 2, false, true, false);
  ASSERT_TRUE(r.ran);
  const int hidden = c.update ? 0 : 1;
  EXPECT_EQ(r.hidden, (std::vector<int>{hidden, hidden}));
  EXPECT_EQ(r.late, hidden);
  EXPECT_EQ(r.questions.size(), c.update ? 1u : 0u);
  EXPECT_EQ(versionQueries(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LatestAnswer,
    ::testing::Values(LatestCase{"Patch", 200, R"({"latest":"1.0.1"})", true},
                      LatestCase{"ExtraComponent", 200, R"({"latest":"1.0.0.1"})", true},
                      LatestCase{"DoubleDot", 200, R"({"latest":"2..0"})", true},
                      LatestCase{"ShorterButEqual", 200, R"({"latest":"1.0"})", false},
                      LatestCase{"Older", 200, R"({"latest":"0.9.9"})", false},
                      LatestCase{"ReleaseCandidateSuffix", 200, R"({"latest":"1.0.0-rc2"})", false},
                      LatestCase{"Empty", 200, R"({"latest":""})", false},
                      LatestCase{"Missing", 200, R"({"download_url":"https://x.example/"})", false},
                      LatestCase{"Failure", 500, R"({"latest":"9.0.0"})", false}),
    [](const ::testing::TestParamInfo<LatestCase>& info) { return std::string(info.param.name); });

}  // namespace
