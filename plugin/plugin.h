// The plug-in's shared record and globals.
//
// What lives here, and who may use it:
//   - `Instance`: one per effect instance, created and destroyed by the
//     create/destroy actions in plugin/Talvane.cpp and found again through the
//     instance's "OfxPropInstanceData". The render action owns its caches; the
//     account panel writes its parameters.
//   - `DeviceFlowSlot`: shared between an instance and its sign-in poller, so
//     the poller can outlive the instance safely.
//   - The host suites, fetched once at load and only read afterwards.
//   - The build's constants: the service base URL and the generation request's
//     time limits are compiled into one translation unit per bundle, so a test
//     or demo bundle bound to a loopback service is one more target, not an edit.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "ofx/ofx.h"

// ---- Shared enumerations ----------------------------------------------------
enum AccountState { SignedOut = 0, Pending = 1, SignedIn = 2, OutOfTokens = 3 };

enum GenerationState {
  Idle = 0,
  Running = 1,
  Done = 2,
  Failed = 3,
  OutOfCredits = 4,
  AuthRejected = 5
};

// ---- Build constants ----------------------------------------------------------
// Defined in the generated per-bundle translation unit (plugin/service_url.cpp.in).
extern const char kServiceBaseUrl[];
extern const int kGenerateConnectSeconds;
extern const int kGenerateTotalSeconds;

constexpr const char* kPluginVersion = "1.0.0";

// ---- Host suites ----------------------------------------------------------------
extern OfxHost* gHost;
extern const OfxImageEffectSuiteV1* gEffectSuite;
extern const OfxPropertySuiteV1* gPropSuite;
extern const OfxParameterSuiteV1* gParamSuite;
extern const OfxMessageSuiteV1* gMessageSuite;  // may be null
extern const OfxMultiThreadSuiteV1* gMTSuite;   // may be null

extern std::atomic<uint64_t> gNextId;

// ---- Instance record ------------------------------------------------------------
struct Instance;

struct DeviceFlowSlot {
  std::atomic<bool> cancelled{false};  // written only while `mutex` is held
  std::mutex mutex;              // held by the canceller and by the poller while it uses `instance`
  Instance* instance = nullptr;  // not owning
};

// A decoded working file together with the exact file it came from.
struct ImageSlot {
  std::string path;
  long mtime = 0;
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
};

// Inputs the fitted background was computed from. The initial values lie
// outside every parameter's range, so the first render never hits the cache.
struct FitKey {
  int frameWidth = 0;
  int frameHeight = 0;
  int bgWidth = 0;
  int bgHeight = 0;
  long bgMtime = 0;
  double scale = -1.0;
  double panX = -9999.0;
  double panY = -9999.0;
};

// Inputs the difference-based mask was built from.
struct MaskKey {
  int width = 0;
  int height = 0;
  long diffMtime = 0;
  float threshold = -1.0f;
  int grow = -9999;
  int innerFeather = -9999;
  int outerFeather = -9999;
  int maskSource = -1;
  bool invert = false;
};

struct Instance {
  uint64_t id = 0;

  OfxParamHandle prompt = nullptr;
  OfxParamHandle generate = nullptr;
  OfxParamHandle blend = nullptr;
  OfxParamHandle threshold = nullptr;
  OfxParamHandle maskGrow = nullptr;
  OfxParamHandle inFeather = nullptr;
  OfxParamHandle outFeather = nullptr;
  OfxParamHandle bgScale = nullptr;
  OfxParamHandle bgOffX = nullptr;
  OfxParamHandle bgOffY = nullptr;
  OfxParamHandle maskSource = nullptr;
  OfxParamHandle invertMask = nullptr;
  OfxParamHandle trackMotion = nullptr;
  OfxParamHandle signIn = nullptr;
  OfxParamHandle signOut = nullptr;
  OfxParamHandle buyTokens = nullptr;
  OfxParamHandle accountInfo = nullptr;
  OfxParamHandle versionInfo = nullptr;
  OfxParamHandle updateAvailable = nullptr;

  std::shared_ptr<DeviceFlowSlot> deviceFlow;

  std::mutex mutex;  // guards generateRequested and generateTime, nothing else
  bool generateRequested = false;
  double generateTime = -1e9;

  std::shared_ptr<std::atomic<int>> genState = std::make_shared<std::atomic<int>>(Idle);

  ImageSlot bgCache;
  ImageSlot diffCache;
  ImageSlot anchorCache;
  BgTransform fitted;
  FitKey fitKey;
  std::vector<uint8_t> maskCache;
  MaskKey maskKey;
};

// ---- Action handlers of this folder --------------------------------------------------

// "OfxActionDescribe": the effect's label, group, contexts, depths and flags.
void describeAction(OfxImageEffectHandle effect);
// "OfxImageEffectActionDescribeInContext": the clips of the context given in
// inArgs (General or, for anything else, Filter) and the twenty parameters.
void describeInContextAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

// The record attached to an effect instance, or null.
Instance* lookupInstance(OfxImageEffectHandle effect);

// Marks the instance's current sign-in slot cancelled. Taking the slot's mutex
// waits for a panel update in progress and guarantees none starts afterwards.
inline void cancelDeviceFlow(Instance* instance) {
  if (!instance || !instance->deviceFlow) return;
  std::lock_guard<std::mutex> lock(instance->deviceFlow->mutex);
  instance->deviceFlow->cancelled.store(true);
}
