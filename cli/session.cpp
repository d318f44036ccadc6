// The Talvane bundle loaded in our host, driven the way an editing host drives
// it: one instance, parameters edited by "the user", buttons pressed, frames
// rendered one at a time.
#include <chrono>
#include <thread>

#include "cli/cli.h"
#include "host/host.h"

namespace {

const char kPendingLabel[] = "Approve in your browser to finish sign-in...";

bool failed(OfxStatus status) { return status != kOfxStatOK && status != kOfxStatReplyDefault; }

}  // namespace

bool openSession(const std::string& bundle, unsigned threads, const std::string& depth,
                 Session& session, std::string& error) {
  HostConfig config;
  config.numCPUs = threads > 0 ? threads : 1;
  config.unloadBinary = false;
  config.questionReply = kOfxStatReplyNo;  // never open a download page from a batch run
  session.depth = depth;
  session.host = hostOpen(bundle, config, &error);
  if (!session.host) {
    error = bundle + ": cannot load bundle: " + error;
    return false;
  }
  OfxStatus status = hostLoad(session.host);
  if (!failed(status)) status = hostDescribe(session.host);
  if (!failed(status)) status = hostDescribeInContext(session.host, kOfxImageEffectContextFilter);
  if (failed(status)) {
    error = bundle + ": the plug-in refused to load (status " + std::to_string(status) + ")";
    hostClose(session.host);
    session.host = nullptr;
    return false;
  }
  session.instance = hostCreateInstance(session.host, kOfxImageEffectContextFilter, &status);
  if (failed(status)) {
    error = bundle + ": the plug-in refused to create an instance (status " +
            std::to_string(status) + ")";
    closeSession(session);
    return false;
  }
  return true;
}

void closeSession(Session& session) {
  if (session.instance) hostDestroyInstance(session.instance);
  session.instance = nullptr;
  if (session.host) {
    hostUnload(session.host);
    hostClose(session.host);
  }
  session.host = nullptr;
}

bool setParam(Session& session, const std::string& name, double value) {
  if (!hostSetValue(session.instance, name, value)) return false;
  hostInstanceChanged(session.instance, name, 0.0);
  return true;
}

bool setParam(Session& session, const std::string& name, const std::string& value) {
  if (!hostSetValue(session.instance, name, value)) return false;
  hostInstanceChanged(session.instance, name, 0.0);
  return true;
}

void pressButton(Session& session, const std::string& name, double time) {
  hostInstanceChanged(session.instance, name, time);
}

std::string accountLabel(Session& session) {
  return hostGetString(session.instance, "accountInfo");
}

bool paramShown(Session& session, const std::string& name) {
  OfxPropertySetHandle props = hostParamProps(session.instance, name);
  return props && hostPropInt(props, kOfxParamPropSecret) == 0;
}

bool renderFrame(Session& session, const std::vector<uint8_t>& in, int width, int height,
                 double time, std::vector<uint8_t>& out, double& ms, std::string& error) {
  out.clear();
  ms = 0.0;
  OfxRectI bounds{0, 0, width, height};
  auto source = hostMakeImage(session.depth.c_str(), kOfxImageComponentRGBA, bounds);
  auto output = hostMakeImage(session.depth.c_str(), kOfxImageComponentRGBA, bounds);
  if (!source || !output) {
    error = "cannot make host images of " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  hostFillFromRGBA8(*source, in);
  hostSetClipImage(session.instance, kOfxImageEffectSimpleSourceClipName, source);
  hostSetClipImage(session.instance, kOfxImageEffectOutputClipName, output);
  auto start = std::chrono::steady_clock::now();
  OfxStatus status = hostRender(session.instance, time);
  ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  hostSetClipImage(session.instance, kOfxImageEffectSimpleSourceClipName, nullptr);
  hostSetClipImage(session.instance, kOfxImageEffectOutputClipName, nullptr);
  if (failed(status)) {
    error = "the plug-in failed to render (status " + std::to_string(status) + ")";
    return false;
  }
  out = hostToRGBA8(*output);
  return true;
}

bool signIn(Session& session, double waitSeconds, void (*onLabel)(const std::string& label),
            std::string& error) {
  size_t seen = hostParamChanges(session.instance).size();
  pressButton(session, "signIn", 0.0);
  // The press itself asks for a device code and shows the pending label; the
  // poller thread then finishes on its own and changes the label again.
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(waitSeconds * 1000));
  std::string last;
  bool anyLabel = false;
  for (;;) {
    std::vector<ParamChange> changes = hostParamChanges(session.instance);
    for (; seen < changes.size(); ++seen) {
      if (changes[seen].param != "accountInfo") continue;
      last = changes[seen].text;
      anyLabel = true;
      onLabel(last);
    }
    if (anyLabel && last != kPendingLabel) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "sign-in still waiting for approval after " +
              std::to_string(static_cast<int>(waitSeconds)) + " s";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!paramShown(session, "signOut")) {
    error = last.empty() ? "sign-in did not complete" : "sign-in did not complete: " + last;
    return false;
  }
  return true;
}
