// The bundle's two entry points, its plug-in record, and the dispatcher's
// answers, seen from our host.
#include <cstring>

#include "plugin/plugin.h"
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
    ::testing::Values(SuiteCase{"effect", &HostConfig::effectSuite, kOfxStatErrMissingHostFeature},
                      SuiteCase{"property", &HostConfig::propertySuite,
                                kOfxStatErrMissingHostFeature},
                      SuiteCase{"parameter", &HostConfig::parameterSuite,
                                kOfxStatErrMissingHostFeature},
                      SuiteCase{"message", &HostConfig::messageSuite, kOfxStatOK},
                      SuiteCase{"multithread", &HostConfig::multiThreadSuite, kOfxStatOK}),
    [](const ::testing::TestParamInfo<SuiteCase>& info) { return std::string(info.param.withheld); });

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
  auto* record = static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance),
                                                        kOfxPropInstanceData));
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
    EXPECT_EQ(hostAction(host_, action, nullptr, nullptr, nullptr), kOfxStatReplyDefault)
        << action;
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
  auto* record = static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance),
                                                        kOfxPropInstanceData));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(hostUnload(host_), kOfxStatReplyDefault);
  // Nothing was torn down: the record and the suites still serve.
  EXPECT_EQ(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData), record);
  EXPECT_EQ(hostInstanceChanged(instance, "generate", 2.0), kOfxStatOK);
  std::lock_guard<std::mutex> lock(record->mutex);
  EXPECT_TRUE(record->generateRequested);
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
