// Generations through the real bundle against a loopback service: the generate
// window, the bars of every outcome and where they are drawn, and the worker's
// life beside the instance.
#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "backend/backend.h"
#include "core/core.h"
#include "tests/render/render_fixture.h"
#include "tests/support/flat_png.h"

namespace {

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                             static_cast<size_t>(size));
}

std::string pngBytes(const std::vector<uint8_t>& rgba, int w, int h) {
  std::string bytes;
  stbi_write_png_to_func(appendBytes, &bytes, w, h, 4, rgba.data(), w * 4);
  return bytes;
}

class RenderGeneration : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    if (HasFatalFailure()) return;
    service_.reply("GET", "/v1/me", Reply{200, R"({"email":"a@b.c","balance":5})"});
    setFrame(frame_, kW, kH);
  }

  void storeToken() {
    ASSERT_TRUE(keychainStoreToken(kTestKeychain, TALVANE_TEST_SERVICE_URL, "tok-render"));
  }

  void answerGenerate(int status, int delayMs) {
    Reply r;
    r.status = status;
    r.delayMs = delayMs;
    if (status == 200) {
      r.body = pngBytes(background_, kW, kH);
      r.contentType = "image/png";
    } else {
      r.body = R"({"error":"refused"})";
    }
    service_.reply("POST", "/v1/generate", r);
  }

  // Renders at t until the red bars are gone (bounded); returns that render.
  std::vector<uint8_t> renderUntilNotRunning(double t) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<uint8_t> out = render(t);
    while (pixelAt(out, kW, 0, 0) == kRed && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      out = render(t);
    }
    return out;
  }

  static constexpr int kW = 64;
  static constexpr int kH = 48;
  std::vector<uint8_t> frame_ = solid(kW, kH, 50, 50, 50);
  std::vector<uint8_t> background_ = solid(kW, kH, 200, 100, 40);
};

}  // namespace

TEST_F(RenderGeneration, PressAtTenStartsOnlyWithinHalfAFrame) {
  hostSetValue(inst_, "prompt", std::string("a harbour"));
  hostInstanceChanged(inst_, "generate", 10.0);
  for (double t : {9.5, 10.5}) {
    const std::vector<uint8_t> out = render(t);
    EXPECT_TRUE(rowsOf(out, kW, kH, kAmber).empty()) << t;
    EXPECT_TRUE(samePixelBytes(*source_, *output_)) << t;
  }
  EXPECT_EQ(countLines("doGen: no keychain token — sign in first"), 0);
  // Still pending: the render at 10.4 takes it; the worker fails for want of a token.
  std::vector<uint8_t> out = renderUntilNotRunning(10.4);
  EXPECT_EQ(countLines("doGen: no keychain token — sign in first"), 1);
  const int t = barRows(kH);
  EXPECT_EQ(rowsOf(out, kW, kH, kAmber).size(), static_cast<size_t>(2 * t));
  EXPECT_EQ(pixelAt(out, kW, 0, kH / 2), (Rgb{50, 50, 50}));
  // Shown once; the request was used up.
  out = render(10.4);
  EXPECT_TRUE(rowsOf(out, kW, kH, kAmber).empty());
  EXPECT_EQ(countLines("doGen: no keychain token — sign in first"), 1);
}

TEST_F(RenderGeneration, SuccessShowsRedThenGreenOnTheCompositeThenNothing) {
  storeToken();
  answerGenerate(200, 1000);
  hostSetValue(inst_, "prompt", std::string("sunset"));
  hostInstanceChanged(inst_, "generate", 3.0);
  std::vector<uint8_t> out = render(3.0);
  const int bar = barRows(kH);
  EXPECT_EQ(rowsOf(out, kW, kH, kRed).size(), static_cast<size_t>(2 * bar));
  EXPECT_EQ(pixelAt(out, kW, 5, kH / 2), (Rgb{50, 50, 50}));

  out = renderUntilNotRunning(3.0);
  EXPECT_EQ(rowsOf(out, kW, kH, kGreen).size(), static_cast<size_t>(2 * bar));
  EXPECT_EQ(pixelAt(out, kW, 5, kH / 2), (Rgb{200, 100, 40}));
  const std::string key = effectKey();
  EXPECT_TRUE(isValidPng(cacheFile(key, "sunset")));
  EXPECT_TRUE(fileExists(rawdiffFile(key, "sunset")));
  EXPECT_TRUE(fileExists(anchorFile(key, "sunset")));
  EXPECT_FALSE(fileExists(inputFile(key)));
  const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (service_.requestsTo("/v1/me").empty() && std::chrono::steady_clock::now() < asked)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(service_.requestsTo("/v1/me").size(), 1u) << "the account was not refreshed";
  EXPECT_EQ(countLines("thread: backend ok"), 1);

  const auto requests = service_.requestsTo("/v1/generate");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fields.at("prompt"), "sunset");
  EXPECT_EQ(requests[0].fields.at("cache_key"), key + "_" + std::to_string(promptKey("sunset")));

  out = render(3.0);
  EXPECT_TRUE(rowsOf(out, kW, kH, kGreen).empty());
  EXPECT_EQ(pixelAt(out, kW, 0, 0), (Rgb{200, 100, 40}));
  for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255);
}

TEST_F(RenderGeneration, EachRefusalHasItsBarOnTheSourceForOneRender) {
  struct Case {
    int status;
    Rgb bar;
    const char* line;
  };
  const Case cases[] = {
      {402, kOrange, "thread: out of credits (402)"},
      {401, kLightRed, "thread: session expired or unverified (401/403)"},
      {403, kLightRed, "thread: session expired or unverified (401/403)"},
      {500, kAmber, "thread: backend failed http=500"},
  };
  double t = 1.0;
  for (const Case& c : cases) {
    storeToken();  // a rejected session removes the stored token
    answerGenerate(c.status, 0);
    const std::string prompt = "prompt " + std::to_string(c.status) + " " + std::to_string(t);
    hostSetValue(inst_, "prompt", prompt);
    const int linesBefore = countLines(c.line);
    hostInstanceChanged(inst_, "generate", t);
    std::vector<uint8_t> out = renderUntilNotRunning(t);
    EXPECT_EQ(rowsOf(out, kW, kH, c.bar).size(), static_cast<size_t>(2 * barRows(kH))) << c.status;
    EXPECT_EQ(pixelAt(out, kW, 3, kH / 2), (Rgb{50, 50, 50})) << c.status;
    EXPECT_EQ(countLines(c.line), linesBefore + 1) << c.status;
    EXPECT_FALSE(fileExists(cacheFile(effectKey(), prompt))) << c.status;
    render(t);
    EXPECT_TRUE(samePixelBytes(*source_, *output_)) << "bar shown twice for " << c.status;
    t += 1.0;
  }
}

TEST_F(RenderGeneration, FailureWithACachedBackgroundIsDrawnOnTheComposite) {
  writeBackground("meadow", background_, kW, kH);
  hostSetValue(inst_, "prompt", std::string("meadow"));
  hostInstanceChanged(inst_, "generate", 2.0);  // no token: the worker ends Failed
  const std::vector<uint8_t> out = renderUntilNotRunning(2.0);
  EXPECT_EQ(rowsOf(out, kW, kH, kAmber).size(), static_cast<size_t>(2 * barRows(kH)));
  EXPECT_EQ(pixelAt(out, kW, 3, kH / 2), (Rgb{200, 100, 40}));
}

TEST_F(RenderGeneration, RunningShowsTheSourceEvenWithABackgroundCachedAndKeepsItsAlpha) {
  std::vector<uint8_t> px = frame_;
  for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
  px[(static_cast<size_t>(kH / 2) * kW + 5) * 4 + 3] = 128;  // a matte in the source alpha
  setFrame(px, kW, kH);
  writeBackground("meadow", background_, kW, kH);
  storeToken();
  answerGenerate(200, 1000);
  hostSetValue(inst_, "prompt", std::string("meadow"));
  hostInstanceChanged(inst_, "generate", 2.0);
  const std::vector<uint8_t> out = render(2.0);
  EXPECT_EQ(pixelAt(out, kW, 0, 0), kRed);
  EXPECT_EQ(pixelAt(out, kW, 3, kH / 2), (Rgb{50, 50, 50}));
  EXPECT_EQ(alphaAt(out, kW, 5, kH / 2), 128);
  EXPECT_EQ(pixelAt(out, kW, 5, kH / 2), (Rgb{100, 100, 100}));  // 50 unpremultiplied by 128
  renderUntilNotRunning(2.0);
}

TEST_F(RenderGeneration, EmptyPromptPressIsConsumedAndNothingElseHappens) {
  storeToken();
  answerGenerate(200, 0);
  hostInstanceChanged(inst_, "generate", 1.0);
  render(1.0);
  EXPECT_TRUE(samePixelBytes(*source_, *output_));
  EXPECT_EQ(countLines("spawning generation thread"), 0);
  hostSetValue(inst_, "prompt", std::string("later"));
  render(1.0);  // the press was used up by the first render
  EXPECT_EQ(countLines("spawning generation thread"), 0);
  EXPECT_TRUE(service_.requestsTo("/v1/generate").empty());
}

TEST_F(RenderGeneration, SecondPressWhileRunningIsDropped) {
  storeToken();
  answerGenerate(200, 2500);
  hostSetValue(inst_, "prompt", std::string("dunes"));
  hostInstanceChanged(inst_, "generate", 4.0);
  EXPECT_EQ(pixelAt(render(4.0), kW, 0, 0), kRed);
  hostInstanceChanged(inst_, "generate", 4.0);
  EXPECT_EQ(pixelAt(render(4.0), kW, 0, 0), kRed);
  const std::vector<uint8_t> out = renderUntilNotRunning(4.0);
  EXPECT_EQ(pixelAt(out, kW, 0, 0), kGreen);
  EXPECT_EQ(service_.requestsTo("/v1/generate").size(), 1u);
  EXPECT_EQ(countLines("spawning generation thread"), 1);
}

TEST_F(RenderGeneration, DestroyingTheInstanceWhileTheRequestRunsLetsTheWorkerFinish) {
  storeToken();
  answerGenerate(200, 1000);
  hostSetValue(inst_, "prompt", std::string("canyon"));
  hostInstanceChanged(inst_, "generate", 6.0);
  EXPECT_EQ(pixelAt(render(6.0), kW, 0, 0), kRed);
  const std::string key = effectKey();
  destroy(inst_);
  inst_ = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (countLines("thread: backend ok") == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_EQ(countLines("thread: backend ok"), 1);
  EXPECT_TRUE(isValidPng(cacheFile(key, "canyon")));
  EXPECT_TRUE(isValidPng(rawdiffFile(key, "canyon")));
  EXPECT_TRUE(isValidPng(anchorFile(key, "canyon")));
  EXPECT_FALSE(fileExists(inputFile(key)));
}

// The render that shows the outcome asks for a fresh account answer but never
// waits for it; the panel shows it in a later action.
TEST_F(RenderGeneration, AnEndedGenerationRefreshesTheAccountWithoutWaitingForIt) {
  storeToken();
  answerGenerate(402, 300);
  service_.reply("GET", "/v1/me",
                 Reply{200, R"({"email":"a@b.c","balance":5})", "application/json", 300});
  hostSetValue(inst_, "prompt", std::string("forest"));
  hostInstanceChanged(inst_, "generate", 7.0);
  EXPECT_EQ(pixelAt(render(7.0), kW, 0, 0), kRed);
  const std::vector<uint8_t> out = renderUntilNotRunning(7.0);
  EXPECT_EQ(pixelAt(out, kW, 0, 0), kOrange);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (hostGetString(inst_, "accountInfo") != "a@b.c — 5 tokens" &&
         std::chrono::steady_clock::now() < deadline) {
    hostSyncPrivateData(inst_);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(hostGetString(inst_, "accountInfo"), "a@b.c — 5 tokens");
}

// An answer at the decoder's limit is brought down to the frame's size by the
// worker, so the render that picks it up decodes a frame-sized file.
TEST_F(RenderGeneration, AnAnswerFarLargerThanTheFrameIsReducedBeforeTheRenderLoadsIt) {
#if defined(__SANITIZE_THREAD__)
  // Decoding 256 megapixels under TSan outlasts the test bundle's request limit; one worker
  // thread, nothing for TSan to see that the other generation tests do not show.
  GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
  storeToken();
  service_.reply("POST", "/v1/generate", Reply{200, flat_png::blackPng(16000, 16000), "image/png"});
  hostSetValue(inst_, "prompt", std::string("vast"));
  hostInstanceChanged(inst_, "generate", 1.0);
  EXPECT_EQ(pixelAt(render(1.0), kW, 0, 0), kRed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (countLines("thread: backend ok") == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_EQ(countLines("thread: background 16000x16000 reduced to 64x48"), 1);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<uint8_t> out = render(1.0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 2.0) << "the render decoded the large answer";
  EXPECT_EQ(pixelAt(out, kW, 0, 0), kGreen);
  const auto* record =
      static_cast<const Instance*>(hostPropPointer(hostInstanceProps(inst_), kOfxPropInstanceData));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->bgCache.width, kW);
  EXPECT_EQ(record->bgCache.height, kH);
  EXPECT_EQ(record->bgCache.path, cacheFile(effectKey(), "vast"));
}
