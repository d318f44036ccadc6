// The parts of talvane-render that drive the bundle in our host, run the
// frame pipeline and start the local service (see cli/cli.h for the map).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "host/host.h"

// ---- The bundle in our host (session.cpp) ----------------------------------------

struct Session {
  Host* host = nullptr;
  HostInstance* instance = nullptr;
  std::string depth;  // host image depth: "OfxBitDepthByte", "...Short" or "...Float"
};

// Loads the bundle, describes it and creates one Filter-context instance.
// threads is the CPU count the host's multithread suite reports.
bool openSession(const std::string& bundle, unsigned threads, const std::string& depth,
                 Session& session, std::string& error);
// Destroys the instance and unloads. The binary stays mapped: the sign-in
// poller and the generation worker are detached threads that may still run.
void closeSession(Session& session);

// The plug-in names its working files by the effect's key, which a project
// saves; the tool's one instance is created with this key of its own, as if
// from a project, so the tool knows the names it seeds and stores.
inline constexpr char kEffectKey[] = "7a1e0c11000000000000000000000001";

// Sets a parameter as a user would, and tells the plug-in it changed.
bool setParam(Session& session, const std::string& name, double value);
bool setParam(Session& session, const std::string& name, const std::string& value);
bool hasParam(Session& session, const std::string& name);
// Presses a push button at a time.
void pressButton(Session& session, const std::string& name, double time);

std::string accountLabel(Session& session);
// False when the parameter carries "OfxParamPropSecret" = 1.
bool paramShown(Session& session, const std::string& name);

// The sample type of the session's host depth.
Sample hostSample(const Session& session);
// A host image of the session's depth, RGB (3) or RGBA (4), stored top row
// first, and the view of its pixels that the image files are read into.
std::shared_ptr<HostImage> makeFrameImage(const Session& session, int width, int height,
                                          int channels);
PixelView framePixels(HostImage& image);

// Renders the source at `time` into a new output image of the same layout;
// ms gets the render action's own time.
bool renderImage(Session& session, const std::shared_ptr<HostImage>& source, double time,
                 std::shared_ptr<HostImage>& output, double& ms, std::string& error);

// Presses Sign In, then waits up to waitSeconds while the account panel shows
// the pending label. onLabel gets every label the plug-in sets; onCode the
// verification address and user code once the service gave them. True when
// the panel ends signed in (Sign Out shown).
// Brings the account panel up to date until its label differs from before (true),
// at most `seconds`.
bool waitForAccountChange(Session& session, const std::string& before, double seconds);
bool signIn(Session& session, double waitSeconds, void (*onLabel)(const std::string& label),
            void (*onCode)(const std::string& address, const std::string& code),
            std::string& error);

// ---- The frame pipeline (pipeline.cpp) -------------------------------------------

// SIGINT and SIGTERM only set a flag: the run stops taking frames, finishes
// the writes in flight and drops the rest. SIGXFSZ is ignored so a file-size
// limit shows up as a failed write.
void installStopHandlers();
// The signal that asked the run to stop, or 0.
int stopSignal();

struct FrameJob {
  std::string input, output;
  double time = 0;
  bool sheet = false;  // goes on the contact sheet
};

struct PipelineStats {
  std::vector<double> renderMs;  // per written frame
  double wallSeconds = 0;
  std::vector<SheetPair> sheet;  // RGBA8 inputs and outputs of the frames marked
};

// Reads ahead on one thread, renders on the calling one, writes behind on
// `writers` threads. Every frame must have `width` × `height`. False with
// the first failure; the frames rendered before it are still written.
bool runPipeline(Session& session, const std::vector<FrameJob>& jobs, int width, int height,
                 int channels, const OutputFormat& format, unsigned writers, Progress& progress,
                 PipelineStats& stats, std::string& error);

// ---- The local service (local_service.cpp) ---------------------------------------

// The service origin compiled into a bundle ("http://127.0.0.1:28600"), read
// from its binary; empty when it has none or several.
std::string bundleServiceUrl(const std::string& bundle);
// True when a TCP connection to the URL's host and port opens within seconds.
bool serviceReachable(const std::string& url, double seconds);

struct LocalService {
  pid_t pid = -1;
  std::string url;      // where it listens
  std::string bundle;   // a bundle bound to url
  std::string scratch;  // private folder: log, and a rebound bundle copy
};
// Starts talvane-service (beside this executable, else on PATH) on the
// loopback port `bundle` is bound to, or on a free one with a private copy of
// the bundle bound to that one instead. It approves sign-ins by itself and
// keeps its accounts in statePath.
bool startLocalService(const std::string& bundle, const std::string& statePath,
                       LocalService& service, std::string& error);
// Stops it by its PID (SIGTERM, then SIGKILL after five seconds) and removes
// the private folder.
void stopLocalService(LocalService& service);
