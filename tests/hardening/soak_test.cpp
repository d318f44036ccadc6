// Load and lifetime through the real test bundle in our host: many instances
// created and destroyed while their generations and sign-in polls are still
// out, ten thousand renders of one instance with every parameter changing,
// and renders of different instances on several host threads at once.
// Afterwards no thread of ours outlives its request, memory is back where it
// started (resident size here; LeakSanitizer in the asan run), and every
// generation that finished left complete files.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "backend/backend.h"
#include "core/core.h"
#include "imaging/imaging.h"
#include "tests/hardening/hardening_fixture.h"

namespace {

// Threads of the bundle end within their request's limit, or one poll
// interval after their sign-in was cancelled, plus scheduling slack.
constexpr double kThreadsSettleSeconds = kGenerateLimitSeconds + 2.0 + 10.0;

class Soak : public HardeningTest {
 protected:
  void SetUp() override {
    HardeningTest::SetUp();
    storeToken();
    ASSERT_TRUE(makeWorkDir());
    baselineThreads_ = settledThreads();
  }

  // Generation answers arrive after 0.2 to 1.5 s, so destroys meet them in flight.
  void serveSlowGenerations(int width, int height) {
    std::atomic<int>* turn = &turn_;
    const std::string png = solidPng(width, height, 20, 40, 220);
    service_.reply("POST", "/v1/generate", [turn, png](const ServedRequest&) {
      Reply reply{200, png, "image/png"};
      reply.delayMs = 200 + (turn->fetch_add(1) * 370) % 1300;
      return reply;
    });
  }

  void servePendingSignIn() {
    service_.reply("POST", "/v1/device/code",
                   Reply{200, R"({"device_code":"dev-1","user_code":"U-1",)"
                              R"("verification_uri":"http://127.0.0.1:28517/device",)"
                              R"("interval":1,"expires_in":60})"});
    service_.reply("POST", "/v1/device/token", Reply{400, R"({"error":"authorization_pending"})"});
  }

  void expectThreadsBackToBaseline() {
    const int left = waitForThreads(baselineThreads_, kThreadsSettleSeconds);
    EXPECT_LE(left, baselineThreads_) << "threads of the bundle outlived their requests";
  }

  // Every background in the working directory came with its difference and
  // anchor images, all decodable at the sizes the worker writes.
  int expectCompleteGenerations() {
    int complete = 0;
    for (const std::string& name : workFiles("bg_")) {
      const std::string rest = name.substr(std::string("bg_").size());
      std::vector<uint8_t> pixels;
      int w = 0, h = 0;
      EXPECT_TRUE(decodeImageFile(workDir() + "/" + name, 4, pixels, w, h)) << name;
      EXPECT_TRUE(decodeImageFile(workDir() + "/rawdiff_" + rest, 1, pixels, w, h)) << rest;
      EXPECT_TRUE(decodeImageFile(workDir() + "/anchor_" + rest, 1, pixels, w, h)) << rest;
      EXPECT_EQ(w, 128);
      EXPECT_EQ(h, 128);
      ++complete;
    }
    EXPECT_TRUE(workFiles("ofx_input_").empty()) << "a staging file was left behind";
    return complete;
  }

  int baselineThreads_ = 0;
  std::atomic<int> turn_{0};
};

TEST_F(Soak, FiftyInstancesComeAndGoWhileGenerationsAndSignInPollsAreOut) {
  serveSlowGenerations(32, 18);
  servePendingSignIn();

  std::vector<HostInstance*> alive;
  int generations = 0, signIns = 0;
  for (int i = 0; i < 50; ++i) {
    HostInstance* instance = createWithFrame(32, 18, i);
    if (i % 2 == 0) {
      EXPECT_EQ(startGeneration(instance, "dunes " + std::to_string(i % 3), 1.0), Bars::Red);
      ++generations;
    }
    if (i % 3 == 0) {
      hostInstanceChanged(instance, "signIn", 1.0);
      ++signIns;
    }
    alive.push_back(instance);
    if (alive.size() > 4) {  // the oldest goes while its work is still out
      destroy(alive.front());
      alive.erase(alive.begin());
    }
  }
  for (HostInstance* instance : alive) destroy(instance);
  alive.clear();

  expectThreadsBackToBaseline();
  const int complete = expectCompleteGenerations();
  EXPECT_GT(complete, 0);
  std::printf(
      "[soak] 50 instances, %d generations started, %d sign-ins, %d complete "
      "backgrounds, threads %d -> %d\n",
      generations, signIns, complete, baselineThreads_, processThreads());
}

TEST_F(Soak, TenThousandRendersWithEveryParameterChangingEachFrame) {
  constexpr int kWidth = 64, kHeight = 36, kRenders = 10000;
  service_.reply("POST", "/v1/generate",
                 Reply{200, solidPng(kWidth, kHeight, 20, 40, 220), "image/png"});
  HostInstance* instance = createWithFrame(kWidth, kHeight);
  ASSERT_EQ(startGeneration(instance, "harbour at dusk", 1.0), Bars::Red);
  ASSERT_EQ(renderUntilNotRed(instance, 1.0, kThreadsSettleSeconds), Bars::Green);

  std::shared_ptr<HostImage> source = frames_.back().source;
  const std::vector<uint8_t> opaque = texturedFrame(kWidth, kHeight);
  std::vector<uint8_t> matte = opaque;
  for (size_t i = 3; i < matte.size(); i += 4) matte[i] = uint8_t((i / 4 % kWidth) * 4);

  std::mt19937 rng(4242);
  auto pick = [&rng](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  long startRss = 0, peakRss = 0;
  for (int frame = 0; frame < kRenders; ++frame) {
    hostSetValue(instance, "blend", pick(0.0, 1.0));
    hostSetValue(instance, "threshold", pick(0.0, 100.0));
    hostSetValue(instance, "maskGrow", pick(-30.0, 30.0));
    hostSetValue(instance, "inFeather", pick(0.0, 30.0));
    hostSetValue(instance, "outFeather", pick(0.0, 30.0));
    hostSetValue(instance, "bgScale", pick(0.25, 4.0));
    hostSetValue(instance, "bgOffX", pick(-200.0, 200.0));
    hostSetValue(instance, "bgOffY", pick(-200.0, 200.0));
    hostSetValue(instance, "maskSource", double(rng() % 2));
    hostSetValue(instance, "invertMask", double(rng() % 2));
    hostSetValue(instance, "trackMotion", double(rng() % 2));
    if (frame % 7 == 0) hostFillFromRGBA8(*source, frame % 14 == 0 ? matte : opaque);
    ASSERT_EQ(hostRender(instance, 1.0), kOfxStatOK);
    if (frame == 1000) startRss = residentBytes();
    peakRss = std::max(peakRss, residentBytes());
  }
  const std::vector<uint8_t> out = output(instance);
  for (size_t i = 3; i < out.size(); i += 4)
    ASSERT_EQ(out[i], 255) << "composited output is opaque";
  ASSERT_TRUE(hostImageIntact(*frames_.back().output)) << "a render wrote outside the image";

  const long endRss = residentBytes();
  std::printf("[soak] %d renders of %dx%d: RSS at frame 1000 %.1f MB, end %.1f MB, peak %.1f MB\n",
              kRenders, kWidth, kHeight, startRss / 1048576.0, endRss / 1048576.0,
              peakRss / 1048576.0);
  if (!memoryIsInstrumented()) {
    EXPECT_LT(endRss - startRss, 8L << 20) << "resident memory kept growing over the renders";
  }
  expectThreadsBackToBaseline();
}

TEST_F(Soak, RendersOnSeveralHostThreadsForDifferentInstancesAtOnce) {
  constexpr int kThreads = 4, kRendersEach = 300;
  serveSlowGenerations(48, 27);
  std::vector<HostInstance*> instances;
  for (int i = 0; i < kThreads; ++i) instances.push_back(createWithFrame(48, 27, i));
  // Two of them have a background already, two start a generation that
  // finishes while the renders run.
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(startGeneration(instances[i], "canyon", 1.0), Bars::Red);
    ASSERT_EQ(renderUntilNotRed(instances[i], 1.0, kThreadsSettleSeconds), Bars::Green);
  }
  for (int i = 2; i < kThreads; ++i)
    ASSERT_EQ(startGeneration(instances[i], "glacier", 1.0), Bars::Red);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HostInstance* instance = instances[size_t(t)];
      for (int n = 0; n < kRendersEach; ++n) {
        hostSetValue(instance, "blend", (n % 10) / 10.0);
        hostSetValue(instance, "bgScale", 1.0 + (n % 5) * 0.25);
        hostSetValue(instance, "trackMotion", double(n % 2));
        if (hostRender(instance, 1.0) != kOfxStatOK) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (const Frame& f : frames_) EXPECT_TRUE(hostImageIntact(*f.output));
  for (int i = 2; i < kThreads; ++i)
    EXPECT_NE(renderUntilNotRed(instances[size_t(i)], 1.0, kThreadsSettleSeconds), Bars::Red);
  expectThreadsBackToBaseline();
  EXPECT_GE(expectCompleteGenerations(), 2);
}

}  // namespace
