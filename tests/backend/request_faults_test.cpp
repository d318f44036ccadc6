// Requests without a usable answer: one over its byte limit (announced or
// chunked) fails with its own log line and leaves no file, and a run that got
// no status says why.
#include "tests/backend/backend_fixture.h"

#include <unistd.h>

#include <functional>

namespace {

class RequestFaults : public BackendTest {};

const std::string kFields =
    R"({"email":"a@b.c","balance":3,"latest":"1.0.0","device_code":"d","user_code":"u",)"
    R"("access_token":"t"})";

}  // namespace

TEST_F(RequestFaults, AnswerOverItsLimitFailsAndLeavesNoFile) {
  // Every field a request looks for comes first: only the size is wrong.
  const std::string whole = kFields + std::string(kJsonAnswerLimit, ' ');
  const std::string piece = kFields + std::string(65536 - kFields.size(), ' ');
  Reply announced{200, whole};
  Reply chunked{200, piece};
  chunked.chunkedRepeat = 17;  // just over 1 MiB, no length announced
  std::string s1, s2, s3, error;
  int i1 = 0, i2 = 0;
  RequestFault fault = RequestFault::None;
  const struct {
    const char* what;
    const char* method;
    const char* path;
    Reply reply;
    std::function<std::string()> failure;  // why the request failed; "" when it did not
  } cases[] = {
      {"account, announced", "GET", "/v1/me", announced,
       [&] { return fetchBalance(server.url(), "tok", s1, i1, &fault) ? "" : faultText(fault); }},
      {"account, chunked", "GET", "/v1/me", chunked,
       [&] { return fetchBalance(server.url(), "tok", s1, i1, &fault) ? "" : faultText(fault); }},
      {"version, chunked", "GET", "/version.json", chunked,
       [&] { return fetchLatestVersion(server.url(), s1, s2, &fault) ? "" : faultText(fault); }},
      {"device code, chunked", "POST", "/v1/device/code", chunked,
       [&] { return requestDeviceCode(server.url(), s1, s2, s3, i1, i2, error) ? "" : error; }},
      {"token, announced", "POST", "/v1/device/token", announced,
       [&] {
         return pollDeviceToken(server.url(), "dc", s1, i1, s2, error) == PollOutcome::Failed
                    ? error
                    : "";
       }},
  };
  for (const auto& c : cases) {
    server.reply(c.method, c.path, c.reply);
    EXPECT_EQ(c.failure(), "the service's answer was too large") << c.what;
    EXPECT_TRUE(leftoverRequestFiles().empty()) << c.what;
    for (const char* kept : {"/ofx_me_response.json", "/ofx_version_response.json"})
      EXPECT_FALSE(fileExists(tempDir() + kept)) << c.what;
    EXPECT_TRUE(hasDebugLine("runCurl: answer larger than 1048576 bytes, dropped")) << c.what;
  }
}

TEST_F(RequestFaults, NoStatusSaysWhy) {
  ASSERT_TRUE(writeBytes(grabbedFile("5"), pngBytes()));
  server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png", 0, true});
  std::string closedUrl;
  {
    LoopbackServer closed;
    ASSERT_TRUE(closed.start());
    closedUrl = closed.url();
  }
  const std::string dir = tempDir(), moved = tempDir() + ".moved";
  const struct {
    const char* what;
    std::string url;
    std::function<void()> before;
    RequestFault fault;
    const char* text;
  } cases[] = {
      {"nothing listens", closedUrl, [] {}, RequestFault::Unreachable, "cannot reach the service"},
      {"the service never answers", server.url(), [] {}, RequestFault::TimedOut,
       "the service did not answer in time"},
      {"the working folder is a link", server.url(),
       [&] {
         ASSERT_EQ(::rename(dir.c_str(), moved.c_str()), 0);
         ASSERT_EQ(::symlink(moved.c_str(), dir.c_str()), 0);
       },
       RequestFault::WorkFolder, "cannot write the working folder"},
  };
  for (const auto& c : cases) {
    c.before();
    RequestFault fault = RequestFault::None;
    EXPECT_EQ(sendToBackend("5", c.url, "tok", "p", inputFile("5"), {1, 1}, &fault), 0) << c.what;
    EXPECT_EQ(fault, c.fault) << c.what;
    EXPECT_STREQ(faultText(fault), c.text) << c.what;
  }
}
