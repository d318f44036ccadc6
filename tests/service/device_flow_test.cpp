// Device sign-in over real HTTP: the answers the plug-in's poller acts on.
#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

using json = nlohmann::json;

namespace {

const char kGrant[] = "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=";

class DeviceFlow : public ::testing::Test {
 protected:
  void start(ServiceConfig config = {}) {
    service = startService(config);
    ASSERT_TRUE(service);
  }
  void TearDown() override { stopService(service); }

  json requestCode() {
    auto res = clientFor(*service).Post("/v1/device/code");
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, 200);
    return json::parse(res->body);
  }
  httplib::Result poll(const std::string& deviceCode) {
    return clientFor(*service).Post("/v1/device/token", kGrant + deviceCode,
                                    "application/x-www-form-urlencoded");
  }
  std::string pollError(const std::string& deviceCode) {
    auto res = poll(deviceCode);
    if (!res || res->status != 400) return "status " + std::to_string(res ? res->status : 0);
    return json::parse(res->body).value("error", "");
  }
  int decide(const std::string& userCode, const std::string& email, const std::string& action) {
    // Any page of ours hands out a token; the code may be one no page was shown for.
    auto res = postForm(*service, "/buy", "/device",
                        "user_code=" + userCode + "&email=" + email + "&action=" + action);
    return res ? res->status : 0;
  }

  std::unique_ptr<RunningService> service;
};

bool isTokenRuleSafe(const std::string& t) {
  if (t.empty() || t.size() > 256) return false;
  for (unsigned char c : t)
    if (!(std::isalnum(c) || c == '-' || c == '.' || c == '_')) return false;
  return true;
}

}  // namespace

TEST_F(DeviceFlow, CodeAnswerCarriesEveryFieldThePluginReads) {
  ServiceConfig config;
  config.pollIntervalMs = 5000;
  config.codeLifetimeMs = 600000;
  start(config);
  auto res = clientFor(*service).Post("/v1/device/code");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  json body = json::parse(res->body);
  EXPECT_TRUE(isTokenRuleSafe(body["device_code"].get<std::string>()));
  EXPECT_EQ(body["user_code"].get<std::string>().size(), 9u);
  EXPECT_EQ(body["user_code"].get<std::string>()[4], '-');
  EXPECT_EQ(body["verification_uri"], service->base + "/device");
  EXPECT_EQ(body["verification_uri_complete"],
            service->base + "/device?user_code=" + body["user_code"].get<std::string>());
  EXPECT_EQ(body["interval"], 5);
  EXPECT_EQ(body["expires_in"], 600);
  // Compact text: the client matches "key":"value" literally.
  EXPECT_NE(res->body.find("\"device_code\":\""), std::string::npos);
  EXPECT_EQ(res->body.find(": "), std::string::npos);
}

TEST_F(DeviceFlow, VerificationLinksFollowTheHostTheClientUsed) {
  start();
  httplib::Client client = clientFor(*service);
  auto res = client.Post("/v1/device/code",
                         httplib::Headers{{"Host", "localhost:" + std::to_string(service->port)}},
                         "", "application/json");
  ASSERT_TRUE(res);
  json body = json::parse(res->body);
  EXPECT_EQ(body["verification_uri"],
            "http://localhost:" + std::to_string(service->port) + "/device");
  // A Host that is not this service's own address is refused, never echoed.
  auto odd = client.Post("/v1/device/code", httplib::Headers{{"Host", "evil\"$(x)"}}, "",
                         "application/json");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->status, 421);
}

TEST_F(DeviceFlow, PendingUntilApprovedThenTokenWithBalanceAndEmail) {
  ServiceConfig config;
  config.pollIntervalMs = 20;
  config.startBalance = 7;
  start(config);
  json code = requestCode();
  std::string device = code["device_code"];
  EXPECT_EQ(pollError(device), "authorization_pending");
  EXPECT_EQ(decide(code["user_code"], "Ana%40Example.com", "approve"), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto res = poll(device);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  json body = json::parse(res->body);
  EXPECT_TRUE(isTokenRuleSafe(body["access_token"].get<std::string>()));
  EXPECT_EQ(body["balance"], 7);
  EXPECT_EQ(body["email"], "ana@example.com");
  EXPECT_NE(res->body.find("\"email\":\"ana@example.com\""), std::string::npos);
  // The code is spent once the token has been handed out.
  EXPECT_EQ(pollError(device), "invalid_grant");
}

TEST_F(DeviceFlow, PollingFasterThanTheIntervalAnswersSlowDown) {
  ServiceConfig config;
  config.pollIntervalMs = 60000;
  start(config);
  std::string device = requestCode()["device_code"];
  EXPECT_EQ(pollError(device), "authorization_pending");
  EXPECT_EQ(pollError(device), "slow_down");
}

TEST_F(DeviceFlow, PollingAtTheIntervalStaysPending) {
  ServiceConfig config;
  config.pollIntervalMs = 80;
  start(config);
  std::string device = requestCode()["device_code"];
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pollError(device), "authorization_pending") << "poll " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST_F(DeviceFlow, CodesExpire) {
  ServiceConfig config;
  config.codeLifetimeMs = 120;
  config.pollIntervalMs = 10;
  start(config);
  json code = requestCode();
  EXPECT_EQ(code["expires_in"], 1);  // whole seconds, never 0
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(pollError(code["device_code"]), "expired_token");
  EXPECT_EQ(decide(code["user_code"], "a%40b.c", "approve"), 410);
}

TEST_F(DeviceFlow, DeniedOnThePageAnswersAccessDenied) {
  start();
  json code = requestCode();
  EXPECT_EQ(decide(code["user_code"], "", "deny"), 200);
  EXPECT_EQ(pollError(code["device_code"]), "access_denied");
  // A decided code cannot be decided again.
  EXPECT_EQ(decide(code["user_code"], "a%40b.c", "approve"), 409);
}

TEST_F(DeviceFlow, UnknownDeviceCodeIsInvalidGrant) {
  start();
  EXPECT_EQ(pollError("no-such-code"), "invalid_grant");
}

TEST_F(DeviceFlow, MalformedTokenRequestsAnswer400WithAnError) {
  start();
  httplib::Client client = clientFor(*service);
  auto wrongGrant = client.Post("/v1/device/token", "grant_type=password&device_code=x",
                                "application/x-www-form-urlencoded");
  ASSERT_TRUE(wrongGrant);
  EXPECT_EQ(wrongGrant->status, 400);
  EXPECT_EQ(json::parse(wrongGrant->body)["error"], "unsupported_grant_type");
  auto noCode =
      client.Post("/v1/device/token", "grant_type=urn:ietf:params:oauth:grant-type:device_code",
                  "application/x-www-form-urlencoded");
  ASSERT_TRUE(noCode);
  EXPECT_EQ(noCode->status, 400);
  EXPECT_EQ(json::parse(noCode->body)["error"], "invalid_request");
  auto binary = client.Post("/v1/device/token", std::string("\x00\xff%%%zz&&==", 12),
                            "application/x-www-form-urlencoded");
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->status, 400);
}

TEST_F(DeviceFlow, ApprovalNeedsAValidEmail) {
  start();
  json code = requestCode();
  EXPECT_EQ(decide(code["user_code"], "not-an-address", "approve"), 400);
  EXPECT_EQ(decide(code["user_code"], "", "approve"), 400);
  EXPECT_EQ(pollError(code["device_code"]), "authorization_pending");
}

TEST_F(DeviceFlow, UserCodeIsAcceptedInLowerCaseWithoutTheDash) {
  start();
  json code = requestCode();
  std::string typed = code["user_code"].get<std::string>();
  typed.erase(4, 1);
  for (char& c : typed) c = char(std::tolower(static_cast<unsigned char>(c)));
  auto page = clientFor(*service).Get("/device?user_code=" + typed);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find(code["user_code"].get<std::string>()), std::string::npos);
  EXPECT_EQ(decide(typed, "a%40b.c", "approve"), 200);
}

TEST_F(DeviceFlow, VerificationPageShowsTheCodeOrAsksForOne) {
  start();
  json code = requestCode();
  httplib::Client client = clientFor(*service);
  auto page = client.Get("/device?user_code=" + code["user_code"].get<std::string>());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
  EXPECT_NE(page->body.find(code["user_code"].get<std::string>()), std::string::npos);
  EXPECT_NE(page->body.find("value=\"approve\""), std::string::npos);
  EXPECT_NE(page->body.find("value=\"deny\""), std::string::npos);
  auto ask = client.Get("/device");
  ASSERT_TRUE(ask);
  EXPECT_EQ(ask->status, 200);
  EXPECT_NE(ask->body.find("name=\"user_code\""), std::string::npos);
  auto unknown = client.Get("/device?user_code=BBBB-CCCC");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

TEST_F(DeviceFlow, AutoApproveSignsInWithoutThePage) {
  ServiceConfig config;
  config.autoApproveEmail = "demo@localhost";
  start(config);
  auto res = poll(requestCode()["device_code"]);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["email"], "demo@localhost");
}

// The exact command lines the plug-in runs: a bodiless POST for the code and the
// form file sent with --data-binary for the token.
TEST_F(DeviceFlow, PluginCurlCommandLinesWork) {
  ServiceConfig config;
  config.autoApproveEmail = "demo@localhost";
  start(config);
  CurlResult code =
      runCurl("-X POST " + service->base + "/v1/device/code -H \"Content-Type: application/json\"");
  ASSERT_EQ(code.status, 200) << code.body;
  std::string device = json::parse(code.body)["device_code"];
  std::string dir = makeTempDir();
  writeFile(dir + "/form.txt", kGrant + device);
  CurlResult token =
      runCurl("-X POST " + service->base +
              "/v1/device/token -H \"Content-Type: application/x-www-form-urlencoded\" "
              "--data-binary @\"" +
              dir + "/form.txt\"");
  removeTree(dir);
  EXPECT_EQ(token.status, 200) << token.body;
  EXPECT_NE(token.body.find("\"access_token\":\"tlv_"), std::string::npos);
}
