// The service as a web page others can reach: only its own address is
// answered, form posts come only from its own pages, huge uploads are refused
// before decoding, and a few slow clients do not stall everyone else.
#include "tests/service/harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <nlohmann/json.hpp>

namespace {

class WebGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    service = startService(ServiceConfig{});
    ASSERT_TRUE(service);
  }
  void TearDown() override { stopService(service); }
  std::string port() const { return std::to_string(service->port); }
  std::unique_ptr<RunningService> service;
};

// A PNG signature and IHDR declaring width x height, nothing decodable after it.
std::string pngHeader(uint32_t width, uint32_t height) {
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (uint32_t v : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8) png += char((v >> shift) & 0xff);
  png += std::string("\x08\x06\0\0\0", 5) + std::string(4, '\0');         // RGBA8, CRC unchecked
  return png + std::string("\0\0\0\x10IDAT", 8) + std::string(20, '\0');  // 16 bytes of nothing
}

}  // namespace

TEST_F(WebGuard, OnlyTheServicesOwnAddressIsAnswered) {
  const struct {
    std::string host;
    int status;
  } cases[] = {
      {"127.0.0.1:" + port(), 200},
      {"localhost:" + port(), 200},
      {"rebound.example:" + port(), 421},
      {"127.0.0.1:1", 421},
      {"127.0.0.1", 421},
      {"10.0.0.1:" + port(), 421},
  };
  httplib::Client client = clientFor(*service);
  for (const auto& c : cases) {
    auto res = client.Get("/version.json", httplib::Headers{{"Host", c.host}});
    ASSERT_TRUE(res) << c.host;
    EXPECT_EQ(res->status, c.status) << c.host;
  }
  EXPECT_TRUE(isOwnHost("192.168.1.9:8080", "0.0.0.0", 8080));  // every address: any IP literal
  EXPECT_FALSE(isOwnHost("rebound.example:8080", "0.0.0.0", 8080));
  EXPECT_TRUE(isOwnHost("[::1]:8080", "::1", 8080));
}

// Approving a code from another site: refused whether it comes with another
// Origin, without a token, with a token but not this browser's cookie, or
// with a token used once already.
TEST_F(WebGuard, FormPostsComeOnlyFromOurOwnPages) {
  httplib::Client client = clientFor(*service);
  auto code = client.Post("/v1/device/code");
  ASSERT_TRUE(code);
  const std::string userCode = nlohmann::json::parse(code->body)["user_code"];
  auto page = client.Get("/device?user_code=" + userCode);
  ASSERT_TRUE(page);
  const size_t at = page->body.find("name=\"form_token\" value=\"") + 25;
  const std::string token = page->body.substr(at, page->body.find('"', at) - at);
  const std::string own = "http://127.0.0.1:" + port();
  const std::string fields = "user_code=" + userCode + "&email=x%40y.z&action=approve";
  const struct {
    const char* what;
    std::string origin, cookie, token;
    int status;
  } cases[] = {
      {"another site", "http://evil.example", token, token, 403},
      {"no token", own, token, "", 403},
      {"no cookie", own, "", token, 403},
      {"from our page", own, token, token, 200},
      {"the same token again", own, token, token, 403},
  };
  for (const auto& c : cases) {
    auto res = client.Post(
        "/device", httplib::Headers{{"Origin", c.origin}, {"Cookie", "talvane_form=" + c.cookie}},
        fields + "&form_token=" + c.token, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what;
  }
}

TEST_F(WebGuard, UploadsDeclaringOver64MegapixelsAreRefusedBeforeDecoding) {
  const struct {
    uint32_t width, height;
    const char* detail;
  } cases[] = {
      {8193, 8192, "megapixels"},         // one column over
      {16384, 16384, "megapixels"},       // the side limit itself
      {8192, 8192, "cannot be decoded"},  // within the limit: only the missing data fails
  };
  for (const auto& c : cases) {
    GenerateResult r = generateImage(pngHeader(c.width, c.height), "sky", 16384);
    EXPECT_EQ(r.status, 400) << c.width << "x" << c.height;
    EXPECT_NE(r.detail.find(c.detail), std::string::npos) << r.detail;
  }
}

// Sixteen clients that start a request and never finish it: a normal request
// is still answered at once.
TEST_F(WebGuard, SlowClientsDoNotStallTheService) {
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(service->port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const char partial[] = "GET /version.json HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ASSERT_GT(::send(fd, partial, std::strlen(partial), 0), 0);
    slow.push_back(fd);
  }
  httplib::Client client = clientFor(*service);
  client.set_read_timeout(2, 0);
  auto res = client.Get("/version.json");
  EXPECT_TRUE(res && res->status == 200);
  for (int fd : slow) ::close(fd);
}
