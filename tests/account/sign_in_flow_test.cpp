// Sign In end to end through the real bundle in our host, at the real pace
// (the loopback service asks for one-second polls), with the real opener
// hand-off recorded by the test bundle's stand-in opener, and a brand-new HOME.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>

#include <ostream>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/account/account_test_env.h"
#include "tests/support/temp_home.h"

namespace {

const char* const kService = TALVANE_TEST_SERVICE_URL;
const std::string kPendingLabel = "Approve in your browser to finish sign-in...";
// What the panel says when there is no page to hand to the browser.
const std::string kCodeOnlyLabel =
    "Enter the code WDJB-MJHT on the service's sign-in page to finish sign-in";

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class SignInFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(28517)) << "port 28517 busy";
    ASSERT_TRUE(bundle.ok()) << bundle.error();
    server.reply("GET", "/v1/me", Reply{200, R"({"email":"ana@example.com","balance":7})"});
    instance = bundle.create();
    ASSERT_NE(instance, nullptr);
  }
  void TearDown() override {
    // Unload waits for running pollers, before HOME and the service go away.
    bundle.close();
  }

  void answerTokenPolls(std::vector<Reply> replies) {
    auto sequence = std::make_shared<ReplySequence>(std::move(replies));
    server.reply("POST", "/v1/device/token",
                 [sequence](const ServedRequest&) { return sequence->next(); });
  }
  OfxStatus press(const std::string& button) { return hostInstanceChanged(instance, button, 0.0); }
  bool labelBecomes(const std::string& label, double seconds = 10) {
    return waitUntil([&] { return hostGetString(instance, "accountInfo") == label; }, seconds);
  }

  TempHome home;
  OpenerStub opener;
  LoopbackServer server;
  BundleHost bundle;
  HostInstance* instance = nullptr;
};

TEST_F(SignInFlow, ApprovalAfterAFewPollsSignsInOnAFreshMachine) {
  // Create-instance may have made the working directory; a fresh machine has none.
  ASSERT_TRUE(removeTree(home.path() + "/Documents"));
  ASSERT_FALSE(exists(home.workDir()));
  server.reply(
      "POST", "/v1/device/code",
      Reply{200, deviceCodeJson("dev-1", 1, 600, std::string(kService) + "/device?code=WDJB")});
  answerTokenPolls({tokenError("authorization_pending"), tokenError("authorization_pending"),
                    tokenApproval("tok-e2e")});

  EXPECT_EQ(press("signIn"), kOfxStatOK);
  ASSERT_TRUE(labelBecomes("ana@example.com — 7 tokens"));
  const std::vector<std::string> labels = labelHistory(instance);
  EXPECT_NE(std::find(labels.begin(), labels.end(), kPendingLabel), labels.end());

  EXPECT_EQ(panelOf(instance), expectedPanel(2, "ana@example.com — 7 tokens"));
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "tok-e2e");
  EXPECT_EQ(server.requestsTo("/v1/device/token").size(), 3u);
  ASSERT_TRUE(opener.waitForCalls(1, 5));
  EXPECT_EQ(opener.urls(), std::vector<std::string>{std::string(kService) + "/device?code=WDJB"});
}

TEST_F(SignInFlow, RefusalShowsTheServiceCode) {
  server.reply("POST", "/v1/device/code", Reply{200, deviceCodeJson("dev-1", 1)});
  answerTokenPolls({tokenError("authorization_pending"), tokenError("access_denied")});
  press("signIn");
  ASSERT_TRUE(labelBecomes("Sign-in access_denied — click Sign In to retry"));
  EXPECT_EQ(panelOf(instance), expectedPanel(0, "Sign-in access_denied — click Sign In to retry"));
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "");
}

TEST_F(SignInFlow, CodeThatExpiresWhileWaitingShowsTheExpiryText) {
  server.reply("POST", "/v1/device/code", Reply{200, deviceCodeJson("dev-1", 1, 1)});
  answerTokenPolls({tokenError("authorization_pending")});
  press("signIn");
  ASSERT_TRUE(labelBecomes("Sign-in code expired — click Sign In to retry"));
  EXPECT_EQ(panelOf(instance), expectedPanel(0, "Sign-in code expired — click Sign In to retry"));
  EXPECT_LE(server.requestsTo("/v1/device/token").size(), 2u);
}

// ---- What the device-code answer shows and opens ----

struct DeviceCodeCase {
  const char* name;
  Reply answer;
  std::string firstLabel;           // right after the press
  std::vector<std::string> opened;  // what reached the opener
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const DeviceCodeCase& c, std::ostream* out) { *out << c.name; }

class DeviceCodeAnswer : public SignInFlow, public ::testing::WithParamInterface<DeviceCodeCase> {};

TEST_P(DeviceCodeAnswer, ShowsTheLabelAndOpensThePage) {
  const DeviceCodeCase& c = GetParam();
  server.reply("POST", "/v1/device/code", c.answer);
  // A started poller is refused at once, so every case ends quickly.
  answerTokenPolls({tokenError("access_denied")});
  EXPECT_EQ(press("signIn"), kOfxStatOK);

  // Create-instance's labels, the press's own, then the poller's first word.
  const size_t before = labelHistory(instance).size();
  ASSERT_TRUE(waitUntil([&] { return labelHistory(instance).size() > before; }, 10));
  const std::vector<std::string> labels = labelHistory(instance);
  EXPECT_EQ(labels[before - 1], "Requesting a sign-in code...");
  EXPECT_EQ(labels[before], c.firstLabel);
  if (c.firstLabel == kPendingLabel || c.firstLabel == kCodeOnlyLabel) {
    ASSERT_TRUE(labelBecomes("Sign-in access_denied — click Sign In to retry"));
  } else {
    EXPECT_EQ(panelOf(instance), expectedPanel(0, c.firstLabel));
    EXPECT_TRUE(server.requestsTo("/v1/device/token").empty());
  }
  // A sentinel opened afterwards shows that nothing else was opened before it.
  press("buyTokens");
  std::vector<std::string> expected = c.opened;
  expected.push_back(std::string(kService) + "/buy");
  ASSERT_TRUE(opener.waitForCalls(expected.size(), 5));
  EXPECT_EQ(opener.urls(), expected);
}

const std::string kUri = std::string(TALVANE_TEST_SERVICE_URL) + "/device";
const std::string kUriComplete = kUri + "?user_code=WDJB-MJHT";

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceCodeAnswer,
    ::testing::Values(
        DeviceCodeCase{"OnlyVerificationUri",
                       {200, deviceCodeJson("dev-1", 1, 600, kUri)},
                       kPendingLabel,
                       {kUri}},
        DeviceCodeCase{
            "CompleteUriWins",
            {200, R"({"device_code":"dev-1","user_code":"WDJB-MJHT","verification_uri":")" + kUri +
                      R"(","verification_uri_complete":")" + kUriComplete + R"(","interval":1})"},
            kPendingLabel,
            {kUriComplete}},
        DeviceCodeCase{"UnsafeUriIsNotOpenedNorShown",
                       {200, deviceCodeJson("dev-1", 1, 600, kUri + "?a=$(touch x)")},
                       kCodeOnlyLabel,
                       {}},
        DeviceCodeCase{"NoUriStillPollsAndShowsTheCode",
                       {200, R"({"device_code":"dev-1","user_code":"WDJB-MJHT","interval":1})"},
                       kCodeOnlyLabel,
                       {}},
        DeviceCodeCase{"MissingUserCode",
                       {200, R"({"device_code":"dev-1","verification_uri":")" + kUri + R"("})"},
                       "Sign in failed: Malformed device-code response",
                       {}},
        DeviceCodeCase{"ServerErrorWithDetail",
                       {500, R"({"detail":"maintenance until 10:00"})"},
                       "Sign in failed: maintenance until 10:00",
                       {}},
        DeviceCodeCase{"ServerErrorWithoutDetail",
                       {500, "<html>oops</html>", "text/html"},
                       "Sign in failed: HTTP 500",
                       {}},
        DeviceCodeCase{"ConnectionDroppedSaysSo",
                       {503, "", "application/json", 0, false, true},
                       "Sign in failed: the connection to the service failed",
                       {}}),
    [](const ::testing::TestParamInfo<DeviceCodeCase>& info) {
      return std::string(info.param.name);
    });

// ---- Sign Out and destroy while a poll runs ----

// Sign Out lands while a poll is in flight; the approval that poll brings
// back is still stored, but the panel stays signed out until the next refresh.
TEST_F(SignInFlow, SignOutWhilePollingKeepsThePanelSignedOutButStoresALaterApproval) {
  server.reply("POST", "/v1/device/code", Reply{200, deviceCodeJson("dev-1", 1)});
  auto polled = std::make_shared<Latch>();
  auto signedOut = std::make_shared<Latch>();
  server.reply("POST", "/v1/device/token", [=](const ServedRequest&) {
    polled->open();
    signedOut->wait(10);
    return tokenApproval("tok-late");
  });
  press("signIn");
  ASSERT_TRUE(polled->wait(10));
  press("signOut");
  EXPECT_EQ(panelOf(instance), expectedPanel(0, ""));
  signedOut->open();

  ASSERT_TRUE(
      waitUntil([&] { return keychainGetToken(kTestKeychain, kService) == "tok-late"; }, 10));
  const size_t changes = hostParamChanges(instance).size();
  hostUnload(bundle.host());  // returns once the poller has ended
  EXPECT_EQ(hostParamChanges(instance).size(), changes);
  EXPECT_EQ(panelOf(instance), expectedPanel(0, ""));
  EXPECT_TRUE(server.requestsTo("/v1/me").empty());

  // The next refresh finds the stored account.
  hostLoad(bundle.host());
  HostInstance* next = bundle.create();
  EXPECT_EQ(panelOf(next), expectedPanel(2, "ana@example.com — 7 tokens"));
}

TEST_F(SignInFlow, DestroyWhileThePollerSleepsEndsItWithoutAnotherPoll) {
  server.reply("POST", "/v1/device/code", Reply{200, deviceCodeJson("dev-1", 2)});
  answerTokenPolls({tokenError("authorization_pending"), tokenApproval("tok-never")});
  press("signIn");
  ASSERT_TRUE(waitUntil([&] { return server.requestsTo("/v1/device/token").size() == 1; }, 10));
  const unsigned badBefore = hostBadHandleCount(bundle.host());
  bundle.destroy(instance);
  instance = nullptr;
  hostUnload(bundle.host());  // wakes the poller and returns once it has ended

  EXPECT_EQ(server.requestsTo("/v1/device/token").size(), 1u);
  EXPECT_EQ(hostBadHandleCount(bundle.host()), badBefore);
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "");
}

TEST_F(SignInFlow, SignInAgainAfterARefusalStartsAFreshPoll) {
  auto codes = std::make_shared<ReplySequence>(std::vector<Reply>{
      Reply{200, deviceCodeJson("dev-1", 1)}, Reply{200, deviceCodeJson("dev-2", 1)}});
  server.reply("POST", "/v1/device/code", [codes](const ServedRequest&) { return codes->next(); });
  answerTokenPolls({tokenError("expired_token"), tokenApproval("tok-2")});
  press("signIn");
  ASSERT_TRUE(labelBecomes("Sign-in expired_token — click Sign In to retry"));
  press("signIn");
  ASSERT_TRUE(labelBecomes("ana@example.com — 7 tokens"));
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "tok-2");
}

}  // namespace
