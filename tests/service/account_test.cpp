// Accounts, versions, the pages around them, persistence and request hygiene.
#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using json = nlohmann::json;

namespace {

class Accounts : public ::testing::Test {
 protected:
  void start(ServiceConfig config = {}) {
    service = startService(config);
    ASSERT_TRUE(service);
  }
  void TearDown() override {
    stopService(service);
    if (!dir.empty()) removeTree(dir);
  }
  httplib::Result me(const std::string& token) {
    return clientFor(*service).Get("/v1/me",
                                   httplib::Headers{{"Authorization", "Bearer " + token}});
  }

  std::unique_ptr<RunningService> service;
  std::string dir;
};

// Sends raw bytes and returns the status line of the answer, or "" if none came.
std::string rawExchange(int port, const std::string& bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    (void)!write(fd, bytes.data(), bytes.size());
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0) answer.assign(buffer, size_t(n));
  }
  close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

}  // namespace

TEST_F(Accounts, MeAnswersEmailAndBalanceInCompactJson) {
  ServiceConfig config;
  config.startBalance = 12;
  start(config);
  std::string token = signIn(*service, "kim%40example.org");
  ASSERT_FALSE(token.empty());
  auto res = me(token);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "{\"balance\":12,\"email\":\"kim@example.org\"}");
}

TEST_F(Accounts, MeRefusesUnknownMalformedAndRevokedTokens) {
  start();
  std::string token = signIn(*service, "kim%40example.org");
  ASSERT_FALSE(token.empty());
  httplib::Client client = clientFor(*service);
  auto none = client.Get("/v1/me");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 401);
  EXPECT_NE(none->body.find("\"detail\":\""), std::string::npos);
  EXPECT_EQ(me("tlv_unknown")->status, 401);
  EXPECT_EQ(me("with space")->status, 401);
  auto basic = client.Get("/v1/me", httplib::Headers{{"Authorization", "Basic " + token}});
  EXPECT_EQ(basic->status, 401);

  auto revoke = client.Post("/v1/revoke", httplib::Headers{{"Authorization", "Bearer " + token}},
                            "", "text/plain");
  ASSERT_TRUE(revoke);
  EXPECT_EQ(revoke->status, 200);
  EXPECT_EQ(me(token)->status, 401);
}

TEST_F(Accounts, PluginAccountCommandLineReadsTheHeaderFile) {
  start();
  std::string token = signIn(*service, "kim%40example.org");
  dir = makeTempDir();
  writeFile(dir + "/hdr.txt", "Authorization: Bearer " + token + "\n");
  CurlResult res = runCurl("-X GET " + service->base + "/v1/me -H @\"" + dir + "/hdr.txt\"");
  EXPECT_EQ(res.status, 200);
  EXPECT_NE(res.body.find("\"email\":\"kim@example.org\""), std::string::npos);
}

TEST_F(Accounts, VersionJsonReportsTheConfiguredRelease) {
  ServiceConfig config;
  config.latestVersion = "1.2.0";
  config.downloadUrl = "https://example.test/get";
  start(config);
  CurlResult res =
      runCurl("-X GET " + service->base + "/version.json --max-time 3 --connect-timeout 2");
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.body, "{\"download_url\":\"https://example.test/get\",\"latest\":\"1.2.0\"}");
}

TEST_F(Accounts, VersionJsonPointsAtTheOwnDownloadPageByDefault) {
  start();
  auto res = clientFor(*service).Get("/version.json");
  ASSERT_TRUE(res);
  json body = json::parse(res->body);
  EXPECT_EQ(body["latest"], "1.0.0");
  EXPECT_EQ(body["download_url"], service->base + "/download");
  auto page = clientFor(*service).Get("/download");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("1.0.0"), std::string::npos);
}

TEST_F(Accounts, BuyPageAddsTokens) {
  ServiceConfig config;
  config.startBalance = 3;
  start(config);
  std::string token = signIn(*service, "kim%40example.org");
  httplib::Client client = clientFor(*service);
  auto form = client.Get("/buy");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 200);
  EXPECT_NE(form->body.find("name=\"count\""), std::string::npos);
  auto add = postForm(*service, "/buy", "/buy", "email=Kim%40example.org&count=40");
  ASSERT_TRUE(add);
  EXPECT_EQ(add->status, 200);
  EXPECT_NE(add->body.find("Balance: 43."), std::string::npos);
  EXPECT_EQ(json::parse(me(token)->body)["balance"], 43);
}

TEST_F(Accounts, BuyPageRefusesBadInput) {
  start();
  for (const char* body :
       {"email=nobody&count=5", "email=a%40b.c&count=0", "email=a%40b.c&count=-3",
        "email=a%40b.c&count=lots", "email=a%40b.c&count=9999999", "email=a%40b.c"}) {
    auto res = postForm(*service, "/buy", "/buy", body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << body;
    EXPECT_NE(res->body.find("class=\"error\""), std::string::npos) << body;
  }
}

TEST_F(Accounts, PagesEscapeWhatTheyEcho) {
  start();
  auto res = clientFor(*service).Get("/buy?email=%3Cscript%3Ealert(1)%3C/script%3E");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body.find("<script>"), std::string::npos);
  EXPECT_NE(res->body.find("&lt;script&gt;"), std::string::npos);
}

TEST_F(Accounts, SignInsAndBalancesSurviveARestart) {
  dir = makeTempDir();
  ServiceConfig config;
  config.statePath = dir + "/state.json";
  config.startBalance = 9;
  start(config);
  std::string token = signIn(*service, "kim%40example.org");
  ASSERT_FALSE(token.empty());
  auto pending = clientFor(*service).Post("/v1/device/code");
  json grant = json::parse(pending->body);
  stopService(service);

  EXPECT_EQ(readFile(config.statePath).find("kim@example.org") != std::string::npos, true);
  start(config);
  auto res = me(token);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["balance"], 9);
  // A code issued before the restart can still be approved after it.
  auto page = postForm(*service, "/buy", "/device",
                       "user_code=" + grant["user_code"].get<std::string>() +
                           "&email=lee%40example.org&action=approve");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  auto token2 = clientFor(*service).Post(
      "/v1/device/token",
      "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=" +
          grant["device_code"].get<std::string>(),
      "application/x-www-form-urlencoded");
  EXPECT_EQ(token2->status, 200);
}

TEST_F(Accounts, StateFileIsReplacedWholeWithoutLeftovers) {
  dir = makeTempDir();
  ServiceConfig config;
  config.statePath = dir + "/state.json";
  start(config);
  for (int i = 0; i < 3; ++i) signIn(*service, "kim%40example.org");
  json doc = json::parse(readFile(config.statePath));
  EXPECT_EQ(doc["tokens"].size(), 3u);
  EXPECT_EQ(std::system(("test $(ls -A '" + dir + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(Accounts, CorruptStateFileIsRefusedNotOverwritten) {
  dir = makeTempDir();
  writeFile(dir + "/state.json", "{ not json");
  ServiceState state;
  std::string error;
  EXPECT_FALSE(loadState(state, dir + "/state.json", error));
  EXPECT_NE(error.find("state.json"), std::string::npos);
  EXPECT_EQ(readFile(dir + "/state.json"), "{ not json");
}

TEST_F(Accounts, UnknownPathsAndWrongMethodsAnswerJsonErrors) {
  start();
  httplib::Client client = clientFor(*service);
  auto missing = client.Get("/v1/nothing");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "{\"detail\":\"Not found\"}");
  auto wrong = client.Get("/v1/generate");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 405);
}

TEST_F(Accounts, GarbageOnTheWireGets400AndTheServiceCarriesOn) {
  start();
  EXPECT_EQ(rawExchange(service->port, "\x01\x02 nonsense\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(rawExchange(service->port, "POST /v1/device/token HTTP/1.1\r\nHost: 127.0.0.1:" +
                                           std::to_string(service->port) +
                                           "\r\nContent-Length: zz\r\n\r\n"),
            "HTTP/1.1 400 Bad Request");
  auto res = clientFor(*service).Get("/version.json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST_F(Accounts, IndexPageLinksThePages) {
  start();
  auto res = clientFor(*service).Get("/");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const char* link : {"href=\"/device\"", "href=\"/buy\"", "href=\"/download\""})
    EXPECT_NE(res->body.find(link), std::string::npos) << link;
}
