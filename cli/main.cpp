// talvane-render: flags, then the work in order: inputs, outputs and their
// overwrite rules, the local service, bundle, parameters, account, the
// background (from the cache or generated), the frames, the summary.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/render_tool.h"
#include "ofx/ofx.h"

#ifndef TALVANE_DEFAULT_BUNDLE
#define TALVANE_DEFAULT_BUNDLE "Talvane.ofx.bundle"
#endif
#ifndef TALVANE_DEMO_BUNDLE
#define TALVANE_DEMO_BUNDLE "demo-bundle/Talvane.ofx.bundle"
#endif

namespace {

const char kUsage[] =
    "usage: talvane-render [options] INPUT... -o OUTDIR\n"
    "\n"
    "Renders image sequences through the Talvane plug-in into OUTDIR, keeping\n"
    "their file names, format, channels and bit depth. INPUT is an image file\n"
    "(OpenEXR, DPX, TIFF, PNG or JPEG), a folder (its image files in name order)\n"
    "or a numbered pattern such as frames/f%04d.exr. A frame's number is the last\n"
    "number in its file name; frames without one are numbered by position.\n"
    "\n"
    "Effect parameters:\n"
    "  --prompt TEXT            background prompt\n"
    "  --blend X                background opacity, 0..1\n"
    "  --mask-source auto|none  auto: source matte or difference mask; none: background only\n"
    "  --threshold X            difference mask threshold, percent 0..100\n"
    "  --invert-mask            swap subject and background of a source matte\n"
    "  --mask-grow PX           shrink (negative) or grow the mask, -30..30\n"
    "  --in-feather PX          inner feather, 0..30\n"
    "  --out-feather PX         outer feather, 0..30\n"
    "  --track-motion           follow camera and subject motion\n"
    "  --bg-scale X             background scale, 0.25..4\n"
    "  --bg-pan-x PCT           horizontal pan, percent of the width, -200..200\n"
    "  --bg-pan-y PCT           vertical pan, percent of the height, -200..200\n"
    "  --composite classic|refined  compositing mode\n"
    "\n"
    "Account and background:\n"
    "  --sign-in                sign in: prints the address and code to approve\n"
    "  --sign-out               forget the stored sign-in\n"
    "  --generate-at FRAME      generate the prompt's background from frame FRAME\n"
    "                           unless the cache already holds it; needs --prompt\n"
    "  --cache-dir DIR          where generated backgrounds are kept (default\n"
    "                           ~/.cache/talvane); share it between render nodes\n"
    "  --no-generate            fail instead of generating when the cache lacks\n"
    "                           the prompt's background\n"
    "  --wait SECONDS           longest wait for sign-in or generation, 1..3600 (default 120)\n"
    "  --local-service          start talvane-service on this machine for the run\n"
    "                           (loads this build's demo bundle unless --bundle)\n"
    "\n"
    "Frames and files:\n"
    "  --frames A-B[xS]         render only frames A to B (every S-th), by file number\n"
    "  --format png|exr|dpx|tif|jpg  output format (default: the input's)\n"
    "  --out-depth 8|16|half|float   output depth (default: the input's)\n"
    "  --depth 8|16|float       depth the plug-in renders at (default: follows the input)\n"
    "  -y, --overwrite          replace existing outputs\n"
    "  -n, --skip-existing      leave existing outputs and render the rest\n"
    "  --contact-sheet FILE     also write a PNG of a few inputs above their outputs\n"
    "  -o, --output OUTDIR      output folder, created when missing\n"
    "\n"
    "Host:\n"
    "  --bundle PATH            Talvane.ofx.bundle to load (default: this build's)\n"
    "  --threads N              CPU count the host offers the plug-in, 1..256\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status: 0 success; 1 a frame could not be read or written, an output\n"
    "exists, the bundle failed, sign-in or generation did not succeed; 2 usage\n"
    "error; 130 or 143 stopped by SIGINT or SIGTERM (frames written stay whole).\n";

struct NumberFlag {
  const char* flag;
  const char* param;
  double min, max;
};

const NumberFlag kNumberFlags[] = {
    {"--blend", "blend", 0.0, 1.0},
    {"--threshold", "threshold", 0.0, 100.0},
    {"--mask-grow", "maskGrow", -30.0, 30.0},
    {"--in-feather", "inFeather", 0.0, 30.0},
    {"--out-feather", "outFeather", 0.0, 30.0},
    {"--bg-scale", "bgScale", 0.25, 4.0},
    {"--bg-pan-x", "bgOffX", -200.0, 200.0},
    {"--bg-pan-y", "bgOffY", -200.0, 200.0},
};

struct Options {
  std::vector<std::string> inputs;
  std::string outDir;
  std::string bundle;
  std::string depth;  // empty: follows the input
  unsigned threads = 0;
  bool hasPrompt = false;
  std::string prompt;
  std::vector<std::pair<std::string, double>> params;  // in the order given
  int composite = -1;                                  // -1 not asked
  bool signIn = false;
  bool signOut = false;
  long generateAt = -1;
  bool noGenerate = false;
  std::string cacheDir;
  double waitSeconds = 120.0;
  bool localService = false;
  bool hasRange = false;
  FrameRange range;
  std::string format, outDepth;
  bool overwrite = false, skipExisting = false;
  std::string contactSheet;
};

bool parseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && value == value;
}

bool parseWhole(const std::string& text, double min, double max, double& value) {
  return parseNumber(text, value) && value >= min && value <= max &&
         value == static_cast<double>(static_cast<long>(value));
}

// Parses argv; on a usage error returns false with the message set.
bool parseArgs(int argc, char** argv, Options& options, bool& help, std::string& error) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        inlineValue = true;
      }
    }
    auto takeValue = [&]() -> bool {
      if (inlineValue) return true;
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto noValue = [&]() -> bool {
      if (inlineValue) error = arg + " takes no value";
      return !inlineValue;
    };
    auto flag = [&](bool& target) {
      target = true;
      return noValue();
    };

    if (arg == "-h" || arg == "--help") {
      help = true;
      return true;
    }
    if (arg == "--") {
      for (++i; i < argc; ++i) options.inputs.push_back(argv[i]);
      break;
    }
    const NumberFlag* number = nullptr;
    for (const NumberFlag& f : kNumberFlags)
      if (arg == f.flag) number = &f;
    double v = 0;
    if (number) {
      if (!takeValue()) return false;
      if (!parseNumber(value, v) || v < number->min || v > number->max) {
        char range[96];
        std::snprintf(range, sizeof range, " wants a number from %g to %g, not '", number->min,
                      number->max);
        error = arg + range + value + "'";
        return false;
      }
      options.params.emplace_back(number->param, v);
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue()) return false;
      options.outDir = value;
    } else if (arg == "--prompt") {
      if (!takeValue()) return false;
      options.prompt = value;
      options.hasPrompt = true;
    } else if (arg == "--mask-source") {
      if (!takeValue()) return false;
      if (value != "auto" && value != "none") {
        error = "--mask-source wants auto or none, not '" + value + "'";
        return false;
      }
      options.params.emplace_back("maskSource", value == "auto" ? 0.0 : 1.0);
    } else if (arg == "--composite") {
      if (!takeValue()) return false;
      if (value != "classic" && value != "refined") {
        error = "--composite wants classic or refined, not '" + value + "'";
        return false;
      }
      options.composite = value == "classic" ? 0 : 1;
    } else if (arg == "--invert-mask") {
      if (!noValue()) return false;
      options.params.emplace_back("invertMask", 1.0);
    } else if (arg == "--track-motion") {
      if (!noValue()) return false;
      options.params.emplace_back("trackMotion", 1.0);
    } else if (arg == "--sign-in") {
      if (!flag(options.signIn)) return false;
    } else if (arg == "--sign-out") {
      if (!flag(options.signOut)) return false;
    } else if (arg == "--no-generate") {
      if (!flag(options.noGenerate)) return false;
    } else if (arg == "--local-service") {
      if (!flag(options.localService)) return false;
    } else if (arg == "-y" || arg == "--overwrite") {
      if (!flag(options.overwrite)) return false;
    } else if (arg == "-n" || arg == "--skip-existing") {
      if (!flag(options.skipExisting)) return false;
    } else if (arg == "--generate-at") {
      if (!takeValue()) return false;
      if (!parseWhole(value, 0, 999999999, v)) {
        error = "--generate-at wants a frame number (0 or more), not '" + value + "'";
        return false;
      }
      options.generateAt = static_cast<long>(v);
    } else if (arg == "--wait") {
      if (!takeValue()) return false;
      if (!parseNumber(value, options.waitSeconds) || options.waitSeconds < 1 ||
          options.waitSeconds > 3600) {
        error = "--wait wants seconds from 1 to 3600, not '" + value + "'";
        return false;
      }
    } else if (arg == "--cache-dir") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--cache-dir wants a folder";
        return false;
      }
      options.cacheDir = value;
    } else if (arg == "--frames") {
      if (!takeValue() || !parseFrameRange(value, options.range, error)) return false;
      options.hasRange = true;
    } else if (arg == "--format") {
      if (!takeValue()) return false;
      if (formatExtension(value).empty()) {
        error = "--format wants png, exr, dpx, tif or jpg, not '" + value + "'";
        return false;
      }
      options.format = value;
    } else if (arg == "--out-depth") {
      if (!takeValue()) return false;
      if (value != "8" && value != "16" && value != "half" && value != "float") {
        error = "--out-depth wants 8, 16, half or float, not '" + value + "'";
        return false;
      }
      options.outDepth = value;
    } else if (arg == "--bundle") {
      if (!takeValue()) return false;
      options.bundle = value;
    } else if (arg == "--depth") {
      if (!takeValue()) return false;
      if (value == "8") {
        options.depth = kOfxBitDepthByte;
      } else if (value == "16") {
        options.depth = kOfxBitDepthShort;
      } else if (value == "float") {
        options.depth = kOfxBitDepthFloat;
      } else {
        error = "--depth wants 8, 16 or float, not '" + value + "'";
        return false;
      }
    } else if (arg == "--threads") {
      if (!takeValue()) return false;
      if (!parseWhole(value, 1, 256, v)) {
        error = "--threads wants a count from 1 to 256, not '" + value + "'";
        return false;
      }
      options.threads = static_cast<unsigned>(v);
    } else if (arg == "--contact-sheet") {
      if (!takeValue()) return false;
      options.contactSheet = value;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else {
      options.inputs.push_back(arg);
    }
  }
  if (options.inputs.empty()) {
    error = "no INPUT frames given";
    return false;
  }
  if (options.outDir.empty()) {
    error = "no output folder given (-o OUTDIR)";
    return false;
  }
  if (options.generateAt >= 0 && options.prompt.empty()) {
    error = "--generate-at needs a non-empty --prompt";
    return false;
  }
  if (options.signIn && options.signOut) {
    error = "--sign-in and --sign-out exclude each other";
    return false;
  }
  if (options.overwrite && options.skipExisting) {
    error = "-y and -n exclude each other";
    return false;
  }
  if (options.bundle.empty())
    options.bundle = options.localService ? TALVANE_DEMO_BUNDLE : TALVANE_DEFAULT_BUNDLE;
  if (options.cacheDir.empty()) options.cacheDir = defaultCacheDir();
  return true;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "talvane-render: %s\n", message.c_str());
  return 1;
}

int interrupted(int written) {
  const int signal = stopSignal();
  std::fprintf(stderr, "talvane-render: stopped by %s; %d frame%s written, none half-written\n",
               signal == SIGTERM ? "SIGTERM" : "SIGINT", written, written == 1 ? "" : "s");
  return 128 + signal;
}

std::string gServiceUrl;  // the bundle's service, for the account lines

void printLabel(const std::string& label) {
  std::printf("account: %s\n", accountLine(label, gServiceUrl).c_str());
  std::fflush(stdout);
}

void printCode(const std::string& address, const std::string& code) {
  std::printf("sign-in: open %s and enter the code %s\n", printable(address).c_str(),
              printable(code).c_str());
  std::fflush(stdout);
}

// Up to `count` indices spread evenly over n frames, first and last included.
std::vector<size_t> sheetFrames(size_t n, size_t count) {
  std::vector<size_t> picks;
  if (n == 0) return picks;
  if (n <= count) {
    for (size_t i = 0; i < n; ++i) picks.push_back(i);
    return picks;
  }
  for (size_t j = 0; j < count; ++j) picks.push_back(j * (n - 1) / (count - 1));
  return picks;
}

// Presses Generate Background at the frame's time and renders that frame
// until the red bars go; the worker runs in the background meanwhile.
Banner generateBackground(Session& session, const std::shared_ptr<HostImage>& frame, double time,
                          double waitSeconds, std::string& error) {
  pressButton(session, "generate", time);
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  if (!terminal) std::fprintf(stderr, "generating a background from frame %g...\n", time);
  Banner banner = Banner::None;
  for (int tick = 0;; ++tick) {
    double ms = 0;
    std::shared_ptr<HostImage> out;
    if (!renderImage(session, frame, time, out, ms, error)) return Banner::None;
    banner = readBanner(hostToRGBA8(*out), hostImageWidth(*out), hostImageHeight(*out));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (banner != Banner::Running) break;
    if (stopSignal() != 0) return Banner::Running;
    if (seconds > waitSeconds) {
      error = "the service did not answer in time (waited " +
              std::to_string(static_cast<int>(waitSeconds)) + " s; --wait sets the limit)";
      if (terminal) std::fputc('\n', stderr);
      return Banner::Running;
    }
    if (terminal) {
      std::fprintf(stderr, "\r%c generating a background from frame %g  %.1f s ",
                   spinnerGlyph(tick), time, seconds);
      std::fflush(stderr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  if (terminal) std::fputc('\n', stderr);
  return banner;
}

struct Clip {
  std::vector<std::string> paths;
  std::vector<long> numbers;  // from the file names, else positions
};

// The line for a generation that ended without a background.
std::string generationFailure(Banner banner, const std::string& url) {
  if (banner == Banner::OutOfCredits) return "out of credits — add credits to the account";
  if (banner == Banner::AuthRejected)
    return "session rejected — sign in again (run with --sign-in)";
  if (banner == Banner::None) return "the plug-in did not start a generation";
  if (!url.empty() && !serviceReachable(url, 3.0)) return "cannot reach " + url;
  return "the service could not generate a background (TALVANE_DEBUG=1 writes the plug-in's log)";
}

struct ServiceGuard {
  LocalService service;
  ~ServiceGuard() { stopLocalService(service); }
};

struct SessionGuard {
  Session session;
  ~SessionGuard() { closeSession(session); }
};

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so labels and results interleave with stderr's progress in logs.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  installStopHandlers();
  Options options;
  bool help = false;
  std::string error;
  if (!parseArgs(argc, argv, options, help, error)) {
    std::fprintf(stderr, "talvane-render: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();

  // ---- Inputs, and which of them this run renders.
  Clip clip;
  if (!listInputs(options.inputs, clip.paths, error)) return fail(error);
  bool numbered = true;
  for (const std::string& path : clip.paths)
    numbered = numbered && frameNumber(baseName(path)) >= 0;
  std::set<long> numbers;
  for (size_t i = 0; i < clip.paths.size(); ++i) {
    clip.numbers.push_back(numbered ? frameNumber(baseName(clip.paths[i])) : static_cast<long>(i));
    numbered = numbered && numbers.insert(clip.numbers.back()).second;
  }
  if (!numbered)
    for (size_t i = 0; i < clip.numbers.size(); ++i) clip.numbers[i] = static_cast<long>(i);
  std::vector<size_t> selected;
  for (size_t i = 0; i < clip.paths.size(); ++i)
    if (!options.hasRange || options.range.contains(clip.numbers[i])) selected.push_back(i);
  if (selected.empty()) {
    std::fprintf(stderr,
                 "talvane-render: --frames selects none of the frames %ld-%ld (see --help)\n",
                 clip.numbers.front(), clip.numbers.back());
    return 2;
  }
  long generateIndex = -1;
  if (options.generateAt >= 0) {
    for (size_t i = 0; i < clip.numbers.size(); ++i)
      if (clip.numbers[i] == options.generateAt) generateIndex = static_cast<long>(i);
    if (generateIndex < 0) {
      std::fprintf(stderr,
                   "talvane-render: --generate-at %ld is not a frame of the input (frames "
                   "%ld-%ld) (see --help)\n",
                   options.generateAt, clip.numbers.front(), clip.numbers.back());
      return 2;
    }
  }

  // ---- What the frames are, and what they become.
  ImageInfo info;
  if (!probeImage(clip.paths[selected[0]], info, error)) return fail(error);
  OutputFormat format;
  if (!chooseOutputFormat(info, options.format, options.outDepth, format, error)) {
    std::fprintf(stderr, "talvane-render: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.depth.empty())
    options.depth = info.sample == Sample::U8    ? kOfxBitDepthByte
                    : info.sample == Sample::U16 ? kOfxBitDepthShort
                                                 : kOfxBitDepthFloat;
  const int channels = info.channels == 2 || info.channels >= 4 ? 4 : 3;

  // ---- Outputs: never over an input, never over an existing file unless -y.
  const std::vector<size_t> picks = sheetFrames(selected.size(), 4);
  std::vector<FrameJob> jobs;
  int skipped = 0;
  for (size_t s = 0; s < selected.size(); ++s) {
    const std::string& input = clip.paths[selected[s]];
    std::string name = baseName(input);
    if (!options.format.empty()) {
      std::string stem = name.substr(0, std::min(name.size(), name.rfind('.')));
      name = stem + formatExtension(options.format);
    }
    FrameJob job;
    job.input = input;
    job.output = options.outDir + "/" + name;
    job.time = static_cast<double>(clip.numbers[selected[s]]);
    job.sheet =
        !options.contactSheet.empty() && std::find(picks.begin(), picks.end(), s) != picks.end();
    if (access(job.output.c_str(), F_OK) == 0) {
      for (const std::string& other : clip.paths)
        if (sameFile(job.output, other))
          return fail(job.output + " is the input " + other +
                      "; write the outputs to another folder");
      if (options.skipExisting) {
        ++skipped;
        continue;
      }
      if (!options.overwrite)
        return fail(job.output + " exists; -y overwrites existing outputs, -n skips them");
    }
    jobs.push_back(job);
  }
  if (!options.contactSheet.empty() && access(options.contactSheet.c_str(), F_OK) == 0) {
    for (const std::string& other : clip.paths)
      if (sameFile(options.contactSheet, other))
        return fail(options.contactSheet + " is the input " + other);
    if (!options.overwrite) return fail(options.contactSheet + " exists; -y overwrites it");
  }
  if (!prepareOutputDir(options.outDir, error)) return fail(error);

  // ---- The service, the bundle and its parameters.
  ServiceGuard local;
  if (options.localService) {
    if (!startLocalService(options.bundle, defaultCacheDir() + "/local-service-state.json",
                           local.service, error))
      return fail(error);
    options.bundle = local.service.bundle;
    std::printf("service: talvane-service on %s (pid %d)\n", local.service.url.c_str(),
                static_cast<int>(local.service.pid));
  }
  gServiceUrl = bundleServiceUrl(options.bundle);

  SessionGuard guard;
  Session& session = guard.session;
  unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
  if (!openSession(options.bundle, threads, options.depth, session, error)) return fail(error);
  if (options.composite >= 0) {
    if (!hasParam(session, "compositeMode"))
      return fail("--composite: this bundle has no compositing modes (" + options.bundle + ")");
    setParam(session, "compositeMode", options.composite);
  }
  if (options.hasPrompt) setParam(session, "prompt", options.prompt);
  for (const auto& param : options.params) setParam(session, param.first, param.second);

  // ---- Account.
  if (options.signOut) {
    pressButton(session, "signOut", 0.0);
    printLabel(accountLabel(session));
  }
  if (options.signIn) {
    if (paramShown(session, "signOut")) {
      std::printf("already signed in\n");
      printLabel(accountLabel(session));
    } else if (!signIn(session, options.waitSeconds, printLabel, printCode, error)) {
      if (stopSignal() != 0) return interrupted(0);
      if (error.compare(0, 24, "sign-in did not complete") == 0)
        return fail("sign-in did not complete: " + accountLine(accountLabel(session), gServiceUrl));
      return fail(error);
    }
  }

  // ---- The background: from the cache, or generated and then cached.
  const char* outcome = "not requested";
  if (!options.prompt.empty()) {
    CacheEntry entry = findCacheEntry(options.cacheDir, options.prompt);
    bool generate = !entry.found;
    if (entry.found && (entry.width != info.width || entry.height != info.height)) {
      std::fprintf(stderr,
                   "talvane-render: warning: the cached background for this prompt was made "
                   "for %dx%d frames, these are %dx%d; it is not used\n",
                   entry.width, entry.height, info.width, info.height);
      generate = true;
    }
    if (generate && options.noGenerate)
      return fail("no cached background for this prompt and these frames in " + options.cacheDir +
                  " (--no-generate)");
    if (!generate) {
      if (!seedWorkingFiles(&entry, kEffectKey, options.prompt, error)) return fail(error);
      outcome = "cached";
      std::printf("background: cached in %s\n", entry.dir.c_str());
    } else {
      if (generateIndex < 0) {
        // A stale entry is regenerated from the frame it was made from when
        // this clip has it, else from the first frame rendered.
        generateIndex = static_cast<long>(selected[0]);
        for (size_t i = 0; i < clip.numbers.size(); ++i)
          if (entry.found && clip.numbers[i] == entry.frame) generateIndex = static_cast<long>(i);
        if (!entry.found)
          return fail("no cached background for this prompt in " + options.cacheDir +
                      "; --generate-at FRAME generates one");
      }
      seedWorkingFiles(nullptr, kEffectKey, options.prompt, error);
      if (!paramShown(session, "signOut")) {
        const std::string line = accountLine(accountLabel(session), gServiceUrl);
        return fail(line.compare(0, 16, "session rejected") == 0
                        ? line
                        : "not signed in — run with --sign-in");
      }
      if (accountLine(accountLabel(session), gServiceUrl).find("cannot reach") != std::string::npos)
        return fail("cannot reach " + gServiceUrl);
      std::string grabPath = clip.paths[generateIndex];
      ImageInfo grabInfo;
      if (!probeImage(grabPath, grabInfo, error)) return fail(error);
      if (grabInfo.width != info.width || grabInfo.height != info.height)
        return fail(grabPath + ": frame is " + std::to_string(grabInfo.width) + "x" +
                    std::to_string(grabInfo.height) + ", the first frame is " +
                    std::to_string(info.width) + "x" + std::to_string(info.height));
      std::shared_ptr<HostImage> grab = makeFrameImage(session, info.width, info.height, channels);
      if (!readImage(grabPath, framePixels(*grab), error)) return fail(error);
      const double time = static_cast<double>(clip.numbers[generateIndex]);
      const std::string accountBefore = accountLabel(session);
      Banner banner = generateBackground(session, grab, time, options.waitSeconds, error);
      // The plug-in asks for the new balance once the generation has ended;
      // the summary's account line waits for that answer, a little.
      waitForAccountChange(session, accountBefore, 10.0);
      if (stopSignal() != 0) return interrupted(0);
      if (!error.empty()) return fail(error);
      outcome = banner == Banner::None ? "not started" : bannerName(banner);
      std::printf("generation: %s\n", outcome);
      if (banner != Banner::Done) return fail(generationFailure(banner, gServiceUrl));
      if (!storeCacheEntry(options.cacheDir, kEffectKey, options.prompt, info.width, info.height,
                           clip.numbers[generateIndex], error))
        return fail(error);
    }
  }

  // ---- The frames.
  Progress progress = startProgress(static_cast<int>(jobs.size()));
  PipelineStats stats;
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  const bool rendered = runPipeline(session, jobs, info.width, info.height, channels, format,
                                    std::min(4u, cores), progress, stats, error);
  finishProgress(progress);
  if (stopSignal() != 0) return interrupted(progress.done);
  if (!rendered) return fail(error);

  if (!options.contactSheet.empty() && !stats.sheet.empty()) {
    if (!writeContactSheet(options.contactSheet, stats.sheet, info.width, info.height, 320, error))
      return fail(error);
  }
  const double fps = stats.wallSeconds > 0 ? progress.done / stats.wallSeconds : 0.0;
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("frames: %d written", progress.done);
  if (skipped > 0) std::printf(", %d skipped (they exist)", skipped);
  std::printf("\nspeed: %.2f frames per second over the whole run of %.1f s\n",
              total > 0 ? progress.done / total : 0.0, total);
  std::printf("pipeline: %.2f frames per second reading, rendering and writing\n", fps);
  std::printf("plug-in: median %.1f ms per frame\naccount: %s\nbackground: %s\noutput: %s\n",
              medianMs(stats.renderMs), accountLine(accountLabel(session), gServiceUrl).c_str(),
              outcome, options.outDir.c_str());
  if (!options.contactSheet.empty())
    std::printf("contact sheet: %s\n", options.contactSheet.c_str());
  return 0;
}
