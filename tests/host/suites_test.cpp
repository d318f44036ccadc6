// Loading a bundle, handing out suites, and the message, multithread and
// parameter suites as the plug-in meets them.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "tests/plugin/bundle_fixture.h"

namespace {

// ---- Loading -----------------------------------------------------------------------

TEST(Loader, OpensABundleByItsFolderOrItsBinary) {
  std::string error;
  for (std::string path :
       {std::string(TALVANE_TEST_BUNDLE), std::string(TALVANE_TEST_BUNDLE) + "/",
        std::string(TALVANE_TEST_BUNDLE) + "/Contents/" TALVANE_OFX_ARCH "/Talvane.ofx"}) {
    Host* host = hostOpen(path, HostConfig(), &error);
    ASSERT_NE(host, nullptr) << path << ": " << error;
    EXPECT_NE(hostPlugin(host), nullptr);
    hostClose(host);
  }
}

TEST(Loader, AMissingBundleIsReportedNotLoaded) {
  std::string error;
  EXPECT_EQ(hostOpen("/nonexistent/Talvane.ofx.bundle", HostConfig(), &error), nullptr);
  EXPECT_NE(error.find("dlopen"), std::string::npos) << error;
}

TEST(Loader, OneBundleAtATimePerProcess) {
  std::string error;
  Host* first = hostOpen(TALVANE_TEST_BUNDLE, HostConfig(), &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(hostOpen(TALVANE_TEST_BUNDLE, HostConfig(), &error), nullptr);
  EXPECT_FALSE(error.empty());
  hostClose(first);
}

// ---- Suites on an open host ------------------------------------------------------------

class Suites : public ::testing::Test {
 protected:
  void open(const HostConfig& config) {
    std::string error;
    host_ = hostOpen(TALVANE_TEST_BUNDLE, config, &error);
    ASSERT_NE(host_, nullptr) << error;
  }
  void TearDown() override {
    if (host_) hostClose(host_);
  }
  const void* fetch(const char* name, int version = 1) {
    OfxHost* ofx = hostOfxHost(host_);
    return ofx->fetchSuite(ofx->host, name, version);
  }
  Host* host_ = nullptr;
};

TEST_F(Suites, FetchSuiteHandsOutVersionOneOfEachSuite) {
  open(HostConfig());
  EXPECT_EQ(fetch(kOfxPropertySuite), hostPropertySuite());
  EXPECT_EQ(fetch(kOfxImageEffectSuite), hostEffectSuite());
  EXPECT_EQ(fetch(kOfxParameterSuite), hostParameterSuite());
  EXPECT_EQ(fetch(kOfxMessageSuite), hostMessageSuite());
  EXPECT_EQ(fetch(kOfxMultiThreadSuite), hostMultiThreadSuite());
  EXPECT_EQ(fetch(kOfxMessageSuite, 2), nullptr);
  EXPECT_EQ(fetch("OfxInteractSuite"), nullptr);
}

TEST_F(Suites, AWithheldSuiteIsAnsweredWithNull) {
  HostConfig config;
  config.messageSuite = false;
  config.effectSuite = false;
  open(config);
  EXPECT_EQ(fetch(kOfxMessageSuite), nullptr);
  EXPECT_EQ(fetch(kOfxImageEffectSuite), nullptr);
  EXPECT_NE(fetch(kOfxPropertySuite), nullptr);
}

TEST_F(Suites, QuestionsGetTheScriptedReplyAndEveryMessageIsRecorded) {
  HostConfig config;
  config.questionReply = kOfxStatReplyYes;
  open(config);
  const OfxMessageSuiteV1* ms = hostMessageSuite();
  EXPECT_EQ(ms->message(nullptr, kOfxMessageQuestion, "q.id", "Version %s, on %s?", "2.0", "1.0"),
            kOfxStatReplyYes);
  EXPECT_EQ(ms->message(nullptr, kOfxMessageWarning, nullptr, "plain"), kOfxStatOK);
  std::vector<HostMessage> seen = hostMessages(host_);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, kOfxMessageQuestion);
  EXPECT_EQ(seen[0].id, "q.id");
  EXPECT_EQ(seen[0].text, "Version 2.0, on 1.0?");
  EXPECT_EQ(seen[0].reply, kOfxStatReplyYes);
  EXPECT_EQ(seen[1].id, "");
}

struct ThreadLog {
  std::mutex mutex;
  std::set<unsigned> indexes;
  std::set<std::thread::id> threads;
  unsigned max = 0;
  bool allSpawned = true;
  OfxStatus nested = kOfxStatOK;
};

void logThread(unsigned index, unsigned max, void* arg) {
  auto* log = static_cast<ThreadLog*>(arg);
  unsigned reported = 99;
  hostMultiThreadSuite()->multiThreadIndex(&reported);
  std::lock_guard<std::mutex> lock(log->mutex);
  log->indexes.insert(index);
  log->threads.insert(std::this_thread::get_id());
  log->max = max;
  log->allSpawned = log->allSpawned && hostMultiThreadSuite()->multiThreadIsSpawnedThread() == 1 &&
                    reported == index;
}

TEST_F(Suites, MultiThreadRunsRealThreadsUpToTheCpuCount) {
  HostConfig config;
  config.numCPUs = 3;
  open(config);
  const OfxMultiThreadSuiteV1* mt = hostMultiThreadSuite();
  unsigned cpus = 0;
  EXPECT_EQ(mt->multiThreadNumCPUs(&cpus), kOfxStatOK);
  EXPECT_EQ(cpus, 3u);
  ThreadLog log;
  EXPECT_EQ(mt->multiThread(logThread, 8, &log), kOfxStatOK);
  EXPECT_EQ(log.indexes, (std::set<unsigned>{0, 1, 2}));
  EXPECT_EQ(log.threads.size(), 3u);
  EXPECT_EQ(log.max, 3u);
  EXPECT_TRUE(log.allSpawned);
  EXPECT_FALSE(log.threads.count(std::this_thread::get_id())) << "the caller only waits";
  EXPECT_EQ(mt->multiThreadIsSpawnedThread(), 0);
  EXPECT_EQ(hostThreadStats(host_).lastThreads, 3u);
}

void countIndex(unsigned index, unsigned, void* arg) {
  static_cast<std::atomic<int>*>(arg)[index].fetch_add(1);
}

// The same threads serve call after call, and two host threads calling at once each get
// every index run once (one on the kept threads, the other on threads of its own).
TEST_F(Suites, MultiThreadKeepsItsThreadsAndServesTwoCallersAtOnce) {
  HostConfig config;
  config.numCPUs = 3;
  open(config);
  const OfxMultiThreadSuiteV1* mt = hostMultiThreadSuite();
  ThreadLog first, second;
  ASSERT_EQ(mt->multiThread(logThread, 3, &first), kOfxStatOK);
  ASSERT_EQ(mt->multiThread(logThread, 3, &second), kOfxStatOK);
  EXPECT_EQ(first.threads, second.threads);
  EXPECT_TRUE(second.allSpawned);
  constexpr int kCalls = 300;
  std::atomic<int> runs[2][3] = {};
  const auto caller = [&](int c) {
    for (int k = 0; k < kCalls; ++k) EXPECT_EQ(mt->multiThread(countIndex, 3, runs[c]), kOfxStatOK);
  };
  std::thread other(caller, 1);
  caller(0);
  other.join();
  for (auto& call : runs)
    for (auto& index : call) EXPECT_EQ(index.load(), kCalls);
}

TEST_F(Suites, MultiThreadCanBeMadeToRefuse) {
  HostConfig config;
  config.multiThreadFails = true;
  open(config);
  ThreadLog log;
  EXPECT_EQ(hostMultiThreadSuite()->multiThread(logThread, 4, &log), kOfxStatFailed);
  EXPECT_TRUE(log.indexes.empty());
  EXPECT_EQ(hostThreadStats(host_).calls, 1u);
  EXPECT_EQ(hostThreadStats(host_).refused, 1u);
}

void nestedCall(unsigned, unsigned, void* arg) {
  auto* log = static_cast<ThreadLog*>(arg);
  OfxStatus st = hostMultiThreadSuite()->multiThread(logThread, 2, arg);
  std::lock_guard<std::mutex> lock(log->mutex);
  log->nested = st;
}

TEST_F(Suites, MultiThreadCannotBeCalledFromItsOwnThreads) {
  open(HostConfig());
  ThreadLog log;
  EXPECT_EQ(hostMultiThreadSuite()->multiThread(nestedCall, 1, &log), kOfxStatOK);
  EXPECT_EQ(log.nested, kOfxStatErrExists);
}

TEST_F(Suites, MutexesLockAcrossThreads) {
  open(HostConfig());
  const OfxMultiThreadSuiteV1* mt = hostMultiThreadSuite();
  OfxMutexHandle mutex = nullptr;
  ASSERT_EQ(mt->mutexCreate(&mutex, 0), kOfxStatOK);
  ASSERT_EQ(mt->mutexLock(mutex), kOfxStatOK);
  OfxStatus fromOther = kOfxStatOK;
  std::thread([&] { fromOther = mt->mutexTryLock(mutex); }).join();
  EXPECT_EQ(fromOther, kOfxStatFailed);
  EXPECT_EQ(mt->mutexUnLock(mutex), kOfxStatOK);
  std::thread([&] {
    fromOther = mt->mutexTryLock(mutex);
    if (fromOther == kOfxStatOK) mt->mutexUnLock(mutex);
  }).join();
  EXPECT_EQ(fromOther, kOfxStatOK);
  EXPECT_EQ(mt->mutexDestroy(mutex), kOfxStatOK);
}

// ---- Parameters of a live instance --------------------------------------------------------

class Params : public BundleTest {
 protected:
  const OfxParameterSuiteV1* prs_ = hostParameterSuite();
};

TEST_F(Params, GetValueTakesAPointerOfTheParameterKind) {
  HostInstance* instance = create();
  double blend = 0;
  int choice = -1;
  const char* prompt = "unset";
  EXPECT_EQ(prs_->paramGetValue(hostParam(instance, "blend"), &blend), kOfxStatOK);
  EXPECT_EQ(prs_->paramGetValueAtTime(hostParam(instance, "maskSource"), 3.0, &choice), kOfxStatOK);
  EXPECT_EQ(prs_->paramGetValueAtTime(hostParam(instance, "prompt"), 3.0, &prompt), kOfxStatOK);
  EXPECT_EQ(blend, 1.0) << "starts at its default";
  EXPECT_EQ(choice, 0);
  EXPECT_STREQ(prompt, "");
  EXPECT_EQ(prs_->paramGetValue(hostParam(instance, "generate"), &blend), kOfxStatErrUnsupported);
}

TEST_F(Params, KeyframesInterpolateDoublesAndHoldOtherKinds) {
  HostInstance* instance = create();
  ASSERT_TRUE(hostSetValueAtTime(instance, "blend", 0.0, 0.0));
  ASSERT_TRUE(hostSetValueAtTime(instance, "blend", 10.0, 1.0));
  ASSERT_TRUE(hostSetValueAtTime(instance, "prompt", 0.0, std::string("sky")));
  ASSERT_TRUE(hostSetValueAtTime(instance, "prompt", 10.0, std::string("sea")));
  double v = -1;
  OfxParamHandle blend = hostParam(instance, "blend");
  prs_->paramGetValueAtTime(blend, 2.5, &v);
  EXPECT_DOUBLE_EQ(v, 0.25);
  prs_->paramGetValueAtTime(blend, -4.0, &v);
  EXPECT_EQ(v, 0.0);
  prs_->paramGetValueAtTime(blend, 40.0, &v);
  EXPECT_EQ(v, 1.0);
  EXPECT_EQ(hostGetString(instance, "prompt", 9.9), "sky");
  EXPECT_EQ(hostGetString(instance, "prompt", 10.0), "sea");
  unsigned keys = 0;
  EXPECT_EQ(prs_->paramGetNumKeys(blend, &keys), kOfxStatOK);
  EXPECT_EQ(keys, 2u);
  ASSERT_TRUE(hostSetValue(instance, "blend", 0.5));
  prs_->paramGetValueAtTime(blend, 2.5, &v);
  EXPECT_EQ(v, 0.5) << "a constant value replaces the animation";
}

TEST_F(Params, HostSideValuesMustMatchTheParameterKind) {
  HostInstance* instance = create();
  EXPECT_FALSE(hostSetValue(instance, "prompt", 3.0));
  EXPECT_FALSE(hostSetValue(instance, "blend", std::string("x")));
  EXPECT_FALSE(hostSetValue(instance, "generate", 1.0));
  EXPECT_FALSE(hostSetValue(instance, "noSuchParam", 1.0));
  EXPECT_TRUE(hostSetValue(instance, "invertMask", 1));
  EXPECT_EQ(hostGetInt(instance, "invertMask"), 1);
}

TEST_F(Params, EveryValueThePluginSetsIsRecordedAndAnnounced) {
  HostInstance* instance = create();
  std::vector<std::string> announced;
  std::mutex mutex;
  hostOnParamChange(host_, [&](HostInstance* who, const ParamChange& change) {
    std::lock_guard<std::mutex> lock(mutex);
    announced.push_back(change.param + "=" + change.text + (who == instance ? "" : "?"));
  });
  const size_t before = hostParamChanges(instance).size();
  EXPECT_EQ(prs_->paramSetValue(hostParam(instance, "accountInfo"), "ana — 5 tokens"), kOfxStatOK);
  EXPECT_EQ(prs_->paramSetValue(hostParam(instance, "blend"), 0.25), kOfxStatOK);
  EXPECT_EQ(prs_->paramSetValueAtTime(hostParam(instance, "maskSource"), 7.0, 1), kOfxStatOK);
  std::vector<ParamChange> changes = hostParamChanges(instance);
  ASSERT_EQ(changes.size(), before + 3);
  EXPECT_EQ(changes[before].text, "ana — 5 tokens");
  EXPECT_EQ(changes[before + 1].number, 0.25);
  EXPECT_TRUE(changes[before + 2].atTime);
  EXPECT_EQ(changes[before + 2].time, 7.0);
  EXPECT_EQ(announced,
            (std::vector<std::string>{"accountInfo=ana — 5 tokens", "blend=0.25", "maskSource=1"}));
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "ana — 5 tokens");
  EXPECT_EQ(hostGetInt(instance, "maskSource", 7.0), 1);
  hostOnParamChange(host_, nullptr);
}

// The plug-in's background threads write parameters while the host reads them.
TEST_F(Params, ConcurrentSettersAndReadersStayConsistent) {
  HostInstance* instance = create();
  OfxParamHandle info = hostParam(instance, "accountInfo");
  OfxPropertySetHandle props = hostParamProps(instance, "signOut");
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      std::string text = hostGetString(instance, "accountInfo");
      EXPECT_TRUE(text.empty() || text == "a" || text == "bb") << text;
      hostPropInt(props, kOfxParamPropSecret);
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&, t] {
      for (int k = 0; k < 300; ++k) {
        prs_->paramSetValue(info, t % 2 ? "a" : "bb");
        hostPropertySuite()->propSetInt(props, kOfxParamPropSecret, 0, k % 2);
      }
    });
  for (std::thread& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_GE(hostParamChanges(instance).size(), 900u);
}

TEST_F(Params, HandlesOfADestroyedInstanceAreRefused) {
  expectNoBadHandles_ = false;
  HostInstance* instance = create();
  OfxParamHandle blend = hostParam(instance, "blend");
  destroy(instance);
  double v = 0;
  EXPECT_EQ(prs_->paramGetValue(blend, &v), kOfxStatErrBadHandle);
  EXPECT_EQ(prs_->paramSetValue(blend, 0.5), kOfxStatErrBadHandle);
  EXPECT_EQ(hostBadHandleCount(host_), 2u);
}

}  // namespace
