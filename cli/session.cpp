// The Talvane bundle loaded in our host, driven the way an editing host drives
// it: one instance, parameters edited by "the user", buttons pressed, frames
// rendered one at a time.
#include <chrono>
#include <cstdio>
#include <thread>

#include "backend/backend.h"
#include "cli/render_tool.h"

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
  session.instance = hostCreateInstance(session.host, kOfxImageEffectContextFilter, &status,
                                        {{"effectKey", kEffectKey}});
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

bool hasParam(Session& session, const std::string& name) {
  return hostParam(session.instance, name) != nullptr;
}

Sample hostSample(const Session& session) {
  if (session.depth == kOfxBitDepthShort) return Sample::U16;
  if (session.depth == kOfxBitDepthFloat) return Sample::Float;
  return Sample::U8;
}

std::shared_ptr<HostImage> makeFrameImage(const Session& session, int width, int height,
                                          int channels) {
  // Top row first, as image files are: a file is read straight into it.
  return hostMakeImage(session.depth.c_str(),
                       channels == 3 ? kOfxImageComponentRGB : kOfxImageComponentRGBA,
                       OfxRectI{0, 0, width, height}, 0, true);
}

PixelView framePixels(HostImage& image) {
  PixelView view;
  view.width = hostImageWidth(image);
  view.height = hostImageHeight(image);
  view.channels = image.components == kOfxImageComponentRGB ? 3 : 4;
  view.sample = image.depth == kOfxBitDepthShort   ? Sample::U16
                : image.depth == kOfxBitDepthFloat ? Sample::Float
                                                   : Sample::U8;
  view.data = view.height > 0 ? hostPixel(image, image.bounds.x1, image.bounds.y2 - 1) : nullptr;
  view.rowStride = -static_cast<ptrdiff_t>(image.rowBytes);
  return view;
}

bool renderImage(Session& session, const std::shared_ptr<HostImage>& source, double time,
                 std::shared_ptr<HostImage>& output, double& ms, std::string& error) {
  ms = 0.0;
  output =
      hostMakeImage(source->depth.c_str(), source->components.c_str(), source->bounds, 0, true);
  if (!output) {
    error = "cannot make a host image of " + std::to_string(hostImageWidth(*source)) + "x" +
            std::to_string(hostImageHeight(*source));
    return false;
  }
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
  return true;
}

bool signIn(Session& session, double waitSeconds, void (*onLabel)(const std::string& label),
            void (*onCode)(const std::string& address, const std::string& code),
            std::string& error) {
  size_t seen = hostParamChanges(session.instance).size();
  // The press asks the service for a code and leaves its answer in the
  // plug-in's working folder; the panel itself shows neither address nor code.
  const std::string answer = tempDir() + "/ofx_device_code.json";
  std::remove(answer.c_str());
  pressButton(session, "signIn", 0.0);
  const std::string body = readFile(answer);
  std::string address = extractStringField(body, "verification_uri");
  if (address.empty()) address = extractStringField(body, "verification_uri_complete");
  const std::string code = extractStringField(body, "user_code");
  if (!address.empty() && !code.empty()) onCode(address, code);
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
    if (stopSignal() != 0) {
      error = "interrupted";
      return false;
    }
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
