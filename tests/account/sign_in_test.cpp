// The sign-in poller, driven through the account logic linked into this test
// with a replaceable clock, so waits of many seconds, expiry and cancellation
// run in milliseconds and in a fixed order. The service is real (loopback
// HTTP through /usr/bin/curl), and so are the host parameters the panel is
// written to: they come from an instance of the real bundle in our host.
#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "account/account.h"
#include "backend/backend.h"
#include "tests/account/account_test_env.h"
#include "tests/support/temp_home.h"

namespace {

const std::string kExpired = "Sign-in code expired — click Sign In to retry";
const std::string kPendingLabel = "Approve in your browser to finish sign-in...";

// A wall clock that moves only when the poller sleeps. Sleeps are recorded;
// while the gate is closed they block, so a test can act while a poller is
// known to be asleep.
struct TestClock {
  std::mutex mutex;
  std::condition_variable changed;
  time_t now = 1700000000;
  std::vector<int> sleeps;
  std::deque<time_t> jumps;  // when set, the next sleeps advance by these instead
  bool gateClosed = false;
  int asleep = 0;

  void closeGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateClosed = true;
  }
  void openGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateClosed = false;
    changed.notify_all();
  }
  bool waitAsleep(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return asleep >= count; });
  }
  std::vector<int> recordedSleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
  }
};

PollClock pollClockOf(const std::shared_ptr<TestClock>& clock) {
  PollClock poll;
  poll.now = [clock] {
    std::lock_guard<std::mutex> lock(clock->mutex);
    return clock->now;
  };
  poll.sleepSeconds = [clock](int seconds) {
    std::unique_lock<std::mutex> lock(clock->mutex);
    clock->sleeps.push_back(seconds);
    ++clock->asleep;
    clock->changed.notify_all();
    clock->changed.wait_for(lock, std::chrono::seconds(10), [&] { return !clock->gateClosed; });
    --clock->asleep;
    if (clock->jumps.empty()) {
      clock->now += seconds;
    } else {
      clock->now += clock->jumps.front();
      clock->jumps.pop_front();
    }
  };
  return poll;
}

std::string formField(const ServedRequest& request) {
  const std::string key = "device_code=";
  const size_t at = request.body.find(key);
  return at == std::string::npos ? "" : request.body.substr(at + key.size());
}

class SignInPoller : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(28517)) << "port 28517 busy";
    ASSERT_TRUE(bundle.ok()) << bundle.error();
    gParamSuite = hostParameterSuite();
    gPropSuite = hostPropertySuite();
    gMessageSuite = nullptr;
    hostInstance = bundle.create();
    ASSERT_NE(hostInstance, nullptr);
    record = std::make_unique<Instance>();
    for (const ParamRow& row : kParams)
      record->handles[static_cast<int>(row.id)] = hostParam(hostInstance, row.name);
    changesBefore = hostParamChanges(hostInstance).size();
    setPollClockForTesting(pollClockOf(clock));
    server.reply("GET", "/v1/me", Reply{200, R"({"email":"ana@example.com","balance":3})"});
  }

  void TearDown() override {
    clock->openGate();
    if (record) cancelDeviceFlow(record.get());
    EXPECT_TRUE(waitForBackgroundWorkers(20)) << "a poller did not end";
    setPollClockForTesting(PollClock{});
  }

  void answerDeviceCode(const std::string& json) {
    server.reply("POST", "/v1/device/code", Reply{200, json});
  }
  void answerTokenPolls(std::vector<Reply> replies) {
    auto sequence = std::make_shared<ReplySequence>(std::move(replies));
    server.reply("POST", "/v1/device/token",
                 [sequence](const ServedRequest&) { return sequence->next(); });
  }
  size_t polls() { return server.requestsTo("/v1/device/token").size(); }
  bool finished() { return waitForBackgroundWorkers(20); }
  // Labels set since the test's own Sign In (the bundle's create set one too).
  std::vector<std::string> labelsSincePress() {
    std::vector<std::string> labels;
    const auto changes = hostParamChanges(hostInstance);
    for (size_t i = changesBefore; i < changes.size(); ++i) {
      if (changes[i].param == "accountInfo") labels.push_back(changes[i].text);
    }
    return labels;
  }

  TempHome home;
  OpenerStub opener;
  LoopbackServer server;
  BundleHost bundle;
  HostInstance* hostInstance = nullptr;
  std::unique_ptr<Instance> record;
  size_t changesBefore = 0;
  std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
};

TEST_F(SignInPoller, ApprovalStoresTheTokenAndShowsTheAccount) {
  answerDeviceCode(deviceCodeJson("dev-1"));
  answerTokenPolls({tokenError("authorization_pending"), tokenError("authorization_pending"),
                    tokenApproval("tok-approved")});
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());

  EXPECT_EQ(keychainGetToken(kTestKeychain, TALVANE_TEST_SERVICE_URL), "tok-approved");
  EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedIn, "ana@example.com — 3 tokens"));
  EXPECT_EQ(polls(), 3u);
  EXPECT_EQ(clock->recordedSleeps(), (std::vector<int>{5, 5}));
  const std::vector<std::string> labels = labelsSincePress();
  ASSERT_GE(labels.size(), 2u);
  EXPECT_EQ(labels[0], "Requesting a sign-in code...") << "the button itself asks nothing";
  EXPECT_EQ(labels[1], kPendingLabel);
  const auto me = server.requestsTo("/v1/me");
  ASSERT_EQ(me.size(), 1u);
  EXPECT_EQ(me[0].header("Authorization"), "Bearer tok-approved");
}

TEST_F(SignInPoller, SlowDownLengthensEveryLaterWaitByFive) {
  answerDeviceCode(deviceCodeJson("dev-1"));
  answerTokenPolls({tokenError("authorization_pending"), tokenError("slow_down"),
                    Reply{400, R"({"detail":"slow_down"})"}, tokenError("authorization_pending"),
                    tokenApproval("tok-approved")});
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());
  EXPECT_EQ(clock->recordedSleeps(), (std::vector<int>{5, 10, 15, 15}));
  EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedIn, "ana@example.com — 3 tokens"));
}

TEST_F(SignInPoller, EveryPollCarriesTheDeviceCodeInTheForm) {
  answerDeviceCode(deviceCodeJson("dev-Code_1.x"));
  answerTokenPolls({tokenError("authorization_pending"), tokenApproval("tok")});
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());
  for (const ServedRequest& poll : server.requestsTo("/v1/device/token")) {
    EXPECT_EQ(poll.body,
              "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=dev-Code_1.x");
    EXPECT_EQ(formField(poll), "dev-Code_1.x");
  }
}

// ---- What the device-code answer sets: the pace and the lifetime ----

struct PaceCase {
  const char* name;
  std::string deviceCode;  // the JSON answer
  int firstWait;
  int lifetime;
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const PaceCase& c, std::ostream* out) { *out << c.name; }

class DeviceCodePace : public SignInPoller, public ::testing::WithParamInterface<PaceCase> {};

// The clock jumps to one second before the expected end, then to the end: the
// poll just before it still runs, the wake-up at it ends with the expiry text.
TEST_P(DeviceCodePace, FirstWaitAndLifetimeFollowTheAnswer) {
  const PaceCase& c = GetParam();
  answerDeviceCode(c.deviceCode);
  answerTokenPolls({tokenError("authorization_pending")});
  clock->jumps = {static_cast<time_t>(c.lifetime - 1), 1};
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());

  const auto sleeps = clock->recordedSleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps[0], c.firstWait);
  EXPECT_EQ(polls(), 2u) << "one poll at the start, one a second before the end";
  EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedOut, kExpired));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceCodePace,
    ::testing::Values(
        PaceCase{"Given", deviceCodeJson("d", 3, 30), 3, 30},
        PaceCase{
            "Missing",
            R"({"device_code":"d","user_code":"U","verification_uri":"http://127.0.0.1:28517/device"})",
            5, 600},
        PaceCase{"Zero", deviceCodeJson("d", 0, 0), 5, 600},
        PaceCase{"Negative", deviceCodeJson("d", -4, -60), 5, 600}),
    [](const ::testing::TestParamInfo<PaceCase>& info) { return std::string(info.param.name); });

TEST_F(SignInPoller, DefaultLifetimeAllowsOneHundredTwentyPollsAtTheDefaultPace) {
  answerDeviceCode(
      R"({"device_code":"d","user_code":"U","verification_uri":"http://127.0.0.1:28517/d"})");
  answerTokenPolls({tokenError("authorization_pending")});
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());
  EXPECT_EQ(polls(), 120u);
  EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedOut, kExpired));
}

// ---- Each token answer: keep polling (at which pace) or stop (with which text) ----

struct PollCase {
  const char* name;
  Reply answer;
  int nextWait;         // 0: the answer ends the sign-in
  std::string refusal;  // the code shown when it ends
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const PollCase& c, std::ostream* out) { *out << c.name; }

class TokenAnswer : public SignInPoller, public ::testing::WithParamInterface<PollCase> {};

TEST_P(TokenAnswer, KeepsPollingOrEndsWithTheServiceCode) {
  const PollCase& c = GetParam();
  answerDeviceCode(deviceCodeJson("dev-1"));
  answerTokenPolls({c.answer, tokenApproval("tok-after")});
  startDeviceSignIn(record.get());
  ASSERT_TRUE(finished());

  if (c.nextWait > 0) {
    EXPECT_EQ(polls(), 2u);
    EXPECT_EQ(clock->recordedSleeps(), (std::vector<int>{c.nextWait}));
    EXPECT_EQ(keychainGetToken(kTestKeychain, TALVANE_TEST_SERVICE_URL), "tok-after");
    EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedIn, "ana@example.com — 3 tokens"));
  } else {
    EXPECT_EQ(polls(), 1u);
    EXPECT_TRUE(clock->recordedSleeps().empty());
    EXPECT_EQ(keychainGetToken(kTestKeychain, TALVANE_TEST_SERVICE_URL), "");
    EXPECT_EQ(panelOf(hostInstance),
              expectedPanel(SignedOut, "Sign-in " + c.refusal + " — click Sign In to retry"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TokenAnswer,
    ::testing::Values(PollCase{"Pending", tokenError("authorization_pending"), 5, ""},
                      PollCase{"SlowDownInError", tokenError("slow_down"), 10, ""},
                      PollCase{"SlowDownInDetail", Reply{400, R"({"detail":"slow_down"})"}, 10, ""},
                      PollCase{"RateLimited", Reply{429, R"({"detail":"too many"})"}, 5, ""},
                      PollCase{"UnknownCode", tokenError("server_busy"), 5, ""},
                      PollCase{"EmptyBadRequest", Reply{400, ""}, 5, ""},
                      PollCase{"MalformedAccessToken", tokenApproval("abc+/def"), 5, ""},
                      PollCase{"ServerError", Reply{500, "oops"}, 5, ""},
                      PollCase{"ExpiredToken", tokenError("expired_token"), 0, "expired_token"},
                      PollCase{"AccessDenied", tokenError("access_denied"), 0, "access_denied"},
                      PollCase{"InvalidGrant", tokenError("invalid_grant"), 0, "invalid_grant"}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

// ---- Cancellation ----

// The first poller's refusal arrives after the second Sign In has replaced
// its slot: it must not reach the panel, and it must not poll again.
TEST_F(SignInPoller, SecondSignInSilencesTheFirstPoller) {
  auto codes = std::make_shared<ReplySequence>(std::vector<Reply>{
      Reply{200, deviceCodeJson("dev-first")}, Reply{200, deviceCodeJson("dev-second")}});
  server.reply("POST", "/v1/device/code", [codes](const ServedRequest&) { return codes->next(); });
  auto firstHeld = std::make_shared<Latch>();
  auto secondPressed = std::make_shared<Latch>();
  auto secondPolls = std::make_shared<ReplySequence>(
      std::vector<Reply>{tokenError("authorization_pending"), tokenApproval("tok-second")});
  server.reply("POST", "/v1/device/token", [=](const ServedRequest& request) {
    if (formField(request) == "dev-first") {
      firstHeld->open();
      secondPressed->wait(10);
      return tokenError("access_denied");
    }
    return secondPolls->next();
  });
  clock->closeGate();

  startDeviceSignIn(record.get());
  ASSERT_TRUE(firstHeld->wait(10));
  startDeviceSignIn(record.get());
  ASSERT_TRUE(clock->waitAsleep(1)) << "second poller never slept";
  secondPressed->open();
  clock->openGate();
  ASSERT_TRUE(finished());

  int firstPolls = 0;
  for (const auto& poll : server.requestsTo("/v1/device/token"))
    firstPolls += formField(poll) == "dev-first";
  EXPECT_EQ(firstPolls, 1);
  for (const std::string& label : labelsSincePress()) {
    EXPECT_EQ(label.find("access_denied"), std::string::npos) << label;
  }
  EXPECT_EQ(panelOf(hostInstance), expectedPanel(SignedIn, "ana@example.com — 3 tokens"));
}

TEST_F(SignInPoller, DestroyWhileAsleepEndsWithoutTouchingTheInstance) {
  answerDeviceCode(deviceCodeJson("dev-1"));
  answerTokenPolls({tokenError("authorization_pending"), tokenApproval("tok")});
  clock->closeGate();
  startDeviceSignIn(record.get());
  ASSERT_TRUE(clock->waitAsleep(1));

  // What the destroy action does: cancel, free the record; then the host
  // frees the parameters, so any later write is a refused handle.
  cancelDeviceFlow(record.get());
  record.reset();
  const size_t changesAtDestroy = hostParamChanges(hostInstance).size();
  bundle.destroy(hostInstance);
  hostInstance = nullptr;
  const unsigned badBefore = hostBadHandleCount(bundle.host());
  clock->openGate();
  ASSERT_TRUE(finished());

  EXPECT_GT(changesAtDestroy, 0u);
  EXPECT_EQ(polls(), 1u);
  EXPECT_EQ(hostBadHandleCount(bundle.host()), badBefore);
  EXPECT_EQ(keychainGetToken(kTestKeychain, TALVANE_TEST_SERVICE_URL), "");
}

// The approval comes back after the instance is gone: the token is the
// user's and is kept, but nothing touches the freed record or parameters.
TEST_F(SignInPoller, ApprovalAfterDestroyIsStoredWithoutTouchingTheInstance) {
  answerDeviceCode(deviceCodeJson("dev-1"));
  auto polled = std::make_shared<Latch>();
  auto destroyed = std::make_shared<Latch>();
  server.reply("POST", "/v1/device/token", [=](const ServedRequest&) {
    polled->open();
    destroyed->wait(10);
    return tokenApproval("tok-late");
  });
  startDeviceSignIn(record.get());
  ASSERT_TRUE(polled->wait(10));
  cancelDeviceFlow(record.get());
  record.reset();
  bundle.destroy(hostInstance);
  hostInstance = nullptr;
  const unsigned badBefore = hostBadHandleCount(bundle.host());
  destroyed->open();
  ASSERT_TRUE(finished());

  EXPECT_EQ(keychainGetToken(kTestKeychain, TALVANE_TEST_SERVICE_URL), "tok-late");
  // The account is learnt for every other instance, but this one is never touched.
  EXPECT_EQ(latestAccount().label, "ana@example.com — 3 tokens");
  EXPECT_EQ(hostBadHandleCount(bundle.host()), badBefore);
}

// ---- Failure to start the poller ----

// A default thread stack far larger than the address space makes every new
// thread fail to start, as it would in a host that has run out of threads.
class ThreadsUnavailable {
 public:
  ThreadsUnavailable() {
    ok_ = pthread_getattr_default_np(&saved_) == 0;
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, static_cast<size_t>(1) << 46);
    ok_ = ok_ && pthread_setattr_default_np(&huge) == 0;
    pthread_attr_destroy(&huge);
  }
  ~ThreadsUnavailable() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  bool ok() const { return ok_; }

 private:
  pthread_attr_t saved_;
  bool ok_ = false;
};

TEST_F(SignInPoller, PollerThatCannotStartLeavesTheUserSignedOutWithTheReason) {
  answerDeviceCode(deviceCodeJson("dev-1"));
  answerTokenPolls({tokenApproval("tok")});
  // The server starts its worker threads after start() returns; one answered
  // request shows they are all up before new threads become impossible.
  std::string latest, download;
  fetchLatestVersion(TALVANE_TEST_SERVICE_URL, latest, download);
  ASSERT_FALSE(server.requestsTo("/version.json").empty());
  {
    ThreadsUnavailable noThreads;
    ASSERT_TRUE(noThreads.ok());
    EXPECT_NO_THROW(startDeviceSignIn(record.get()));
  }
  EXPECT_EQ(runningWorkers(), 0);
  EXPECT_EQ(panelOf(hostInstance),
            expectedPanel(SignedOut, "Sign in failed: could not start the background poll"));
  ASSERT_NE(record->deviceFlow, nullptr);
  EXPECT_TRUE(record->deviceFlow->cancelled.load());
  EXPECT_EQ(polls(), 0u);
}

}  // namespace
