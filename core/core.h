// core: what every part of the plug-in above the pure layers shares.
//
//   - `Instance`: one per effect instance, created and destroyed by the
//     create/destroy actions (plugin/) and found again through the instance's
//     "OfxPropInstanceData" (lookupInstance). The render owns its caches; the
//     account panel writes its parameters.
//   - `DeviceFlowSlot`: shared between an instance and its sign-in poller, so
//     the poller can outlive the instance safely.
//   - The parameter table (params.cpp): one row per parameter, in panel order.
//     It drives the description, the handle fetch at create-instance and the
//     record's handles (`Instance::handle`).
//   - The host suites (host_suites.cpp), fetched once at load and only read
//     afterwards.
//   - The build's constants: the service base URL and the generation request's
//     time limits are compiled into one generated unit per bundle
//     (build_constants.cpp.in, through talvane_add_build_constants in this
//     folder's CMakeLists.txt), so a test or demo bundle bound to a loopback
//     service is one more target, not an edit.
//   - Effect keys (effect_key.cpp): each effect's random key, kept in its
//     hidden "effectKey" parameter, names its working files; the register of
//     the keys live instances hold gives a duplicated effect a key of its own.
//   - The registry of detached workers (background_workers.cpp): generation
//     workers and sign-in pollers count themselves in and out, so unload can
//     wait for them; the stop switch they obey is backend's.
//
// Below core sit imaging (pixels) and backend (the service client); above it,
// render and account, and on top plugin. Nothing here throws.
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
// The numbers are the ones the panel tests and the debug log show.
enum AccountState { SignedOut = 0, Pending = 1, SignedIn = 2, OutOfTokens = 3 };

enum GenerationState {
  Idle = 0,
  Running = 1,
  Done = 2,
  Failed = 3,
  OutOfCredits = 4,
  AuthRejected = 5
};

// Mask Source's options, in menu order.
enum class MaskSource { Auto = 0, None = 1 };

// ---- Build constants ----------------------------------------------------------
// Defined in the generated per-bundle unit (build_constants.cpp.in).
extern const char kServiceBaseUrl[];
extern const int kGenerateConnectSeconds;
extern const int kGenerateTotalSeconds;
// The command given a URL to show in the browser (a path, or a name looked up
// in PATH): xdg-open or /usr/bin/open in the shipped bundle, a recording
// stand-in in the test and demo bundles.
extern const char kBrowserOpener[];
// The keychain service (the token file's name on Linux) the access token is
// kept under: kPluginIdentifier in the shipped bundle, a name of the build's
// own in the test and demo bundles.
extern const char kKeychainService[];

constexpr const char* kPluginVersion = "1.0.0";

// ---- Host suites (host_suites.cpp) ----------------------------------------------
extern OfxHost* gHost;
extern const OfxImageEffectSuiteV1* gEffectSuite;
extern const OfxPropertySuiteV1* gPropSuite;
extern const OfxParameterSuiteV1* gParamSuite;
extern const OfxMessageSuiteV1* gMessageSuite;  // may be null
extern const OfxMultiThreadSuiteV1* gMTSuite;   // may be null

extern std::atomic<uint64_t> gNextId;

// ---- Parameters (params.cpp) -----------------------------------------------------

// Panel order; the description defines them in this order.
enum class ParamId {
  AccountGroup,
  AccountInfo,
  SignIn,
  SignOut,
  BuyTokens,
  VersionInfo,
  UpdateAvailable,
  Prompt,
  Generate,
  Blend,
  MaskSource,
  Threshold,
  InvertMask,
  MaskGrow,
  InFeather,
  OutFeather,
  TrackMotion,
  BgScale,
  BgOffX,
  BgOffY,
  CompositeMode,
  EffectKey,
  Count
};
constexpr int kParamCount = static_cast<int>(ParamId::Count);

// Properties beyond name, type, label, hint and parent that some rows set.
enum ParamFlag : unsigned {
  kParamSecret = 1u << 0,       // "OfxParamPropSecret" 1
  kParamNoEvaluate = 1u << 1,   // "OfxParamPropEvaluateOnChange" 0
  kParamLabelText = 1u << 2,    // string shown as a label
  kParamSingleLine = 1u << 3,   // string typed on one line
  kParamGroupClosed = 1u << 4,  // group starts folded
  kParamHasRange = 1u << 5,     // min/max/display range below apply
  kParamHasDefault = 1u << 6,   // numeric or text default below applies
  kParamNoAnimate = 1u << 7,    // "OfxParamPropAnimates" 0
};

struct ParamRange {
  double min, max, displayMin, displayMax;
};

struct ParamRow {
  ParamId id;
  const char* name;
  const char* type;  // kOfxParamType...
  const char* label;
  // "{domain}" in a hint stands for the service's address without its scheme.
  const char* hint;    // null: none
  const char* parent;  // null: top level
  unsigned flags;
  double number;     // default of Double, Boolean and Choice rows
  const char* text;  // default of String rows; kPluginVersion for the version label
  ParamRange range;
  const char* options[2];  // Choice rows
};

// Every row, indexed by ParamId.
extern const ParamRow kParams[kParamCount];
inline const ParamRow& paramRow(ParamId id) { return kParams[static_cast<int>(id)]; }

// ---- Instance record ------------------------------------------------------------
struct Instance;

struct DeviceFlowSlot {
  std::atomic<bool> cancelled{false};  // written only while `mutex` is held
  std::atomic<bool> finished{false};   // the poller has written its last label
  std::atomic<bool> signedOut{false};  // cancelled by Sign Out, not by a new sign-in or destroy
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

// An image brought to another size, with what it was made from: the slot's file, its time
// and size, and the size asked for.
struct SizedImage {
  std::string path;
  long mtime = 0;
  int fromWidth = 0, fromHeight = 0;
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
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
  std::string diffPath;  // a prompt without a difference file must not reuse another's mask
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
  // The effect's own key (effect_key.cpp): names its working files, so they
  // follow the effect across sessions and never meet another effect's.
  std::string key;

  // One per row of the parameter table; a handle the host did not give stays null.
  OfxParamHandle handles[kParamCount] = {};
  OfxParamHandle handle(ParamId param) const { return handles[static_cast<int>(param)]; }

  std::shared_ptr<DeviceFlowSlot> deviceFlow;
  // The serial of the process-wide account answer this panel shows.
  std::atomic<uint64_t> accountShown{0};

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

  // Refined: the two plates, and the camera-motion reference and the subject's footprint
  // made from the backdrop for the frame size they were made at (dropped with the
  // backdrop's pixels).
  ImageSlot plateCache;
  ImageSlot backdropCache;
  MotionReference motionReference;
  std::vector<uint8_t> footprint;
  std::vector<uint8_t> footprintCore;
  ColourOdds colourOdds;
  int motionReferenceWidth = 0;
  int motionReferenceHeight = 0;
  // Both plates as moved for the last frame (a still camera moves them alike every frame).
  RefinedPlateCache movedPlates;
  // The returned image and the backdrop at the frame's size where theirs differs (an answer
  // of another size, a render at another scale), kept from one render to the next.
  SizedImage returnedAtFrame;
  SizedImage backdropAtFrame;
};

// The record attached to an effect instance, or null (host_suites.cpp).
Instance* lookupInstance(OfxImageEffectHandle effect);

// Marks the instance's current sign-in slot cancelled. Taking the slot's mutex
// waits for a panel update in progress and guarantees none starts afterwards.
enum class FlowCancel { Quietly, BySignOut };
inline void cancelDeviceFlow(Instance* instance, FlowCancel why = FlowCancel::Quietly) {
  if (!instance || !instance->deviceFlow) return;
  std::lock_guard<std::mutex> lock(instance->deviceFlow->mutex);
  if (why == FlowCancel::BySignOut) instance->deviceFlow->signedOut.store(true);
  instance->deviceFlow->cancelled.store(true);
}

// ---- Effect keys (effect_key.cpp) ----
// An effect's key is 32 lowercase hex digits (128 random bits), kept in its
// hidden "effectKey" parameter so the project carries it from session to session.
bool isEffectKey(const std::string& text);
// 32 lowercase hex digits from the system's random source.
std::string newEffectKey();
// The key a new instance uses: `saved` when it is a key and no live instance
// of this process holds it (a duplicated effect shares its original's key),
// else a new one. The key returned is live until releaseEffectKey.
std::string claimEffectKey(const std::string& saved);
void releaseEffectKey(const std::string& key);

// ---- Detached background workers (background_workers.cpp) ----
// Every detached thread of the plug-in (generation workers, sign-in pollers)
// calls workerStarted before it is launched (undo with workerFinished when the
// launch fails) and workerFinished as its very last step, so the unload action
// can wait until no code of the bundle is running on them.
void workerStarted();
void workerFinished();
int runningWorkers();
// True when no worker runs, at once or within seconds.
bool waitForBackgroundWorkers(double seconds);
