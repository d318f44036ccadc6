// The instance record's life and the parameter-change handling: create,
// destroy, the generate request and the account and update buttons.
#include <chrono>
#include <thread>

#include "backend/backend.h"
#include "core/core.h"
#include "tests/plugin/bundle_fixture.h"

namespace {

const std::string kService = TALVANE_TEST_SERVICE_URL;

Instance* recordOf(HostInstance* instance) {
  return static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData));
}

int secretOf(HostInstance* instance, const char* param) {
  return hostPropInt(hostParamProps(instance, param), kOfxParamPropSecret);
}

// The request fields as the render will find them.
struct Request {
  bool requested;
  double time;
};
Request requestOf(Instance* record) {
  std::lock_guard<std::mutex> lock(record->mutex);
  return {record->generateRequested, record->generateTime};
}

class InstanceLife : public BundleTest {};

TEST_F(InstanceLife, CreateAttachesARecordHoldingEveryParameterHandle) {
  HostInstance* instance = create();
  Instance* record = recordOf(instance);
  ASSERT_NE(record, nullptr);
  EXPECT_GE(record->id, 1u);
  for (const ParamRow& row : kParams) {
    EXPECT_NE(record->handle(row.id), nullptr) << row.name;
    EXPECT_EQ(record->handle(row.id), hostParam(instance, row.name)) << row.name;
  }
  EXPECT_EQ(record->genState->load(), Idle);
  EXPECT_FALSE(record->deviceFlow);
  EXPECT_EQ(requestOf(record).requested, false);
  EXPECT_EQ(requestOf(record).time, -1e9);
}

TEST_F(InstanceLife, TwoInstancesGetTheirOwnRecordsAndIds) {
  Instance* a = recordOf(create());
  Instance* b = recordOf(create());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(b->id, a->id + 1);
}

TEST_F(InstanceLife, FreshInstanceShowsTheSignedOutPanelWithoutAskingTheService) {
  HostInstance* instance = create();
  EXPECT_EQ(secretOf(instance, "signIn"), 0);
  EXPECT_EQ(secretOf(instance, "signOut"), 1);
  EXPECT_EQ(secretOf(instance, "buyTokens"), 1);
  EXPECT_EQ(secretOf(instance, "updateAvailable"), 1) << "1.0.0 is no update";
  EXPECT_EQ(secretOf(instance, "generate"), 0);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "");
  EXPECT_EQ(hostGetString(instance, "versionInfo"), "1.0.0");
  EXPECT_TRUE(service_.requestsTo("/v1/me").empty()) << "no token, so no account query";
  EXPECT_TRUE(hostMessages(host_).empty());
}

TEST_F(InstanceLife, DestroyDetachesTheRecordAndASecondDestroyIsHarmless) {
  HostInstance* instance = create();
  ASSERT_NE(recordOf(instance), nullptr);
  EXPECT_EQ(
      hostAction(host_, kOfxActionDestroyInstance, hostEffectHandle(instance), nullptr, nullptr),
      kOfxStatOK);
  EXPECT_EQ(recordOf(instance), nullptr);
  // The host's own destroy now finds no record.
  destroy(instance);
}

TEST_F(InstanceLife, ActionsOnAnInstanceWithoutARecordDoNothing) {
  HostInstance* instance = create();
  hostAction(host_, kOfxActionDestroyInstance, hostEffectHandle(instance), nullptr, nullptr);
  const size_t changes = hostParamChanges(instance).size();
  EXPECT_EQ(hostInstanceChanged(instance, "generate", 1.0), kOfxStatOK);
  EXPECT_EQ(hostInstanceChanged(instance, "signOut", 1.0), kOfxStatOK);
  EXPECT_EQ(hostParamChanges(instance).size(), changes);
}

class GenerateButton : public BundleTest {};

TEST_F(GenerateButton, PressRecordsARequestAtTheHostTime) {
  HostInstance* instance = create();
  ASSERT_EQ(hostInstanceChanged(instance, "generate", 12.0), kOfxStatOK);
  Request r = requestOf(recordOf(instance));
  EXPECT_TRUE(r.requested);
  EXPECT_EQ(r.time, 12.0);
}

// The user hears of a prompt the request cannot carry when pressing the button.
TEST_F(GenerateButton, PromptTooLongToSendIsRefusedWithAMessage) {
  HostInstance* instance = create();
  hostSetValue(instance, "prompt", std::string(9000, 'a'));
  EXPECT_EQ(hostInstanceChanged(instance, "generate", 4.0), kOfxStatOK);
  EXPECT_FALSE(requestOf(recordOf(instance)).requested);
  const std::vector<HostMessage> messages = hostMessages(host_);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].type, kOfxMessageError);
  EXPECT_EQ(messages[0].text,
            "The background prompt is too long to send (9000 bytes). Shorten it and press "
            "Generate Background again.");
}

TEST_F(GenerateButton, SecondPressBeforeARenderReplacesTheTime) {
  HostInstance* instance = create();
  hostInstanceChanged(instance, "generate", 12.0);
  hostInstanceChanged(instance, "generate", 30.5, kOfxChangePluginEdited);
  Request r = requestOf(recordOf(instance));
  EXPECT_TRUE(r.requested);
  EXPECT_EQ(r.time, 30.5);
}

TEST_F(GenerateButton, PressWithoutATimeRecordsTimeZero) {
  HostInstance* instance = create();
  OfxPropertySetHandle args = hostNewPropertySet();
  hostPropertySuite()->propSetString(args, kOfxPropName, 0, "generate");
  EXPECT_EQ(hostAction(host_, kOfxActionInstanceChanged, hostEffectHandle(instance), args, nullptr),
            kOfxStatOK);
  hostFreePropertySet(args);
  Request r = requestOf(recordOf(instance));
  EXPECT_TRUE(r.requested);
  EXPECT_EQ(r.time, 0.0);
}

TEST_F(GenerateButton, OnlyTheExactNameCounts) {
  HostInstance* instance = create();
  for (const char* name : {"Generate", "generate ", "generateX", ""})
    EXPECT_EQ(hostInstanceChanged(instance, name, 5.0), kOfxStatOK);
  EXPECT_FALSE(requestOf(recordOf(instance)).requested);
}

class OtherParameters : public BundleTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OtherParameters, ChangeNothing) {
  HostInstance* instance = create();
  Instance* record = recordOf(instance);
  const size_t changes = hostParamChanges(instance).size();
  const size_t requests = service_.requests().size();
  EXPECT_EQ(hostInstanceChanged(instance, GetParam(), 4.0), kOfxStatOK);
  EXPECT_FALSE(requestOf(record).requested);
  EXPECT_EQ(requestOf(record).time, -1e9);
  EXPECT_EQ(record->genState->load(), Idle);
  EXPECT_FALSE(record->deviceFlow);
  EXPECT_EQ(hostParamChanges(instance).size(), changes);
  EXPECT_EQ(service_.requests().size(), requests);
}

INSTANTIATE_TEST_SUITE_P(Panel, OtherParameters,
                         ::testing::Values("prompt", "blend", "maskSource", "threshold",
                                           "invertMask", "maskGrow", "inFeather", "outFeather",
                                           "trackMotion", "bgScale", "bgOffX", "bgOffY",
                                           "accountInfo", "versionInfo", "accountGroup", "Source"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

class AccountButtons : public BundleTest {};

TEST_F(AccountButtons, SignOutForgetsTheTokenAndShowsTheSignedOutPanel) {
  HostInstance* instance = create();
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok-123"));
  hostPropertySuite()->propSetInt(hostParamProps(instance, "signOut"), kOfxParamPropSecret, 0, 0);
  hostPropertySuite()->propSetInt(hostParamProps(instance, "signIn"), kOfxParamPropSecret, 0, 1);
  hostSetValue(instance, "accountInfo", std::string("ana@example.com — 5 tokens"));

  EXPECT_EQ(hostInstanceChanged(instance, "signOut", 0.0), kOfxStatOK);
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "");
  EXPECT_EQ(secretOf(instance, "signIn"), 0);
  EXPECT_EQ(secretOf(instance, "signOut"), 1);
  EXPECT_EQ(secretOf(instance, "buyTokens"), 1);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "");
  EXPECT_TRUE(service_.requestsTo("/v1/me").empty());
}

TEST_F(AccountButtons, SignOutWithoutAStoredTokenStillShowsSignedOut) {
  HostInstance* instance = create();
  const size_t changes = hostParamChanges(instance).size();
  EXPECT_EQ(hostInstanceChanged(instance, "signOut", 0.0), kOfxStatOK);
  std::vector<ParamChange> after = hostParamChanges(instance);
  ASSERT_EQ(after.size(), changes + 1);
  EXPECT_EQ(after.back().param, "accountInfo");
  EXPECT_EQ(after.back().text, "");
}

// The button's action asks nothing itself: the poller asks for the code.
TEST_F(AccountButtons, SignInAsksTheServiceForADeviceCodeOnThePoller) {
  service_.reply("POST", "/v1/device/code", Reply{500, R"({"error":"server_error"})"});
  HostInstance* instance = create();
  EXPECT_EQ(hostInstanceChanged(instance, "signIn", 0.0), kOfxStatOK);
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "Requesting a sign-in code...");
  ASSERT_TRUE(recordOf(instance)->deviceFlow);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!recordOf(instance)->deviceFlow->finished && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(service_.requestsTo("/v1/device/code").size(), 1u);
  const std::string label = hostGetString(instance, "accountInfo");
  EXPECT_EQ(label, "Sign in failed: HTTP 500") << label;
}

TEST_F(AccountButtons, BuyTokensOpensTheServiceBuyPage) {
  OpenerStub opener;
  HostInstance* instance = create();
  EXPECT_EQ(hostInstanceChanged(instance, "buyTokens", 0.0), kOfxStatOK);
  EXPECT_EQ(opener.waitForUrls(1), std::vector<std::string>{kService + "/buy"});
}

TEST_F(AccountButtons, DownloadBeforeAnyUpdateIsKnownOpensTheServiceDownloadPage) {
  OpenerStub opener;
  HostInstance* instance = create();
  EXPECT_EQ(hostInstanceChanged(instance, "updateAvailable", 0.0), kOfxStatOK);
  EXPECT_EQ(opener.waitForUrls(1), std::vector<std::string>{kService + "/download"});
}

// Renders of different instances may run at once on the host's threads.
TEST_F(InstanceLife, ConcurrentRendersOfSeparateInstancesEachPassTheirFrameThrough) {
  constexpr int kThreads = 4;
  std::vector<HostInstance*> instances;
  std::vector<std::shared_ptr<HostImage>> sources, outputs;
  for (int t = 0; t < kThreads; ++t) {
    instances.push_back(create());
    OfxRectI bounds{0, 0, 40 + t, 30};
    sources.push_back(hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds));
    outputs.push_back(hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds));
    std::vector<uint8_t> rgba(size_t(40 + t) * 30 * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 7 + t * 31);
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    hostFillFromRGBA8(*sources[t], rgba);
    hostSetClipImage(instances[t], "Source", sources[t]);
    hostSetClipImage(instances[t], "Output", outputs[t]);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int frame = 0; frame < 10; ++frame)
        EXPECT_EQ(hostRender(instances[t], frame), kOfxStatOK);
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(hostToRGBA8(*outputs[t]), hostToRGBA8(*sources[t])) << "instance " << t;
    EXPECT_TRUE(hostImageIntact(*outputs[t]));
    EXPECT_EQ(hostImagesHeld(instances[t]), 0);
  }
}

}  // namespace
