// talvane-render: flags, then the work in order: inputs, output folder,
// bundle, parameters, account, generation, the frames, the summary.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "ofx/ofx.h"

#ifndef TALVANE_DEFAULT_BUNDLE
#define TALVANE_DEFAULT_BUNDLE "Talvane.ofx.bundle"
#endif

namespace {

const char kUsage[] =
    "usage: talvane-render [options] INPUT... -o OUTDIR\n"
    "\n"
    "Renders PNG frames through the Talvane plug-in into OUTDIR, keeping their\n"
    "file names. Frame i of the sequence is rendered at time i.\n"
    "INPUT is a PNG file, a folder (its .png files in name order), or a\n"
    "numbered pattern such as frames/f%04d.png.\n"
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
    "\n"
    "Account and generation:\n"
    "  --sign-in                press Sign In and wait for the approval in the browser\n"
    "  --sign-out               press Sign Out (forget the stored token)\n"
    "  --generate-at FRAME      generate a background from frame FRAME (0-based)\n"
    "                           before rendering; needs --prompt\n"
    "  --wait SECONDS           longest wait for sign-in or generation (default 120)\n"
    "\n"
    "Host:\n"
    "  --bundle PATH            Talvane.ofx.bundle to load (default: this build's)\n"
    "  --depth 8|16|float       host image depth (default 8)\n"
    "  --threads N              CPU count the host offers the plug-in\n"
    "  --contact-sheet FILE     also write a PNG of a few inputs above their outputs\n"
    "  -o, --output OUTDIR      output folder, created when missing\n"
    "  -h, --help               this text\n"
    "\n"
    "A background generated for a prompt stays cached under $HOME, so later runs\n"
    "with the same prompt composite it without generating again.\n"
    "\n"
    "Exit status: 0 success; 1 a frame could not be read or written, the bundle\n"
    "failed, sign-in did not complete, or generation ended failed, out of credits\n"
    "or auth rejected; 2 usage error.\n";

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
  std::string bundle = TALVANE_DEFAULT_BUNDLE;
  std::string depth = kOfxBitDepthByte;
  unsigned threads = 0;
  bool hasPrompt = false;
  std::string prompt;
  std::vector<std::pair<std::string, double>> params;  // in the order given
  bool signIn = false;
  bool signOut = false;
  long generateAt = -1;
  double waitSeconds = 120.0;
  std::string contactSheet;
};

struct UsageError {
  std::string message;
};

bool parseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && value == value;
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
    if (number) {
      double v = 0;
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
    } else if (arg == "--invert-mask") {
      if (!noValue()) return false;
      options.params.emplace_back("invertMask", 1.0);
    } else if (arg == "--track-motion") {
      if (!noValue()) return false;
      options.params.emplace_back("trackMotion", 1.0);
    } else if (arg == "--sign-in") {
      if (!noValue()) return false;
      options.signIn = true;
    } else if (arg == "--sign-out") {
      if (!noValue()) return false;
      options.signOut = true;
    } else if (arg == "--generate-at") {
      double v = 0;
      if (!takeValue()) return false;
      if (!parseNumber(value, v) || v < 0 || v != static_cast<long>(v)) {
        error = "--generate-at wants a frame number (0 or more), not '" + value + "'";
        return false;
      }
      options.generateAt = static_cast<long>(v);
    } else if (arg == "--wait") {
      if (!takeValue()) return false;
      if (!parseNumber(value, options.waitSeconds) || options.waitSeconds <= 0 ||
          options.waitSeconds > 3600) {
        error = "--wait wants seconds from 1 to 3600, not '" + value + "'";
        return false;
      }
    } else if (arg == "--bundle") {
      if (!takeValue()) return false;
      options.bundle = value;
    } else if (arg == "--depth") {
      if (!takeValue()) return false;
      if (value == "8") {
        options.depth = kOfxBitDepthByte;
      } else if (value == "16") {
        options.depth = kOfxBitDepthShort;
      } else if (value == "float" || value == "32") {
        options.depth = kOfxBitDepthFloat;
      } else {
        error = "--depth wants 8, 16 or float, not '" + value + "'";
        return false;
      }
    } else if (arg == "--threads") {
      double v = 0;
      if (!takeValue()) return false;
      if (!parseNumber(value, v) || v < 1 || v > 256 || v != static_cast<unsigned>(v)) {
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
  return true;
}

void printLabel(const std::string& label) {
  std::printf("account: %s\n", label.empty() ? "(signed out)" : label.c_str());
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

// Reads a later frame, which must have the first frame's size.
bool readFrameOfSize(const std::string& path, int width, int height, std::vector<uint8_t>& rgba,
                     std::string& error) {
  int w = 0, h = 0;
  if (!readPng(path, rgba, w, h, error)) return false;
  if (w == width && h == height) return true;
  error = path + ": frame is " + std::to_string(w) + "x" + std::to_string(h) +
          ", the first frame is " + std::to_string(width) + "x" + std::to_string(height);
  return false;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "talvane-render: %s\n", message.c_str());
  return 1;
}

// Presses Generate Background at the frame's time and renders that frame
// until the red bars go; the worker runs in the background meanwhile.
Banner generateBackground(Session& session, const std::vector<uint8_t>& frame, int width,
                          int height, long time, double waitSeconds, std::string& error) {
  pressButton(session, "generate", static_cast<double>(time));
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  if (!terminal) std::fprintf(stderr, "generating a background from frame %ld...\n", time);
  std::vector<uint8_t> out;
  Banner banner = Banner::None;
  for (int tick = 0;; ++tick) {
    double ms = 0;
    if (!renderFrame(session, frame, width, height, static_cast<double>(time), out, ms, error))
      return Banner::None;
    banner = readBanner(out, width, height);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (banner != Banner::Running) break;
    if (seconds > waitSeconds) {
      error =
          "generation still running after " + std::to_string(static_cast<int>(waitSeconds)) + " s";
      if (terminal) std::fputc('\n', stderr);
      return Banner::Running;
    }
    if (terminal) {
      std::fprintf(stderr, "\r%c generating a background from frame %ld  %.1f s ",
                   spinnerGlyph(tick), time, seconds);
      std::fflush(stderr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  if (terminal) std::fputc('\n', stderr);
  return banner;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so labels and results interleave with stderr's progress in logs.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  bool help = false;
  std::string error;
  if (!parseArgs(argc, argv, options, help, error)) {
    std::fprintf(stderr, "talvane-render: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  std::vector<std::string> frames;
  if (!listInputs(options.inputs, frames, error)) return fail(error);
  if (options.generateAt >= static_cast<long>(frames.size())) {
    std::fprintf(stderr, "talvane-render: --generate-at %ld is past the last frame (%zu frames)\n",
                 options.generateAt, frames.size());
    return 2;
  }
  if (!prepareOutputDir(options.outDir, error)) return fail(error);

  int width = 0, height = 0;
  std::vector<uint8_t> first;
  if (!readPng(frames[0], first, width, height, error)) return fail(error);

  Session session;
  unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
  if (!openSession(options.bundle, threads, options.depth, session, error)) return fail(error);
  struct Closer {
    Session& session;
    ~Closer() { closeSession(session); }
  } closer{session};

  if (options.hasPrompt) setParam(session, "prompt", options.prompt);
  for (const auto& param : options.params) setParam(session, param.first, param.second);

  if (options.signOut) {
    pressButton(session, "signOut", 0.0);
    printLabel(accountLabel(session));
  }
  if (options.signIn) {
    if (paramShown(session, "signOut")) {
      std::printf("already signed in\n");
      printLabel(accountLabel(session));
    } else if (!signIn(session, options.waitSeconds, printLabel, error)) {
      return fail(error);
    }
  }

  const char* outcome = "not requested";
  if (options.generateAt >= 0) {
    std::vector<uint8_t> grab;
    if (!readFrameOfSize(frames[options.generateAt], width, height, grab, error))
      return fail(error);
    Banner banner = generateBackground(session, grab, width, height, options.generateAt,
                                       options.waitSeconds, error);
    if (!error.empty()) return fail(error);
    // No bars at all: the plug-in dropped the request (it does so silently).
    outcome = banner == Banner::None ? "not started" : bannerName(banner);
    std::printf("generation: %s\n", outcome);
    if (banner == Banner::Failed)
      return fail("generation failed (see the plug-in's debug log: TALVANE_DEBUG=1)");
    if (banner == Banner::OutOfCredits)
      return fail("generation failed: out of credits (the account has no tokens left)");
    if (banner == Banner::AuthRejected)
      return fail("generation failed: auth rejected (sign in again with --sign-in)");
  }

  const std::vector<size_t> picks = sheetFrames(frames.size(), 4);
  std::vector<SheetPair> sheet;
  Progress progress = startProgress(static_cast<int>(frames.size()));
  // Rendering takes one core (plus the plug-in's bands); encoders get the rest.
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  PngWriter* writer = startWriter(std::min(4u, cores - 1), 4);
  bool rendered = true;
  for (size_t i = 0; i < frames.size() && rendered; ++i) {
    std::vector<uint8_t> in = i == 0 ? std::move(first) : std::vector<uint8_t>();
    if (i > 0 && !readFrameOfSize(frames[i], width, height, in, error)) {
      rendered = false;
      break;
    }
    std::vector<uint8_t> out;
    double ms = 0;
    if (!renderFrame(session, in, width, height, static_cast<double>(i), out, ms, error)) {
      error = frames[i] + ": " + error;
      rendered = false;
      break;
    }
    if (!options.contactSheet.empty() && std::find(picks.begin(), picks.end(), i) != picks.end())
      sheet.push_back({std::move(in), out});
    rendered = queuePng(writer, options.outDir + "/" + baseName(frames[i]), std::move(out), width,
                        height, error);
    if (rendered) stepProgress(progress, baseName(frames[i]), ms);
  }
  // Frames rendered before a failure are still written.
  std::string writeError;
  const bool written = finishWriter(writer, writeError);
  finishProgress(progress);
  if (!rendered) return fail(error);
  if (!written) return fail(writeError);

  if (!options.contactSheet.empty()) {
    if (!writeContactSheet(options.contactSheet, sheet, width, height, 320, error))
      return fail(error);
  }
  std::printf("frames: %d\nmedian: %.1f ms per frame\naccount: %s\ngeneration: %s\noutput: %s\n",
              progress.done, medianMs(progress.frameMs),
              accountLabel(session).empty() ? "(signed out)" : accountLabel(session).c_str(),
              outcome, options.outDir.c_str());
  if (!options.contactSheet.empty())
    std::printf("contact sheet: %s\n", options.contactSheet.c_str());
  return 0;
}
