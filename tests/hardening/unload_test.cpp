// Unloading the bundle while its own threads still work: the unload action
// stops them and waits (with a bound) until none of them can run code of the
// bundle any more, so the host's dlclose that follows is safe.
#include <sys/stat.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "backend/backend.h"
#include "tests/hardening/hardening_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Unload : public HardeningTest {
 protected:
  void SetUp() override {
    HardeningTest::SetUp();
    storeToken();
    baselineThreads_ = settledThreads();
  }

  // Destroys every instance, sends unload and dlcloses the binary, as a host
  // does when it lets the plug-in go; the unload action's answer.
  OfxStatus unloadAndClose(double* tookSeconds) {
    for (HostInstance* instance : instances_) hostDestroyInstance(instance);
    instances_.clear();
    frames_.clear();
    EXPECT_EQ(hostBadHandleCount(host_), 0u);
    const auto start = Clock::now();
    const OfxStatus status = hostUnload(host_);
    *tookSeconds = secondsSince(start);
    hostClose(host_);  // dlclose: any code of the bundle still running would now crash
    host_ = nullptr;
    return status;
  }

  int baselineThreads_ = 0;
};

TEST_F(Unload, DuringAGenerationStopsTheWorkerBeforeTheBinaryGoes) {
  service_.reply("POST", "/v1/generate", Reply{200, "", "image/png", 0, /*neverAnswer=*/true});
  HostInstance* instance = createWithFrame(64, 36);
  ASSERT_EQ(startGeneration(instance, "night city", 1.0), Bars::Red);
  ASSERT_TRUE(waitUntil([&] { return !service_.requestsTo("/v1/generate").empty(); }, 10.0))
      << "the request is out";

  double took = 0;
  EXPECT_EQ(unloadAndClose(&took), kOfxStatReplyDefault);
  EXPECT_LT(took, 3.0) << "unload waited for the request instead of stopping it";
  // Had a worker survived the dlclose it would crash this process by now.
  EXPECT_LE(waitForThreads(baselineThreads_, 10.0), baselineThreads_);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(workFiles("ofx_input_").empty()) << "a cut-off download was left";
}

TEST_F(Unload, DuringASlowAnswerLeavesNoPartialBackground) {
  // The answer is on its way when unload comes: its bytes stall half way.
  const std::string png = solidPng(64, 36, 20, 40, 220);
  Reply reply{200, png.substr(0, png.size() / 2), "image/png"};
  reply.stallBody = true;
  reply.contentLength = static_cast<long long>(png.size());
  service_.reply("POST", "/v1/generate", reply);
  HostInstance* instance = createWithFrame(64, 36);
  ASSERT_EQ(startGeneration(instance, "night city", 1.0), Bars::Red);
  ASSERT_TRUE(waitUntil([&] { return !service_.requestsTo("/v1/generate").empty(); }, 10.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  double took = 0;
  EXPECT_EQ(unloadAndClose(&took), kOfxStatReplyDefault);
  EXPECT_LE(waitForThreads(baselineThreads_, 10.0), baselineThreads_);
  EXPECT_TRUE(workFiles("ofx_input_").empty());
  EXPECT_TRUE(workFiles("bg_").empty()) << "a partial download became a background";
}

TEST_F(Unload, DuringASignInPollEndsThePollerWithoutWaitingOutItsInterval) {
  service_.reply("POST", "/v1/device/code",
                 Reply{200, R"({"device_code":"dev-9","user_code":"U-9",)"
                            R"("verification_uri":"http://127.0.0.1:28517/device",)"
                            R"("interval":30,"expires_in":600})"});
  service_.reply("POST", "/v1/device/token", Reply{400, R"({"error":"authorization_pending"})"});
  HostInstance* instance = create();
  hostInstanceChanged(instance, "signIn", 1.0);
  ASSERT_TRUE(waitUntil([&] { return !service_.requestsTo("/v1/device/token").empty(); }, 10.0))
      << "the poller is running and now sleeps 30 s";

  double took = 0;
  EXPECT_EQ(unloadAndClose(&took), kOfxStatReplyDefault);
  EXPECT_LT(took, 3.0) << "unload waited out the poll interval";
  EXPECT_LE(waitForThreads(baselineThreads_, 5.0), baselineThreads_);
}

TEST_F(Unload, WithNothingRunningAnswersAtOnceAndTheBundleLoadsAgain) {
  HostInstance* instance = createWithFrame(32, 18);
  EXPECT_EQ(render(instance, 1.0), Bars::None);
  double took = 0;
  EXPECT_EQ(unloadAndClose(&took), kOfxStatReplyDefault);
  EXPECT_LT(took, 1.0);

  ASSERT_NO_FATAL_FAILURE(openAndDescribe());
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(32, 18, 20, 40, 220), "image/png"});
  HostInstance* again = createWithFrame(32, 18);
  ASSERT_EQ(startGeneration(again, "night city", 1.0), Bars::Red);
  EXPECT_EQ(renderUntilNotRed(again, 1.0, 20.0), Bars::Green) << "the reloaded bundle works";
}

}  // namespace
