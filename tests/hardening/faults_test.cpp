// Faults of the service, the disk and the environment, through the real test
// bundle in our host: nothing crashes, nothing waits beyond its limit, the
// user sees the outcome in the bars or the panel, and no partial download is
// ever used as a background.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "backend/backend.h"
#include "core/core.h"
#include "tests/hardening/hardening_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Longest a render may keep the host's thread while a generation is out.
constexpr double kRenderBoundSeconds = 2.0;
// A generation against a failing service ends within its limits plus curl's
// start and the worker's own work.
constexpr double kGenerationBoundSeconds = kGenerateLimitSeconds + 2.0 + 8.0;

class Faults : public HardeningTest {
 protected:
  void SetUp() override {
    HardeningTest::SetUp();
    storeToken();
  }

  // Starts a generation; the bars it ends with. A failure before any request
  // (no frame written, no token) can be over by the time the starting render
  // reads the state; then that render shows it.
  Bars outcomeOf(HostInstance* instance) {
    const Bars first = startGeneration(instance, "stormy sky", 1.0);
    if (first != Bars::Red) return first;
    return renderUntilNotRed(instance, 1.0, kGenerationBoundSeconds);
  }

  // The same on a fresh 64 x 36 instance.
  Bars generationOutcome(HostInstance** out = nullptr) {
    HostInstance* instance = createWithFrame(64, 36);
    if (out) *out = instance;
    return outcomeOf(instance);
  }

  // No generation left anything at the staging name or the cache name.
  void expectNoDownloadKept(HostInstance* instance) {
    const std::string id =
        static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData))
            ->key;
    EXPECT_FALSE(fileExists(inputFile(id))) << "staging file left behind";
    EXPECT_FALSE(fileExists(cacheFile(id, "stormy sky")))
        << "a failed download became the background";
  }
};

TEST_F(Faults, ServiceThatNeverAnswersEndsAmberWithinTheLimitWhileRendersStayQuick) {
  service_.reply("POST", "/v1/generate", Reply{200, "", "image/png", 0, /*neverAnswer=*/true});
  HostInstance* instance = createWithFrame(64, 36);
  ASSERT_EQ(startGeneration(instance, "stormy sky", 1.0), Bars::Red);

  const auto start = Clock::now();
  double slowestRender = 0;
  Bars bars = Bars::Red;
  while (bars == Bars::Red && secondsSince(start) < kGenerationBoundSeconds) {
    const auto before = Clock::now();
    bars = render(instance, 1.0);
    slowestRender = std::max(slowestRender, secondsSince(before));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(bars, Bars::Amber) << barsName(bars);
  EXPECT_LT(slowestRender, kRenderBoundSeconds) << "a render waited for the service";
  EXPECT_GE(secondsSince(start), kGenerateLimitSeconds - 1.0) << "gave up before its limit";
  EXPECT_EQ(render(instance, 1.0), Bars::None) << "the failure is shown once";
  expectNoDownloadKept(instance);
}

// No action of the host waits on the network: with a service that never
// answers the account, version and sign-in requests, create-instance, Sign In
// and the render that shows a generation's outcome all return at once.
TEST_F(Faults, ServiceThatNeverAnswersHoldsNoActionOfTheHost) {
  const Reply silent{200, "", "application/json", 0, true};
  service_.reply("GET", "/v1/me", silent);
  service_.reply("GET", "/version.json", silent);
  service_.reply("POST", "/v1/device/code", silent);
  service_.reply("POST", "/v1/generate", Reply{402, R"({"detail":"no credits"})"});
  auto timed = [](const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    return secondsSince(start);
  };
  HostInstance* instance = nullptr;
  OfxStatus status = kOfxStatFailed;
  EXPECT_LT(
      timed([&] { instance = hostCreateInstance(host_, kOfxImageEffectContextGeneral, &status); }),
      0.5);
  ASSERT_NE(instance, nullptr);
  attachFrame(instance, 32, 18);

  EXPECT_LT(timed([&] { hostInstanceChanged(instance, "signIn", 0.0); }), 0.5);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "Requesting a sign-in code...");

  EXPECT_EQ(startGeneration(instance, "stormy sky", 1.0), Bars::Red);
  double slowest = 0;
  Bars bars = Bars::Red;
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (bars == Bars::Red && Clock::now() < end) {
    slowest = std::max(slowest, timed([&] { bars = render(instance, 1.0); }));
  }
  EXPECT_EQ(bars, Bars::Orange);
  EXPECT_LT(slowest, 0.5) << "the outcome's render asks for the account but does not wait";
  hostDestroyInstance(instance);
}

TEST_F(Faults, ConnectionResetEndsAmber) {
  service_.reply("POST", "/v1/generate", Reply{200, "", "image/png", 0, false, /*close=*/true});
  HostInstance* instance = nullptr;
  EXPECT_EQ(generationOutcome(&instance), Bars::Amber);
  expectNoDownloadKept(instance);
}

TEST_F(Faults, TruncatedPngEndsAmberAndKeepsTheEarlierBackground) {
  const std::string png = solidPng(64, 36, 20, 40, 220);
  service_.reply("POST", "/v1/generate", Reply{200, png, "image/png"});
  HostInstance* instance = nullptr;
  ASSERT_EQ(generationOutcome(&instance), Bars::Green);
  ASSERT_EQ(render(instance, 1.0), Bars::None);
  const std::vector<uint8_t> composited = output(instance);

  service_.reply("POST", "/v1/generate", Reply{200, png.substr(0, png.size() / 2), "image/png"});
  hostInstanceChanged(instance, "generate", 1.0);
  ASSERT_EQ(render(instance, 1.0), Bars::Red);
  EXPECT_EQ(renderUntilNotRed(instance, 1.0, kGenerationBoundSeconds), Bars::Amber);
  EXPECT_EQ(render(instance, 1.0), Bars::None);
  EXPECT_EQ(output(instance), composited) << "the earlier background is still the one shown";
  EXPECT_TRUE(workFiles("ofx_input_").empty()) << "staging file left behind";
}

TEST_F(Faults, PngOfAnotherSizeIsFittedToTheFrame) {
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(40, 20, 20, 40, 220), "image/png"});
  HostInstance* instance = nullptr;
  ASSERT_EQ(generationOutcome(&instance), Bars::Green);
  ASSERT_EQ(render(instance, 1.0), Bars::None);
  const std::vector<uint8_t> out = output(instance);
  const size_t middle = (size_t(18) * 64 + 32) * 4;
  // sRGB resampling of a solid colour keeps it within a step.
  EXPECT_NEAR(out[middle], 20, 1);
  EXPECT_NEAR(out[middle + 1], 40, 1);
  EXPECT_NEAR(out[middle + 2], 220, 1);
  EXPECT_EQ(out[middle + 3], 255);
}

TEST_F(Faults, AnnouncedTwoGigabytesNeverSentEndsAmberAtTheLimit) {
  Reply reply{200, solidPng(64, 36, 1, 2, 3).substr(0, 100), "image/png"};
  reply.stallBody = true;
  reply.contentLength = 2LL << 30;
  service_.reply("POST", "/v1/generate", reply);
  HostInstance* instance = nullptr;
  EXPECT_EQ(generationOutcome(&instance), Bars::Amber);
  expectNoDownloadKept(instance);
}

// Over the 1 MiB limit of a JSON answer: refused, not read, nothing kept.
TEST_F(Faults, HugeJsonAnswersAreRefusedAndDoNotStopThePanel) {
  std::string body = R"({"email":"big@example.com","balance":3,"padding":")";
  body += std::string(24u << 20, 'x') + "\"}";
  service_.reply("GET", "/v1/me", Reply{200, body});
  service_.reply("GET", "/version.json", Reply{200, body});
  HostInstance* instance = create();
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "Signed in (backend unreachable — will retry)");
  EXPECT_FALSE(fileExists(workDir() + "/ofx_me_response.json"));
}

TEST_F(Faults, WorkingDirectoryThatCannotBeMadeEndsAmber) {
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(64, 36, 9, 9, 9), "image/png"});
  // A file where the working directory's parent should be: no directory can
  // be made there, whoever runs the test (permission bits do not stop root).
  const std::string parent = home_.path() + "/Documents/tollwick";
  ASSERT_EQ(system(("mkdir -p '" + home_.path() + "/Documents' && : > '" + parent + "'").c_str()),
            0);
  HostInstance* instance = nullptr;
  EXPECT_EQ(generationOutcome(&instance), Bars::Amber);
  EXPECT_TRUE(service_.requestsTo("/v1/generate").empty()) << "no frame to send, nothing sent";
}

TEST_F(Faults, ReadOnlyWorkingDirectoryEndsAmber) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(64, 36, 9, 9, 9), "image/png"});
  ASSERT_TRUE(makeWorkDir());
  ASSERT_EQ(chmod(workDir().c_str(), 0555), 0);
  HostInstance* instance = nullptr;
  EXPECT_EQ(generationOutcome(&instance), Bars::Amber);
  chmod(workDir().c_str(), 0755);
}

// A grabbed frame that cannot be written whole (here: a file-size limit, a full disk
// even for root) sends nothing: neither the part that was written nor the earlier frame
// at the same name, which an earlier session, its instance ids also starting at 1, left.
TEST_F(Faults, GrabbedFrameThatCannotBeWrittenWholeSendsNothing) {
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(64, 36, 9, 9, 9), "image/png"});
  HostInstance* instance = createWithFrame(64, 36);
  const std::string id =
      static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData))
          ->key;
  ASSERT_TRUE(makeWorkDir());
  const std::string earlier = solidPng(64, 36, 200, 10, 10);
  { std::ofstream(grabbedFile(id), std::ios::binary) << earlier; }

  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lower = saved;
  lower.rlim_cur = 256;  // far below the PNG of a textured 64 x 36 frame
  setrlimit(RLIMIT_FSIZE, &lower);
  const Bars first = startGeneration(instance, "stormy sky", 1.0);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  const Bars outcome =
      first == Bars::Red ? renderUntilNotRed(instance, 1.0, kGenerationBoundSeconds) : first;
  EXPECT_EQ(outcome, Bars::Amber) << barsName(outcome);
  EXPECT_TRUE(service_.requestsTo("/v1/generate").empty()) << "a partial or earlier frame was sent";
  EXPECT_FALSE(fileExists(grabbedFile(id)));
}

// The file token store, used everywhere but macOS: its place under HOME, and
// the file's own checks. (The keychain needs no HOME and has no file.)
#if !defined(__APPLE__)
std::string tokenFile(const std::string& home) {
  return home + "/.config/talvane/" + kTestKeychain + ".tokens";
}

TEST_F(Faults, HomeUnsetMeansNoTokenAndAmber) {
  const std::string home = home_.path();
  unsetenv("HOME");
  unsetenv("XDG_CONFIG_HOME");
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(64, 36, 9, 9, 9), "image/png"});
  HostInstance* instance = create();
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "");
  attachFrame(instance, 32, 18);
  EXPECT_EQ(outcomeOf(instance), Bars::Amber);
  EXPECT_EQ(render(instance, 1.0), Bars::None);
  EXPECT_TRUE(service_.requestsTo("/v1/generate").empty());
  setenv("HOME", home.c_str(), 1);  // the fixture's TempHome restores the rest
}

TEST_F(Faults, CorruptTokenFileIsNotTrustedAndSaysWhy) {
  { std::ofstream(tokenFile(home_.path()), std::ios::trunc) << "talvane-tokens 1\n99 3\nabc"; }
  HostInstance* instance = createWithFrame(64, 36);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "");
  EXPECT_EQ(outcomeOf(instance), Bars::Amber);
  EXPECT_NE(debugLog().find("keychainGetToken: token file not trusted: corrupt"), std::string::npos)
      << debugLog();
}

TEST_F(Faults, GroupReadableTokenFileIsRefusedAndSaysWhy) {
  ASSERT_EQ(chmod(tokenFile(home_.path()).c_str(), 0640), 0);
  HostInstance* instance = createWithFrame(64, 36);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "") << "a token others can read is not used";
  EXPECT_EQ(outcomeOf(instance), Bars::Amber);
  EXPECT_TRUE(service_.requestsTo("/v1/generate").empty());
  EXPECT_NE(
      debugLog().find("keychainGetToken: token file not trusted: readable or writable by others"),
      std::string::npos)
      << debugLog();
}
#endif  // !__APPLE__

}  // namespace
