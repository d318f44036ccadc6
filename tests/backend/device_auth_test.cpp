// Device authorization client against a loopback service.
#include "tests/backend/backend_fixture.h"

namespace {

class DeviceCode : public BackendTest {
 protected:
  bool request() {
    return requestDeviceCode(server.url(), deviceCode, userCode, uri, interval, expiresIn, error);
  }
  std::string deviceCode = "stale", userCode = "stale", uri = "stale", error = "stale";
  int interval = -9, expiresIn = -9;
};

class DeviceToken : public BackendTest {
 protected:
  // As the outcome's number, so the cases below stay a table of ints.
  int poll(const std::string& code = "dev-code_1.x") {
    return static_cast<int>(
        pollDeviceToken(server.url(), code, accessToken, balance, email, error));
  }
  void answer(int status, const std::string& body) {
    server.reply("POST", "/v1/device/token", Reply{status, body});
  }
  std::string accessToken = "stale", email = "stale", error = "stale";
  int balance = -9;
};

}  // namespace

TEST_F(DeviceCode, ApprovedAnswerFillsEveryOutput) {
  server.reply("POST", "/v1/device/code",
               Reply{200, R"({"device_code":"dc-1","user_code":"ABCD-EFGH",)"
                          R"("verification_uri":"https://v/plain",)"
                          R"("verification_uri_complete":"https://v/full?c=ABCD",)"
                          R"("interval":7,"expires_in":900})"});
  ASSERT_TRUE(request());
  EXPECT_EQ(deviceCode, "dc-1");
  EXPECT_EQ(userCode, "ABCD-EFGH");
  EXPECT_EQ(uri, "https://v/full?c=ABCD");
  EXPECT_EQ(interval, 7);
  EXPECT_EQ(expiresIn, 900);
  EXPECT_EQ(error, "");
  const auto seen = server.requestsTo("/v1/device/code");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].header("Authorization"), "");
  EXPECT_TRUE(fileExists(tempDir() + "/ofx_device_code.json"));
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(DeviceCode, MissingOrNonPositiveTimingsKeepDefaults) {
  for (const char* timing : {"", R"(,"interval":0,"expires_in":0)",
                             R"(,"interval":-3,"expires_in":-1)", R"(,"interval":"9")"}) {
    server.reply("POST", "/v1/device/code",
                 Reply{200, std::string(R"({"device_code":"d","user_code":"u")") + timing + "}"});
    ASSERT_TRUE(request()) << timing;
    EXPECT_EQ(interval, 5) << timing;
    EXPECT_EQ(expiresIn, 600) << timing;
  }
}

TEST_F(DeviceCode, PlainVerificationUriIsUsedWhenCompleteOneIsMissing) {
  server.reply(
      "POST", "/v1/device/code",
      Reply{200, R"({"device_code":"d","user_code":"u","verification_uri":"https://v/p"})"});
  ASSERT_TRUE(request());
  EXPECT_EQ(uri, "https://v/p");
  server.reply("POST", "/v1/device/code", Reply{200, R"({"device_code":"d","user_code":"u"})"});
  ASSERT_TRUE(request());  // no page is not malformed
  EXPECT_EQ(uri, "");
}

TEST_F(DeviceCode, AnswerWithoutUserCodeIsMalformed) {
  server.reply("POST", "/v1/device/code", Reply{200, R"({"device_code":"d"})"});
  EXPECT_FALSE(request());
  EXPECT_EQ(error, "Malformed device-code response");
}

TEST_F(DeviceCode, FailureUsesDetailOrTheStatus) {
  server.reply("POST", "/v1/device/code", Reply{500, R"({"detail":"Service paused"})"});
  EXPECT_FALSE(request());
  EXPECT_EQ(error, "Service paused");
  server.reply("POST", "/v1/device/code", Reply{500, R"({"error":"x"})"});
  EXPECT_FALSE(request());
  EXPECT_EQ(error, "HTTP 500");
  EXPECT_EQ(deviceCode, "");
  EXPECT_EQ(interval, 5);
}

TEST_F(DeviceCode, UnreachableServiceIsHttpZeroEvenWithAnOldAnswerOnDisk) {
  server.reply("POST", "/v1/device/code", Reply{500, R"({"detail":"old words"})"});
  EXPECT_FALSE(request());
  const std::string url = server.url();
  server.stop();
  EXPECT_FALSE(requestDeviceCode(url, deviceCode, userCode, uri, interval, expiresIn, error));
  EXPECT_EQ(error, "HTTP 0");
}

TEST_F(DeviceCode, BadUrlIsRefusedUnsent) {
  EXPECT_FALSE(requestDeviceCode("ftp://x", deviceCode, userCode, uri, interval, expiresIn, error));
  EXPECT_EQ(error, "Invalid server URL");
  EXPECT_EQ(interval, 5);
  EXPECT_EQ(expiresIn, 600);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(DeviceToken, FormBodyIsExactAndFormFileIsGoneAfterEveryPoll) {
  answer(400, R"({"error":"authorization_pending"})");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(poll(), 0);
    EXPECT_TRUE(leftoverRequestFiles().empty());
    EXPECT_TRUE(fileExists(tempDir() + "/ofx_device_token.json"));
  }
  const auto seen = server.requestsTo("/v1/device/token");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].body,
            "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=dev-code_1.x");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(error, "authorization_pending");
  EXPECT_EQ(readFile(tempDir() + "/ofx_device_token.json"), R"({"error":"authorization_pending"})");
}

TEST_F(DeviceToken, ApprovalSetsTokenBalanceAndEmail) {
  answer(200, R"({"access_token":"at-1.Z_","balance":12,"email":"ann@example.org"})");
  EXPECT_EQ(poll(), 1);
  EXPECT_EQ(accessToken, "at-1.Z_");
  EXPECT_EQ(balance, 12);
  EXPECT_EQ(email, "ann@example.org");
  EXPECT_EQ(error, "");
  answer(200, R"({"access_token":"at-2"})");
  EXPECT_EQ(poll(), 1);
  EXPECT_EQ(balance, -1);
  EXPECT_EQ(email, "");
}

TEST_F(DeviceToken, MalformedAccessTokenIsRefused) {
  for (const char* token : {"a+b", "a/b", ""}) {
    answer(200, std::string(R"({"access_token":")") + token + R"(","balance":3})");
    EXPECT_EQ(poll(), -2) << token;
    EXPECT_EQ(error, "Malformed access token");
    EXPECT_EQ(accessToken, token);
    EXPECT_EQ(balance, 3);
  }
}

TEST_F(DeviceToken, ErrorCodesMapToKeepPollingStopOrFail) {
  const struct {
    int status;
    std::string body;
    int result;
    std::string error;
  } cases[] = {
      {400, R"({"error":"authorization_pending"})", 0, "authorization_pending"},
      {400, R"({"error":"slow_down"})", 0, "slow_down"},
      {400, R"({"detail":"slow_down"})", 0, "slow_down"},
      {400, R"({"error":"","detail":"slow_down"})", 0, "slow_down"},
      {400, R"({"error":"expired_token"})", -1, "expired_token"},
      {400, R"({"error":"access_denied"})", -1, "access_denied"},
      {400, R"({"error":"invalid_grant"})", -1, "invalid_grant"},
      {400, R"({"error":"unsupported_grant_type"})", -2, "unsupported_grant_type"},
      {400, R"({"detail":"Device code unknown"})", -2, "Device code unknown"},
      {400, R"({})", -2, "bad request"},
      {400, "", -2, "bad request"},
      {429, R"({"error":"expired_token"})", 0, "rate_limited"},
      {500, R"({"detail":"boom"})", -2, "HTTP 500"},
      {401, "", -2, "HTTP 401"},
  };
  for (const auto& c : cases) {
    answer(c.status, c.body);
    EXPECT_EQ(poll(), c.result) << c.status << " " << c.body;
    EXPECT_EQ(error, c.error) << c.status << " " << c.body;
    EXPECT_EQ(accessToken, "");
  }
}

TEST_F(DeviceToken, UnreachableServiceIsHttpZero) {
  const std::string url = server.url();
  server.stop();
  EXPECT_EQ(pollDeviceToken(url, "d", accessToken, balance, email, error), PollOutcome::Failed);
  EXPECT_EQ(error, "HTTP 0");
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(DeviceToken, BadInputsAreRefusedUnsent) {
  EXPECT_EQ(pollDeviceToken("http:// ", "d", accessToken, balance, email, error),
            PollOutcome::Failed);
  EXPECT_EQ(error, "Invalid server URL");
  EXPECT_EQ(poll(""), -2);
  EXPECT_EQ(error, "Missing device code");
  for (const std::string& code : {std::string("a b"), std::string("a%20"), std::string(257, 'd')}) {
    EXPECT_EQ(poll(code), -2);
    EXPECT_EQ(error, "Malformed device code");
  }
  // 256 bytes is still a device code: it is sent (and this service has no such route).
  EXPECT_EQ(poll(std::string(256, 'd')), -2);
  EXPECT_EQ(error, "HTTP 404");
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(balance, 0);
}
