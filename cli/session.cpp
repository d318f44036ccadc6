// The Talvane bundle loaded in our host, driven the way an editing host drives
// it: one instance, parameters edited by "the user", buttons pressed, frames
// rendered one at a time.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "backend/backend.h"
#include "cli/render_tool.h"

extern char** environ;

namespace {

const char kPendingLabel[] = "Approve in your browser to finish sign-in...";
const char kRequestingLabel[] = "Requesting a sign-in code...";

// "Open <address> and enter the code <code> to finish sign-in": the panel's
// words when the plug-in opened no browser.
bool signInCodeOf(const std::string& label, std::string& address, std::string& code) {
  const std::string open = "Open ", enter = " and enter the code ", tail = " to finish sign-in";
  if (label.rfind(open, 0) != 0 || label.size() < tail.size() ||
      label.compare(label.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const size_t at = label.find(enter);
  if (at == std::string::npos) return false;
  address = label.substr(open.size(), at - open.size());
  code = label.substr(at + enter.size(), label.size() - tail.size() - at - enter.size());
  return !address.empty() && !code.empty();
}

bool isWaitingLabel(const std::string& label) {
  std::string address, code;
  return label == kPendingLabel || label == kRequestingLabel ||
         label == kHostCheckingAccountLabel || signInCodeOf(label, address, code);
}

// Best effort: a machine without a desktop has no opener, and the address is printed anyway.
void openBrowser(const std::string& address) {
  if (address.rfind("http://", 0) != 0 && address.rfind("https://", 0) != 0) return;
#if defined(__APPLE__)
  const char* opener = "/usr/bin/open";
#else
  const char* opener = "xdg-open";
#endif
  std::string program = opener, word = address;
  char* argv[] = {&program[0], &word[0], nullptr};
  posix_spawn_file_actions_t quiet;
  if (posix_spawn_file_actions_init(&quiet) != 0) return;
  posix_spawn_file_actions_addopen(&quiet, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &quiet, nullptr, argv, environ) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&quiet);
}

bool failed(OfxStatus status) { return status != kOfxStatOK && status != kOfxStatReplyDefault; }

}  // namespace

bool openSession(const std::string& bundle, unsigned threads, const std::string& depth,
                 Session& session, std::string& error) {
  HostConfig config;
  config.numCPUs = threads > 0 ? threads : 1;
  config.unloadBinary = false;
  config.questionReply = kOfxStatReplyNo;  // never open a download page from a batch run
  session.depth = depth;
  // A terminal tool prints the sign-in address and code itself (see signIn).
  setenv("TALVANE_NO_BROWSER", "1", 1);
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
  // The account answer comes from the plug-in's account worker (at most the
  // account query's own time limit); the tool's first lines depend on it.
  hostWaitForAccount(session.instance, 30.0);
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
  // The plug-in is told (TALVANE_NO_BROWSER, set before the bundle loads) to
  // show the address and the code on its panel; this tool prints them and
  // opens the browser itself when the machine has one.
  pressButton(session, "signIn", 0.0);
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
      std::string address, code;
      if (signInCodeOf(last, address, code)) {
        onCode(address, code);
        openBrowser(address);
      } else {
        onLabel(last);
      }
    }
    if (anyLabel && !isWaitingLabel(last)) break;
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

bool waitForAccountChange(Session& session, const std::string& before, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    hostSyncPrivateData(session.instance);
    if (accountLabel(session) != before) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
