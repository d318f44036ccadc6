// The bundle's two entry points, its plug-in record, and the dispatcher's
// answers, seen from our host.
#include <chrono>
#include <cstring>
#include <thread>

#include "core/core.h"
#include "tests/plugin/bundle_fixture.h"

namespace {

class Entry : public ::testing::Test {
 protected:
  void TearDown() override {
    if (host_) hostClose(host_);
  }
  TempHome home_;
  Host* host_ = nullptr;
};

TEST_F(Entry, ExposesExactlyOnePluginAtIndexZero) {
  host_ = openTestBundle(HostConfig());
  ASSERT_NE(host_, nullptr);
  EXPECT_EQ(hostNumberOfPlugins(host_), 1);
  EXPECT_NE(hostGetPlugin(host_, 0), nullptr);
  EXPECT_EQ(hostGetPlugin(host_, 1), nullptr);
  EXPECT_EQ(hostGetPlugin(host_, -1), nullptr);
  EXPECT_EQ(hostGetPlugin(host_, 0), hostGetPlugin(host_, 0)) << "one static record";
}

TEST_F(Entry, PluginRecordNamesTheImageEffectApiAndVersionOneZero) {
  host_ = openTestBundle(HostConfig());
  ASSERT_NE(host_, nullptr);
  const OfxPlugin* plugin = hostGetPlugin(host_, 0);
  ASSERT_NE(plugin, nullptr);
  EXPECT_STREQ(plugin->pluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(plugin->apiVersion, 1);
  EXPECT_STREQ(plugin->pluginIdentifier, "app.talvane.background.plugin");
  EXPECT_EQ(plugin->pluginVersionMajor, 1u);
  EXPECT_EQ(plugin->pluginVersionMinor, 0u);
  EXPECT_NE(plugin->setHost, nullptr);
  EXPECT_NE(plugin->mainEntry, nullptr);
}

// Load fetches the suites; the three the effect cannot work without refuse
// the load, the two optional ones do not.
struct SuiteCase {
  const char* withheld;
  bool HostConfig::*flag;
  OfxStatus load;
};

class LoadWithout : public Entry, public ::testing::WithParamInterface<SuiteCase> {};

TEST_P(LoadWithout, AnswersAsTheSuiteRequires) {
  HostConfig config;
  config.*GetParam().flag = false;
  OfxStatus load = -1;
  host_ = openTestBundle(config, &load);
  ASSERT_NE(host_, nullptr);
  EXPECT_EQ(load, GetParam().load) << "without " << GetParam().withheld;
}

INSTANTIATE_TEST_SUITE_P(
    Suites, LoadWithout,
    ::testing::Values(
        SuiteCase{"effect", &HostConfig::effectSuite, kOfxStatErrMissingHostFeature},
        SuiteCase{"property", &HostConfig::propertySuite, kOfxStatErrMissingHostFeature},
        SuiteCase{"parameter", &HostConfig::parameterSuite, kOfxStatErrMissingHostFeature},
        SuiteCase{"message", &HostConfig::messageSuite, kOfxStatOK},
        SuiteCase{"multithread", &HostConfig::multiThreadSuite, kOfxStatOK}),
    [](const ::testing::TestParamInfo<SuiteCase>& info) {
      return std::string(info.param.withheld);
    });

TEST_F(Entry, LoadWithAllSuitesAnswersOk) {
  OfxStatus load = -1;
  host_ = openTestBundle(HostConfig(), &load);
  EXPECT_EQ(load, kOfxStatOK);
}

// A host that goes on after a refused load must not bring the plug-in down.
TEST_F(Entry, ActionsAfterARefusedLoadDoNothingAndAnswerOk) {
  HostConfig config;
  config.parameterSuite = false;
  OfxStatus load = -1;
  host_ = openTestBundle(config, &load);
  ASSERT_EQ(load, kOfxStatErrMissingHostFeature);
  EXPECT_EQ(hostDescribe(host_), kOfxStatOK);
  EXPECT_EQ(hostDescribeInContext(host_, kOfxImageEffectContextFilter), kOfxStatOK);
  EXPECT_TRUE(hostParamNames(host_, kOfxImageEffectContextFilter).empty());
  OfxStatus created = -1;
  HostInstance* instance = hostCreateInstance(host_, kOfxImageEffectContextFilter, &created);
  EXPECT_EQ(created, kOfxStatOK);
  EXPECT_EQ(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData), nullptr);
  EXPECT_EQ(hostInstanceChanged(instance, "generate", 1.0), kOfxStatOK);
  EXPECT_EQ(hostRender(instance, 1.0), kOfxStatOK);
  EXPECT_EQ(hostDestroyInstance(instance), kOfxStatOK);
}

class Dispatch : public BundleTest {};

// Actions the effect leaves to the host: the host's default, and no effect.
TEST_F(Dispatch, UnhandledActionsAnswerReplyDefaultAndChangeNothing) {
  HostInstance* instance = create();
  auto* record =
      static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData));
  ASSERT_NE(record, nullptr);
  const size_t changesBefore = hostParamChanges(instance).size();
  OfxImageEffectHandle effect = hostEffectHandle(instance);
  OfxPropertySetHandle args = hostNewPropertySet();
  hostPropertySuite()->propSetString(args, kOfxPropName, 0, "generate");
  hostPropertySuite()->propSetDouble(args, kOfxPropTime, 0, 3.0);
  for (const char* action :
       {kOfxActionBeginInstanceChanged, kOfxActionEndInstanceChanged,
        kOfxImageEffectActionGetClipPreferences, kOfxImageEffectActionGetRegionOfDefinition,
        kOfxImageEffectActionBeginSequenceRender, kOfxImageEffectActionEndSequenceRender,
        "OfxActionPurgeCaches", "NotAnAction", "", "OfxActionInstanceChangedX",
        "ofxactioninstancechanged"}) {
    EXPECT_EQ(hostAction(host_, action, effect, args, nullptr), kOfxStatReplyDefault) << action;
    EXPECT_EQ(hostAction(host_, action, nullptr, nullptr, nullptr), kOfxStatReplyDefault) << action;
  }
  EXPECT_EQ(hostAction(host_, nullptr, effect, args, nullptr), kOfxStatReplyDefault);
  hostFreePropertySet(args);

  std::lock_guard<std::mutex> lock(record->mutex);
  EXPECT_FALSE(record->generateRequested);
  EXPECT_EQ(record->generateTime, -1e9);
  EXPECT_EQ(hostParamChanges(instance).size(), changesBefore);
}

TEST_F(Dispatch, UnloadAnswersReplyDefaultAndLeavesInstancesWorking) {
  HostInstance* instance = create();
  auto* record =
      static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(hostUnload(host_), kOfxStatReplyDefault);
  // Nothing was torn down: the record and the suites still serve.
  EXPECT_EQ(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData), record);
  EXPECT_EQ(hostInstanceChanged(instance, "generate", 2.0), kOfxStatOK);
  std::lock_guard<std::mutex> lock(record->mutex);
  EXPECT_TRUE(record->generateRequested);
}

// The host unloads the binary after unload, so nothing of the bundle may go
// on running: a sign-in poller that would poll again each second stops, and
// a later load lets requests run again.
TEST_F(Dispatch, UnloadStopsBackgroundWorkAndTheNextLoadResumesIt) {
  OpenerStub opener;
  service_.reply("POST", "/v1/device/code",
                 Reply{200, R"({"device_code":"dc-1","user_code":"ABCD","verification_uri":")" +
                                std::string(TALVANE_TEST_SERVICE_URL) +
                                R"(/device","interval":1,"expires_in":600})"});
  service_.reply("POST", "/v1/device/token", Reply{400, R"({"error":"authorization_pending"})"});
  auto waitFor = [&](const char* path, size_t count) {
    for (int tries = 0; tries < 500 && service_.requestsTo(path).size() < count; ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return service_.requestsTo(path).size() >= count;
  };
  HostInstance* instance = create();
  ASSERT_EQ(hostInstanceChanged(instance, "signIn", 0.0), kOfxStatOK);
  ASSERT_TRUE(waitFor("/v1/device/token", 1)) << "the poller never polled";

  EXPECT_EQ(hostUnload(host_), kOfxStatReplyDefault);
  const size_t polls = service_.requestsTo("/v1/device/token").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(service_.requestsTo("/v1/device/token").size(), polls) << "polled after unload";

  ASSERT_EQ(hostLoad(host_), kOfxStatOK);
  ASSERT_EQ(hostInstanceChanged(instance, "signIn", 0.0), kOfxStatOK);
  EXPECT_TRUE(waitFor("/v1/device/code", 2)) << "requests stayed stopped after a new load";
  // The new poller ends before the opener stand-in restores the environment: changing
  // the environment while it starts curl would be a race.
  EXPECT_EQ(hostUnload(host_), kOfxStatReplyDefault);
}

TEST_F(Dispatch, RecognisedActionsAnswerOkEvenWithoutTheirArguments) {
  HostInstance* instance = create();
  OfxImageEffectHandle effect = hostEffectHandle(instance);
  EXPECT_EQ(hostAction(host_, kOfxActionInstanceChanged, effect, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(hostAction(host_, kOfxImageEffectActionRender, effect, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(instance), 0);
  // A handle with no record behind it: nothing to find, nothing to do.
  EXPECT_EQ(hostAction(host_, kOfxActionInstanceChanged, nullptr, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(hostAction(host_, kOfxActionDestroyInstance, nullptr, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(hostAction(host_, kOfxImageEffectActionRender, nullptr, nullptr, nullptr), kOfxStatOK);
}

TEST_F(Dispatch, RenderWithoutImagesAnswersOkAndHoldsNothing) {
  HostInstance* instance = create();
  EXPECT_EQ(hostRender(instance, 0.0), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(instance), 0);
}

}  // namespace
