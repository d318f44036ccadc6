// The bundle's entry points, the action dispatcher, the instance record's
// life, and the handling of parameter changes (the five push buttons).
//
// Every action runs on whatever host thread sends it. Nothing may leave the
// dispatcher as an exception: each handler runs inside a catch-all, and the
// host gets the action's fixed answer whatever happened inside.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "account/account.h"
#include "backend/backend.h"
#include "plugin/plugin.h"
#include "render/render.h"

namespace {

bool hostSuitesReady() { return gEffectSuite && gPropSuite && gParamSuite; }

// ---- Load and unload ------------------------------------------------------------

OfxStatus loadAction() {
  setBackgroundStop(false);  // an earlier unload of this (still mapped) binary set it
  forgetAccountState();
  if (!gHost || !gHost->fetchSuite) return kOfxStatErrMissingHostFeature;
  gEffectSuite = static_cast<const OfxImageEffectSuiteV1*>(
      gHost->fetchSuite(gHost->host, kOfxImageEffectSuite, 1));
  gPropSuite =
      static_cast<const OfxPropertySuiteV1*>(gHost->fetchSuite(gHost->host, kOfxPropertySuite, 1));
  gParamSuite = static_cast<const OfxParameterSuiteV1*>(
      gHost->fetchSuite(gHost->host, kOfxParameterSuite, 1));
  gMessageSuite =
      static_cast<const OfxMessageSuiteV1*>(gHost->fetchSuite(gHost->host, kOfxMessageSuite, 1));
  gMTSuite = static_cast<const OfxMultiThreadSuiteV1*>(
      gHost->fetchSuite(gHost->host, kOfxMultiThreadSuite, 1));
  return hostSuitesReady() ? kOfxStatOK : kOfxStatErrMissingHostFeature;
}

// Longest the unload action holds the host once the workers have been told to stop.
constexpr double kUnloadWaitSeconds = 10.0;

// Keeps this binary mapped when the host dlcloses it, for the rest of the process.
void keepBinaryMapped() {
  Dl_info self;
  if (dladdr(reinterpret_cast<void*>(&keepBinaryMapped), &self) && self.dli_fname)
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// The host unloads the binary after this action, so a generation worker or a
// sign-in poller still running would be left executing freed code. They are
// told to stop (a curl run in progress is ended, a poller's sleep cut short),
// which ends each within moments, and waited for up to kUnloadWaitSeconds.
// Past that bound the action answers anyway. Whenever workers were running
// when unload came, the binary is also pinned in memory: a worker still busy
// past the bound, or one that has just counted itself out and is returning
// through its last instructions, then finishes in code that stays mapped (the
// price is that the binary and its globals stay loaded until the process ends).
void unloadAction() {
  const bool busy = runningWorkers() > 0;
  setBackgroundStop(true);
  if (!waitForBackgroundWorkers(kUnloadWaitSeconds))
    dbg("unload: background workers still running");
  if (busy) keepBinaryMapped();
}

// ---- Instance record ------------------------------------------------------------

// The key saved in the effect, when it is one and no live instance holds it
// (a duplicated effect); else a new one, written back so the project keeps it.
// The record's copy is the one used, so a host that drops the value still
// gives each instance a key of its own.
void adoptEffectKey(Instance* record) {
  OfxParamHandle param = record->handle(ParamId::EffectKey);
  char* text = nullptr;
  std::string saved;
  if (param && gParamSuite->paramGetValue(param, &text) == kOfxStatOK && text) saved = text;
  record->key = claimEffectKey(saved);
  if (param && record->key != saved) gParamSuite->paramSetValue(param, record->key.c_str());
}

void createInstance(OfxImageEffectHandle effect) {
  // Owned here until the instance's property set holds it.
  std::unique_ptr<Instance> owned(new Instance);
  Instance* record = owned.get();
  record->id = gNextId.fetch_add(1);

  // A handle the host does not give stays null; its users skip it.
  OfxParamSetHandle params = nullptr;
  gEffectSuite->getParamSet(effect, &params);
  for (const ParamRow& row : kParams)
    gParamSuite->paramGetHandle(params, row.name, &record->handles[static_cast<int>(row.id)],
                                nullptr);

  adoptEffectKey(record);

  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(effect, &props);
  if (gPropSuite->propSetPointer(props, kOfxPropInstanceData, 0, record) == kOfxStatOK)
    owned.release();  // from here on the destroy action frees it
  else releaseEffectKey(record->key);

  char line[96];
  std::snprintf(line, sizeof line, "createInstance id=%llu key=%s",
                static_cast<unsigned long long>(record->id), record->key.c_str());
  dbg(line);

  // The account and version answers come from the account worker; this panel
  // shows what is known now and the rest in a later action.
  if (latestAccount().serial == 0) applyAccountState(record, SignedOut, "Checking account...");
  requestAccountRefresh(RefreshWhen::IfStale);
  showLatestAccount(record);
}

void destroyInstance(OfxImageEffectHandle effect) {
  Instance* record = lookupInstance(effect);
  if (!record) return;
  cancelDeviceFlow(record);
  releaseEffectKey(record->key);
  // Detach first, so no later action on this handle can reach the freed record.
  OfxPropertySetHandle props = nullptr;
  if (gEffectSuite->getPropertySet(effect, &props) == kOfxStatOK && props)
    gPropSuite->propSetPointer(props, kOfxPropInstanceData, 0, nullptr);
  delete record;
}

// ---- Parameter changes ------------------------------------------------------------

void generatePressed(OfxImageEffectHandle effect, Instance* record, OfxPropertySetHandle inArgs) {
  double time = 0.0;
  if (gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time) != kOfxStatOK) time = 0.0;
  // A prompt the request cannot carry is refused here, where the user pressed
  // the button, rather than after a grab and a worker that can only fail.
  char* text = nullptr;
  if (record->handle(ParamId::Prompt))
    gParamSuite->paramGetValueAtTime(record->handle(ParamId::Prompt), time, &text);
  const std::string prompt = text ? text : "";
  if (!promptFitsRequest(record->key, kServiceBaseUrl, prompt,
                         RequestLimits{kGenerateConnectSeconds, kGenerateTotalSeconds})) {
    dbg("generate: prompt too long");
    if (gMessageSuite)
      gMessageSuite->message(effect, kOfxMessageError, "talvane.promptTooLong",
                             "The background prompt is too long to send (%zu bytes). Shorten it "
                             "and press Generate Background again.",
                             prompt.size());
    return;
  }
  std::lock_guard<std::mutex> lock(record->mutex);
  record->generateRequested = true;
  record->generateTime = time;
  dbg("generateRequested");
}

void signOutPressed(Instance* record) {
  cancelDeviceFlow(record, FlowCancel::BySignOut);
  keychainDeleteToken(kKeychainService, kServiceBaseUrl);
  applyAccountState(record, SignedOut, "");
  record->accountShown = publishAccount(SignedOut, "");
  dbg("signed out");
}

void buyTokensPressed() {
  openUrlInBrowser(std::string(kServiceBaseUrl) + "/buy");
  dbg("opened buy page");
}

void updateAvailablePressed() {
  std::string url;
  {
    std::lock_guard<std::mutex> lock(gVerMutex);
    url = gDownloadUrl;
  }
  if (url.empty()) url = std::string(kServiceBaseUrl) + "/download";
  openUrlInBrowser(url);
}

// Only the buttons act here; the render reads every other value itself.
// The change reason is not read: user, host and plug-in edits count alike.
void paramChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (!inArgs) return;
  char* text = nullptr;
  if (gPropSuite->propGetString(inArgs, kOfxPropName, 0, &text) != kOfxStatOK || !text) return;
  const std::string name = text;  // host strings live only until the next call
  Instance* record = lookupInstance(effect);
  if (!record) return;

  if (name == "generate") generatePressed(effect, record, inArgs);
  else if (name == "signIn") startDeviceSignIn(record);
  else if (name == "signOut") signOutPressed(record);
  else if (name == "buyTokens") buyTokensPressed();
  else if (name == "updateAvailable") updateAvailablePressed();
}

// ---- Dispatch ------------------------------------------------------------------------

// Runs a handler whose action always answers kOfxStatOK, exceptions included.
// A host that goes on after a refused load gets the answer and no work.
template <typename Handler>
OfxStatus answerOk(Handler handler) {
  try {
    if (hostSuitesReady()) handler();
  } catch (...) {
  }
  return kOfxStatOK;
}

void setHost(OfxHost* host) { gHost = host; }

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle /*outArgs*/) {
  if (!action) return kOfxStatReplyDefault;
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  auto is = [action](const char* name) { return std::strcmp(action, name) == 0; };

  if (is(kOfxActionLoad)) {
    try {
      return loadAction();
    } catch (...) {
      return kOfxStatErrMissingHostFeature;
    }
  }
  if (is(kOfxActionDescribe)) return answerOk([&] { describeAction(effect); });
  if (is(kOfxImageEffectActionDescribeInContext))
    return answerOk([&] { describeInContextAction(effect, inArgs); });
  if (is(kOfxActionCreateInstance)) return answerOk([&] { createInstance(effect); });
  if (is(kOfxActionDestroyInstance)) return answerOk([&] { destroyInstance(effect); });
  if (is(kOfxActionInstanceChanged))
    return answerOk([&] {
      paramChanged(effect, inArgs);
      showLatestAccount(lookupInstance(effect));
    });
  if (is(kOfxImageEffectActionRender))
    return answerOk([&] {
      if (renderAction(effect, inArgs) == RenderFollowUp::RefreshAccount)
        requestAccountRefresh(RefreshWhen::Now);
      showLatestAccount(lookupInstance(effect));
    });
  // Actions a host sends an instance often: each brings the panel up to date.
  if (is(kOfxActionBeginInstanceChanged) || is(kOfxActionEndInstanceChanged) ||
      is(kOfxActionSyncPrivateData) || is(kOfxImageEffectActionGetClipPreferences)) {
    answerOk([&] { showLatestAccount(lookupInstance(effect)); });
    return kOfxStatReplyDefault;
  }
  if (is(kOfxActionUnload)) {
    answerOk(unloadAction);
    return kOfxStatReplyDefault;
  }
  return kOfxStatReplyDefault;
}

OfxPlugin gPlugin = {
    kOfxImageEffectPluginApi,         // pluginApi
    kOfxImageEffectPluginApiVersion,  // apiVersion
    kPluginIdentifier,                // pluginIdentifier
    1,                                // pluginVersionMajor
    0,                                // pluginVersionMinor
    setHost,                          // setHost
    pluginMain,                       // mainEntry
};

}  // namespace

extern "C" {

OfxExport int OfxGetNumberOfPlugins(void) { return 1; }

OfxExport OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &gPlugin : nullptr; }

}  // extern "C"
