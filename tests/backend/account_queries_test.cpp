// Account and version queries, overlapping requests, and a fresh machine.
#include "tests/backend/backend_fixture.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace {

class AccountQuery : public BackendTest {
 protected:
  int fetch(const std::string& token = "tok-1") {
    return fetchBalance(server.url(), token, email, balance);
  }
  std::string email = "stale";
  int balance = -9;
};

class VersionQuery : public BackendTest {
 protected:
  bool fetch() { return fetchLatestVersion(server.url(), latest, downloadUrl); }
  std::string latest = "stale", downloadUrl = "stale";
};

}  // namespace

TEST_F(AccountQuery, AnswerGivesEmailAndBalance) {
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"ann@example.org","balance":41})"});
  EXPECT_EQ(fetch(), 200);
  EXPECT_EQ(email, "ann@example.org");
  EXPECT_EQ(balance, 41);
  const auto seen = server.requestsTo("/v1/me");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(readFile(tempDir() + "/ofx_me_response.json"),
            R"({"email":"ann@example.org","balance":41})");
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(AccountQuery, MissingFieldsReadAsEmptyAndMinusOne) {
  server.reply("GET", "/v1/me", Reply{200, R"({"balance":0})"});
  EXPECT_EQ(fetch(), 200);
  EXPECT_EQ(balance, 0);
  EXPECT_EQ(email, "");
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"a@b"})"});
  EXPECT_EQ(fetch(), 200);
  EXPECT_EQ(balance, -1);
}

TEST_F(AccountQuery, RefusalReturnsStatusAndLeavesOutputsClear) {
  for (int status : {401, 403, 500}) {
    server.reply("GET", "/v1/me", Reply{status, R"({"email":"x@y","balance":5})"});
    EXPECT_EQ(fetch(), status);
    EXPECT_EQ(email, "");
    EXPECT_EQ(balance, 0);
    EXPECT_TRUE(hasDebugLine("fetchBalance: HTTP " + std::to_string(status)));
  }
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(AccountQuery, BadTokenOrUrlWritesNothing) {
  const auto before = listDir(tempDir());
  for (const std::string& token : {std::string(), std::string("a=b"), std::string(257, 't')})
    EXPECT_EQ(fetch(token), -1);
  EXPECT_EQ(fetchBalance("https://h/$x", "tok", email, balance), -1);
  EXPECT_EQ(listDir(tempDir()), before);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(AccountQuery, UnreachableServiceIsZero) {
  const std::string url = server.url();
  server.stop();
  EXPECT_EQ(fetchBalance(url, "tok", email, balance), 0);
  EXPECT_TRUE(hasDebugLine("fetchBalance: HTTP 0"));
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(VersionQuery, LatestAndDownloadUrl) {
  server.reply("GET", "/version.json",
               Reply{200, R"({"latest":"1.2.0","download_url":"https://d/x"})"});
  EXPECT_TRUE(fetch());
  EXPECT_EQ(latest, "1.2.0");
  EXPECT_EQ(downloadUrl, "https://d/x");
  EXPECT_EQ(server.requestsTo("/version.json")[0].header("Authorization"), "");
  server.reply("GET", "/version.json", Reply{200, R"({"latest":"1.3.0"})"});
  EXPECT_TRUE(fetch());
  EXPECT_EQ(downloadUrl, "");
}

TEST_F(VersionQuery, MissingLatestOrFailureIsFalse) {
  server.reply("GET", "/version.json", Reply{200, R"({"download_url":"https://d/x"})"});
  EXPECT_FALSE(fetch());
  EXPECT_EQ(downloadUrl, "https://d/x");
  server.reply("GET", "/version.json", Reply{503, R"({"latest":"9"})"});
  EXPECT_FALSE(fetch());
  EXPECT_EQ(latest, "");
  EXPECT_TRUE(hasDebugLine("fetchLatestVersion: HTTP 503"));
  EXPECT_FALSE(fetchLatestVersion("nope", latest, downloadUrl));
}

TEST_F(VersionQuery, SilentServiceGivesUpAfterAboutThreeSeconds) {
  Reply never;
  never.neverAnswer = true;
  server.reply("GET", "/version.json", never);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fetch());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_TRUE(hasDebugLine("fetchLatestVersion: HTTP 0"));
}

TEST_F(AccountQuery, OverlappingRequestsKeepTheirOwnStatusAndHeader) {
  ASSERT_TRUE(writeBytes(grabbedFile("2"), pngBytes()));
  Reply slowRefusal{402, "{}"};
  slowRefusal.delayMs = 1500;
  server.reply("POST", "/v1/generate", slowRefusal);
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"ann@example.org","balance":7})"});

  int generation = -1;
  std::thread worker(
      [&] { generation = sendToBackend("2", server.url(), "gen-token", "p", inputFile("2")); });
  // Let the generation reach the service, then refresh the account while it waits.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.requestsTo("/v1/generate").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(fetch("me-token"), 200);
  EXPECT_EQ(balance, 7);
  worker.join();
  EXPECT_EQ(generation, 402);

  EXPECT_EQ(server.requestsTo("/v1/generate")[0].header("Authorization"), "Bearer gen-token");
  EXPECT_EQ(server.requestsTo("/v1/me")[0].header("Authorization"), "Bearer me-token");
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(AccountQuery, OverlapTheOtherWayRound) {
  ASSERT_TRUE(writeBytes(grabbedFile("2"), pngBytes()));
  Reply slowExpired{401, "{}"};
  slowExpired.delayMs = 1500;
  server.reply("GET", "/v1/me", slowExpired);
  server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});

  int account = -1;
  std::thread panel([&] { account = fetch(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.requestsTo("/v1/me").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(sendToBackend("2", server.url(), "gen-token", "p", inputFile("2")), 200);
  panel.join();
  EXPECT_EQ(account, 401);
  EXPECT_EQ(server.requestsTo("/v1/generate")[0].header("Authorization"), "Bearer gen-token");
}

TEST(FreshMachine, RequestCreatesTheWorkingDirectory) {
  TempHome home;
  LoopbackServer server;
  ASSERT_TRUE(server.start());
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"new@example.org","balance":1})"});
  ASSERT_FALSE(fileExists(home.path() + "/Documents"));
  const mode_t oldMask = ::umask(022);
  std::string email;
  int balance = 0;
  EXPECT_EQ(fetchBalance(server.url(), "tok", email, balance), 200);
  ::umask(oldMask);
  EXPECT_EQ(email, "new@example.org");
  struct stat st;
  ASSERT_EQ(::stat(home.workDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(fileExists(home.workDir() + "/ofx_me_response.json"));
}

TEST(FreshMachine, VersionQueryAlsoCreatesIt) {
  TempHome home;
  LoopbackServer server;
  ASSERT_TRUE(server.start());
  server.reply("GET", "/version.json", Reply{200, R"({"latest":"1.0.1"})"});
  std::string latest, download;
  EXPECT_TRUE(fetchLatestVersion(server.url(), latest, download));
  EXPECT_TRUE(fileExists(home.workDir() + "/ofx_version_response.json"));
}
