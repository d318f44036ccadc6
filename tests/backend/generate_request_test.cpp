// sendToBackend against a real loopback service through the real curl.
#include "tests/backend/backend_fixture.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const std::string kToken = "tok-123.abc_XYZ";

class GenerateRequest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    ASSERT_TRUE(writeBytes(grabbedFile(kId), pngBytes() + "frame"));
  }
  int send(const std::string& prompt = "a quiet lake", RequestLimits limits = {10, 300}) {
    return sendToBackend(kId, server.url(), kToken, prompt, out, limits);
  }
  static constexpr const char* kId = "4";
  const std::string out = inputFile(kId);
};

}  // namespace

TEST_F(GenerateRequest, PngAnswerIsLeftAtOutPath) {
  server.reply("POST", "/v1/generate", Reply{200, pngBytes() + "background", "image/png"});
  EXPECT_EQ(send(), 200);
  EXPECT_EQ(readFile(out), pngBytes() + "background");
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(GenerateRequest, SendsBearerHeaderAndTheThreeFormParts) {
  server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});
  const std::string prompt = "it's $5 \"now\"";
  ASSERT_EQ(send(prompt), 200);
  const auto seen = server.requestsTo("/v1/generate");
  ASSERT_EQ(seen.size(), 1u);
  const ServedRequest& r = seen[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.header("Authorization"), "Bearer " + kToken);
  ASSERT_EQ(r.files.count("image"), 1u);
  EXPECT_EQ(r.files.at("image").content, pngBytes() + "frame");
  EXPECT_EQ(r.files.at("image").filename, "ofx_grabbed_4.png");
  EXPECT_EQ(r.files.at("image").contentType, "image/png");
  EXPECT_EQ(r.fields.at("prompt"), prompt);
  EXPECT_EQ(r.fields.at("cache_key"), "4_" + std::to_string(promptKey(prompt)));
  EXPECT_EQ(r.fields.size(), 2u);
}

TEST_F(GenerateRequest, AnswerThatIsNotPngGivesZeroAndNoFile) {
  server.reply("POST", "/v1/generate", Reply{200, R"({"detail":"oops"})"});
  EXPECT_EQ(send(), 0);
  EXPECT_FALSE(fileExists(out));
  EXPECT_TRUE(hasDebugLine("sendToBackend: response is not a valid PNG"));
}

TEST_F(GenerateRequest, RefusalsPassTheStatusAndRemoveOutPath) {
  for (int status : {401, 402, 403, 500}) {
    server.reply("POST", "/v1/generate", Reply{status, R"({"detail":"no"})"});
    ASSERT_TRUE(writeBytes(out, "stale"));
    EXPECT_EQ(send(), status);
    EXPECT_FALSE(fileExists(out)) << status;
    EXPECT_TRUE(hasDebugLine("sendToBackend: HTTP " + std::to_string(status)));
  }
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(GenerateRequest, NoServiceGivesZero) {
  const std::string url = server.url();
  server.stop();
  ASSERT_TRUE(writeBytes(out, "stale"));
  EXPECT_EQ(sendToBackend(kId, url, kToken, "p", out), 0);
  EXPECT_FALSE(fileExists(out));
  EXPECT_TRUE(hasDebugLine("sendToBackend: HTTP 0"));
  bool curlLine = false;
  for (const auto& line : debugLines()) curlLine |= line.rfind("curl rc=", 0) == 0;
  EXPECT_TRUE(curlLine);
}

TEST_F(GenerateRequest, ServiceThatNeverAnswersTimesOutWithZero) {
  Reply never;
  never.neverAnswer = true;
  server.reply("POST", "/v1/generate", never);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send("p", {1, 2}), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(fileExists(out));
}

TEST_F(GenerateRequest, StatusOfAnAnswerCutShortByTheTimeLimitCountsAsNone) {
  Reply stall{200, pngBytes(), "image/png"};
  stall.stallBody = true;  // status and a PNG start arrive, the rest never does
  server.reply("POST", "/v1/generate", stall);
  EXPECT_EQ(send("p", {1, 2}), 0);
  EXPECT_FALSE(fileExists(out));
}

TEST_F(GenerateRequest, ConnectionClosedWithoutAnswerGivesZero) {
  Reply drop;
  drop.closeConnection = true;
  server.reply("POST", "/v1/generate", drop);
  EXPECT_EQ(send(), 0);
  EXPECT_FALSE(fileExists(out));
}

TEST_F(GenerateRequest, MissingGrabbedFrameSendsNothing) {
  ASSERT_EQ(::unlink(grabbedFile(kId).c_str()), 0);
  ASSERT_TRUE(writeBytes(out, "untouched"));
  EXPECT_EQ(send(), 0);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(readFile(out), "untouched");
  EXPECT_TRUE(hasDebugLine("sendToBackend: no grabbed frame"));
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(GenerateRequest, BadTokenOrUrlSendsNothing) {
  for (const std::string& token :
       {std::string(257, 'a'), std::string(), std::string("a=b"), std::string("a;touch x")}) {
    EXPECT_EQ(sendToBackend(kId, server.url(), token, "p", out), 0);
  }
  EXPECT_TRUE(hasDebugLine("sendToBackend: missing/invalid token"));
  EXPECT_EQ(sendToBackend(kId, "ftp://127.0.0.1", kToken, "p", out), 0);
  EXPECT_EQ(sendToBackend(kId, server.url() + "/$(id)", kToken, "p", out), 0);
  EXPECT_TRUE(hasDebugLine("sendToBackend: bad serverUrl"));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(fileExists(out));
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(GenerateRequest, TrimmedUrlIsUsed) {
  server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});
  EXPECT_EQ(sendToBackend(kId, "  " + server.url() + "//\n", kToken, "p", out), 200);
  EXPECT_EQ(server.requestsTo("/v1/generate").size(), 1u);
}

TEST_F(GenerateRequest, HeaderFileIsPrivateWhileItExistsAndGoneAfter) {
  std::atomic<int> headerFiles{0};
  std::atomic<int> wideModes{0};
  server.reply(
      "POST", "/v1/generate", ReplyFn([&](const ServedRequest&) {
        // curl is mid-request: its header file must exist, readable by us only.
        for (const std::string& name : listDir(tempDir())) {
          if (name.rfind("ofx_auth_hdr", 0) != 0) continue;
          ++headerFiles;
          struct stat st;
          if (::stat((tempDir() + "/" + name).c_str(), &st) == 0 && (st.st_mode & 0777) != 0600)
            ++wideModes;
        }
        return Reply{402, "{}"};
      }));
  EXPECT_EQ(send(), 402);
  EXPECT_EQ(headerFiles.load(), 1);
  EXPECT_EQ(wideModes.load(), 0);
  EXPECT_TRUE(leftoverRequestFiles().empty());
}

TEST_F(GenerateRequest, OverlongPromptIsRefusedBeforeAnythingIsWritten) {
  server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});
  const RequestFiles files = newRequestFiles();
  const CurlRequest request =
      generationRequest(server.url(), files.header, grabbedFile(kId), "", "4_1", {10, 300});
  const size_t room =
      kMaxCommandLength - curlCommandLine(request, kPngAnswerLimit, out, files.status).size();
  // The real cache key and file counters take a few more characters: keep a margin.
  EXPECT_EQ(send(std::string(room - 40, 'p')), 200);
  ASSERT_EQ(server.requests().size(), 1u);

  ASSERT_TRUE(writeBytes(out, "untouched"));
  EXPECT_EQ(send(std::string(room + 40, 'p')), 0);
  EXPECT_TRUE(hasDebugLine("sendToBackend: prompt too long"));
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(readFile(out), "untouched");
  EXPECT_TRUE(leftoverRequestFiles().empty());
}
