// Loading the bundle, the actions in the order a host sends them, and the
// life of descriptors and instances.
#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "host/state.h"

#ifndef TALVANE_OFX_ARCH
#error "TALVANE_OFX_ARCH names the bundle's architecture folder"
#endif

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "…/Name.ofx.bundle" → "…/Name.ofx.bundle/Contents/<arch>/Name.ofx".
std::string binaryPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!isDirectory(path)) return path;
  std::string base = path.substr(path.find_last_of('/') + 1);
  const std::string suffix = ".bundle";
  if (base.size() > suffix.size() &&
      base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)
    base.resize(base.size() - suffix.size());
  return path + "/Contents/" TALVANE_OFX_ARCH "/" + base;
}

void initEffect(OfxImageEffectStruct& effect) {
  registerHandle(&effect);
  registerPropertySet(effect.props);
  registerHandle(&effect.params);
  registerPropertySet(effect.params.props);
}

// The main descriptor's properties, each at the standard's default.
void defineDescriptor(OfxImageEffectStruct& effect) {
  OfxPropertySetStruct& p = effect.props;
  defineString(p, kOfxPropType, {"OfxTypeImageEffect"});
  defineString(p, kOfxPropLabel, {""});
  defineString(p, kOfxImageEffectPluginPropGrouping, {""});
  defineString(p, kOfxImageEffectPropSupportedContexts, {});
  defineString(p, kOfxImageEffectPropSupportedPixelDepths, {});
  defineInt(p, kOfxImageEffectPropSupportsTiles, {1});
  defineInt(p, kOfxImageEffectPluginPropFieldRenderTwiceAlways, {1});
  defineInt(p, kOfxImageEffectPluginPropHostFrameThreading, {1});
  defineString(p, kOfxImageEffectPluginRenderThreadSafety, {kOfxImageEffectRenderInstanceSafe});
}

// `to` gets `from`'s properties and, for an instance, its own copies of the
// clips and parameters.
void copyEffect(const OfxImageEffectStruct& from, OfxImageEffectStruct& to,
                HostInstance* instance) {
  initEffect(to);
  to.props.props = from.props.props;
  to.params.props.props = from.params.props.props;
  to.instance = instance;
  if (!instance) return;
  for (auto& c : from.clips) to.clips.emplace_back(instanceClip(*c, instance));
  for (auto& p : from.params.params) to.params.params.emplace_back(instanceParam(*p, instance));
}

OfxImageEffectStruct* contextDescriptor(Host* host, const std::string& context) {
  auto it = host->contexts.find(context);
  return it == host->contexts.end() ? nullptr : it->second.get();
}

void freeInstance(HostInstance* instance) {
  for (OfxPropertySetStruct* image : instance->heldImages) {
    unregisterPropertySet(*image);
    delete image;
  }
  unregisterEffect(instance->effect);
  delete instance;
}

}  // namespace

void unregisterEffect(OfxImageEffectStruct& effect) {
  for (auto& c : effect.clips) {
    unregisterPropertySet(c->props);
    unregisterHandle(c.get());
  }
  for (auto& p : effect.params.params) {
    unregisterPropertySet(p->props);
    unregisterHandle(p.get());
  }
  unregisterPropertySet(effect.params.props);
  unregisterHandle(&effect.params);
  unregisterPropertySet(effect.props);
  unregisterHandle(&effect);
}

Host* hostOpen(const std::string& path, const HostConfig& config, std::string* error) {
  auto fail = [&](const std::string& why) -> Host* {
    if (error) *error = why;
    return nullptr;
  };
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    if (gOpenHost) return fail("another bundle is open in this process");
  }
  std::string binary = binaryPath(path);
  void* handle = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return fail(std::string("dlopen: ") + dlerror());
  auto getCount = reinterpret_cast<int (*)()>(dlsym(handle, "OfxGetNumberOfPlugins"));
  auto getPlugin = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(handle, "OfxGetPlugin"));
  if (!getCount || !getPlugin) {
    dlclose(handle);
    return fail(binary + " does not export OfxGetNumberOfPlugins and OfxGetPlugin");
  }

  auto* host = new Host;
  host->config = config;
  host->pool = startThreadPool(config.numCPUs);
  host->binary = handle;
  host->getNumberOfPlugins = getCount;
  host->getPlugin = getPlugin;
  host->ofxHost.host = &host->hostProps;
  host->ofxHost.fetchSuite = fetchSuite;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    gOpenHost = host;
    registerPropertySet(host->hostProps);
    defineString(host->hostProps, kOfxPropName, {"talvane.testhost"});
    defineString(host->hostProps, kOfxPropLabel, {"Talvane test host"});
    initEffect(host->descriptor);
    defineDescriptor(host->descriptor);
  }

  // The optional OfxSetHost comes first when a binary has it.
  using SetHost = OfxStatus (*)(const OfxHost*);
  if (auto setHost = reinterpret_cast<SetHost>(dlsym(handle, "OfxSetHost")))
    setHost(&host->ofxHost);
  OfxPlugin* plugin = getCount() > 0 ? getPlugin(0) : nullptr;
  if (!plugin || !plugin->pluginApi || std::strcmp(plugin->pluginApi, kOfxImageEffectPluginApi) ||
      plugin->apiVersion != kOfxImageEffectPluginApiVersion || !plugin->mainEntry) {
    hostClose(host);
    return fail(binary + " has no image-effect plug-in of API version 1");
  }
  host->plugin = plugin;
  if (plugin->setHost) plugin->setHost(&host->ofxHost);
  return host;
}

void hostClose(Host* host) {
  if (!host) return;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    for (HostInstance* instance : host->instances) freeInstance(instance);
    host->instances.clear();
    for (auto& context : host->contexts) unregisterEffect(*context.second);
    unregisterEffect(host->descriptor);
    unregisterPropertySet(host->hostProps);
    if (gOpenHost == host) gOpenHost = nullptr;
  }
  host->pool.reset();  // idle between calls: its threads end here
  if (host->config.unloadBinary) dlclose(host->binary);
  delete host;
}

const OfxPlugin* hostPlugin(Host* host) { return host ? host->plugin : nullptr; }
int hostNumberOfPlugins(Host* host) { return host->getNumberOfPlugins(); }
const OfxPlugin* hostGetPlugin(Host* host, int nth) { return host->getPlugin(nth); }
OfxHost* hostOfxHost(Host* host) { return host ? &host->ofxHost : nullptr; }

void hostOnParamChange(Host* host,
                       std::function<void(HostInstance*, const ParamChange&)> callback) {
  std::lock_guard<std::mutex> lock(hostMutex());
  host->onParamChange = std::move(callback);
}

OfxStatus hostAction(Host* host, const char* action, const void* handle,
                     OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  return host->plugin->mainEntry(action, handle, inArgs, outArgs);
}

OfxStatus hostLoad(Host* host) {
  return hostAction(host, kOfxActionLoad, nullptr, nullptr, nullptr);
}

OfxStatus hostDescribe(Host* host) {
  return hostAction(host, kOfxActionDescribe, &host->descriptor, nullptr, nullptr);
}

OfxStatus hostDescribeInContext(Host* host, const char* context) {
  auto* descriptor = new OfxImageEffectStruct;
  OfxPropertySetHandle inArgs = nullptr;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    copyEffect(host->descriptor, *descriptor, nullptr);
    if (context) defineString(descriptor->props, kOfxImageEffectPropContext, {context});
    auto& slot = host->contexts[context ? context : ""];
    if (slot) unregisterEffect(*slot);
    slot.reset(descriptor);
  }
  if (context) {
    inArgs = hostNewPropertySet();
    hostPropertySuite()->propSetString(inArgs, kOfxImageEffectPropContext, 0, context);
  }
  OfxStatus status =
      hostAction(host, kOfxImageEffectActionDescribeInContext, descriptor, inArgs, nullptr);
  hostFreePropertySet(inArgs);
  return status;
}

OfxStatus hostUnload(Host* host) {
  return hostAction(host, kOfxActionUnload, nullptr, nullptr, nullptr);
}

OfxPropertySetHandle hostEffectProps(Host* host) { return &host->descriptor.props; }

std::vector<std::string> hostClipNames(Host* host, const std::string& context) {
  std::lock_guard<std::mutex> lock(hostMutex());
  std::vector<std::string> names;
  if (OfxImageEffectStruct* d = contextDescriptor(host, context))
    for (auto& c : d->clips) names.push_back(c->name);
  return names;
}

std::vector<std::string> hostParamNames(Host* host, const std::string& context) {
  std::lock_guard<std::mutex> lock(hostMutex());
  std::vector<std::string> names;
  if (OfxImageEffectStruct* d = contextDescriptor(host, context))
    for (auto& p : d->params.params) names.push_back(p->name);
  return names;
}

OfxPropertySetHandle hostClipDescriptorProps(Host* host, const std::string& context,
                                             const std::string& clip) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (OfxImageEffectStruct* d = contextDescriptor(host, context))
    for (auto& c : d->clips)
      if (c->name == clip) return &c->props;
  return nullptr;
}

OfxPropertySetHandle hostParamDescriptorProps(Host* host, const std::string& context,
                                              const std::string& param) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (OfxImageEffectStruct* d = contextDescriptor(host, context))
    for (auto& p : d->params.params)
      if (p->name == param) return &p->props;
  return nullptr;
}

HostInstance* hostCreateInstance(Host* host, const std::string& context, OfxStatus* status,
                                 const SavedValues& saved) {
  auto* instance = new HostInstance;
  instance->host = host;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    OfxImageEffectStruct empty;
    OfxImageEffectStruct* descriptor = contextDescriptor(host, context);
    copyEffect(descriptor ? *descriptor : empty, instance->effect, instance);
    OfxPropertySetStruct& p = instance->effect.props;
    defineString(p, kOfxPropType, {"OfxTypeImageEffectInstance"});
    defineString(p, kOfxImageEffectPropContext, {context});
    definePointer(p, kOfxPropInstanceData, nullptr);
    host->instances.insert(instance);
  }
  for (const auto& value : saved) hostSetValue(instance, value.first, value.second);
  OfxStatus st = hostAction(host, kOfxActionCreateInstance, &instance->effect, nullptr, nullptr);
  if (status) *status = st;
  return instance;
}

OfxStatus hostDestroyInstance(HostInstance* instance) {
  if (!instance) return kOfxStatErrBadHandle;
  Host* host = instance->host;
  OfxStatus st = hostAction(host, kOfxActionDestroyInstance, &instance->effect, nullptr, nullptr);
  std::lock_guard<std::mutex> lock(hostMutex());
  host->instances.erase(instance);
  freeInstance(instance);
  return st;
}

OfxImageEffectHandle hostEffectHandle(HostInstance* instance) { return &instance->effect; }
OfxPropertySetHandle hostInstanceProps(HostInstance* instance) { return &instance->effect.props; }

OfxStatus hostInstanceChanged(HostInstance* instance, const std::string& param, OfxTime time,
                              const char* reason) {
  Host* host = instance->host;
  const OfxPropertySuiteV1* ps = hostPropertySuite();
  OfxPropertySetHandle bracket = hostNewPropertySet();
  ps->propSetString(bracket, kOfxPropChangeReason, 0, reason);
  OfxPropertySetHandle args = hostNewPropertySet();
  ps->propSetString(args, kOfxPropType, 0, kOfxTypeParameter);
  ps->propSetString(args, kOfxPropName, 0, param.c_str());
  ps->propSetString(args, kOfxPropChangeReason, 0, reason);
  ps->propSetDouble(args, kOfxPropTime, 0, time);
  double scale[2] = {1.0, 1.0};
  ps->propSetDoubleN(args, kOfxImageEffectPropRenderScale, 2, scale);

  OfxImageEffectHandle effect = &instance->effect;
  hostAction(host, kOfxActionBeginInstanceChanged, effect, bracket, nullptr);
  OfxStatus st = hostAction(host, kOfxActionInstanceChanged, effect, args, nullptr);
  hostAction(host, kOfxActionEndInstanceChanged, effect, bracket, nullptr);
  hostFreePropertySet(args);
  hostFreePropertySet(bracket);
  return st;
}

OfxStatus hostRender(HostInstance* instance, OfxTime time) {
  OfxRectI window{0, 0, 0, 0};
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    for (const char* name : {kOfxImageEffectSimpleSourceClipName, kOfxImageEffectOutputClipName})
      for (auto& c : instance->effect.clips)
        if (c->name == name && c->image) window = c->image->bounds;
  }
  const OfxPropertySuiteV1* ps = hostPropertySuite();
  OfxPropertySetHandle args = hostNewPropertySet();
  ps->propSetDouble(args, kOfxPropTime, 0, time);
  ps->propSetString(args, kOfxImageEffectPropFieldToRender, 0, kOfxImageFieldNone);
  int windowValues[4] = {window.x1, window.y1, window.x2, window.y2};
  ps->propSetIntN(args, kOfxImageEffectPropRenderWindow, 4, windowValues);
  double scale[2] = {1.0, 1.0};
  ps->propSetDoubleN(args, kOfxImageEffectPropRenderScale, 2, scale);
  ps->propSetInt(args, "OfxImageEffectPropSequentialRenderStatus", 0, 0);
  ps->propSetInt(args, "OfxImageEffectPropInteractiveRenderStatus", 0, 0);
  ps->propSetInt(args, "OfxImageEffectPropRenderQualityDraft", 0, 0);
  OfxStatus st =
      hostAction(instance->host, kOfxImageEffectActionRender, &instance->effect, args, nullptr);
  hostFreePropertySet(args);
  return st;
}

OfxStatus hostSyncPrivateData(HostInstance* instance) {
  return hostAction(instance->host, kOfxActionSyncPrivateData, &instance->effect, nullptr, nullptr);
}

bool hostWaitForAccount(HostInstance* instance, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    hostSyncPrivateData(instance);
    if (hostGetString(instance, "accountInfo") != kHostCheckingAccountLabel) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
