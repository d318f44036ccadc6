// talvane-render: renders PNG frames through the Talvane bundle from the
// command line, loading it in our own host library.
//
//   frames.cpp     which files the arguments name, PNG read and write, the
//                  output folder check and the contact sheet.
//   writer.cpp     output PNGs encoded on background threads.
//   progress.cpp   the progress line on stderr (a bar on a terminal, plain
//                  lines otherwise) and the median of the frame times.
//   outcome.cpp    what a rendered frame's status bars say.
//   session.cpp    the bundle in our host: one instance, its parameters, its
//                  buttons, and rendering one frame.
//   main.cpp       flags and the order of the work.
//
// Images here are RGBA8 buffers: width × height × 4 bytes, top row first.
// Failures are reported by return value with the reason in `error`; the
// reason always names the file it is about.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// ---- Inputs and files (frames.cpp) -------------------------------------------

// Expands the INPUT arguments into the frames to render, in order. Each
// argument is a PNG file, a directory (its *.png files in name order), or a
// printf-style pattern such as "frames/f%04d.png" (every file of its folder
// that matches, in number order). False with the reason when an argument
// names nothing, or when two inputs share a file name (their outputs would
// overwrite each other).
bool listInputs(const std::vector<std::string>& args, std::vector<std::string>& frames,
                std::string& error);

// The last component of a path.
std::string baseName(const std::string& path);

// Decodes a PNG into an RGBA8 buffer. False, naming the file and the reason,
// for a missing or unreadable file, one that is not a PNG, or a PNG that
// fails to decode.
bool readPng(const std::string& path, std::vector<uint8_t>& rgba, int& width, int& height,
             std::string& error);

// Encodes an RGBA8 buffer as a PNG. False with the file and the reason.
bool writePng(const std::string& path, const std::vector<uint8_t>& rgba, int width, int height,
              std::string& error);

// Creates dir (and missing parents) and proves it writable by creating and
// removing a probe file. False with the folder and the reason.
bool prepareOutputDir(const std::string& dir, std::string& error);

// Input frames above their rendered outputs, a few pairs side by side, scaled
// down to `cellWidth` pixels per cell with a thin dark gutter. Every pair has
// the size of the first.
struct SheetPair {
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
};
bool writeContactSheet(const std::string& path, const std::vector<SheetPair>& pairs, int width,
                       int height, int cellWidth, std::string& error);

// ---- Background PNG writing (writer.cpp) ------------------------------------------

struct PngWriter;
// Starts `threads` encoder threads; at most maxPending frames wait in line.
PngWriter* startWriter(unsigned threads, size_t maxPending);
// Hands a frame over, waiting while the line is full. False with the reason
// once any earlier write has failed; nothing more is queued then.
bool queuePng(PngWriter* writer, const std::string& path, std::vector<uint8_t> rgba, int width,
              int height, std::string& error);
// Writes everything still queued, stops the threads and frees the writer.
// False with the first failed write's reason.
bool finishWriter(PngWriter* writer, std::string& error);

// ---- Progress (progress.cpp) ---------------------------------------------------

struct Progress {
  int total = 0;
  int done = 0;
  bool terminal = false;  // stderr is a terminal: redraw one bar in place
  std::chrono::steady_clock::time_point start;
  std::vector<double> frameMs;
};

Progress startProgress(int total);
// Records one rendered frame and redraws the bar or prints one line.
void stepProgress(Progress& progress, const std::string& name, double ms);
// Ends the bar's line on a terminal.
void finishProgress(Progress& progress);
// Median of the recorded frame times; 0 with none.
double medianMs(std::vector<double> ms);

// One frame of a spinner for waits of unknown length.
char spinnerGlyph(int tick);

// ---- Status bars of a rendered frame (outcome.cpp) -------------------------------

// The host sees nothing of the plug-in's generation state; the plug-in shows
// it as solid bars along the top and bottom of the frame, one colour a state.
enum class Banner { None, Running, Done, Failed, OutOfCredits, AuthRejected };

// The state whose colour fills both the top-left and the bottom-right pixel
// (within a small tolerance for 16-bit and float round trips), or None.
Banner readBanner(const std::vector<uint8_t>& rgba, int width, int height);
// "running", "done", "failed", "out of credits", "auth rejected", "none".
const char* bannerName(Banner banner);

// ---- The bundle in our host (session.cpp) ----------------------------------------

struct Host;
struct HostInstance;

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

// Sets a parameter as a user would, and tells the plug-in it changed.
bool setParam(Session& session, const std::string& name, double value);
bool setParam(Session& session, const std::string& name, const std::string& value);
// Presses a push button at a time.
void pressButton(Session& session, const std::string& name, double time);

std::string accountLabel(Session& session);
// False when the parameter carries "OfxParamPropSecret" = 1.
bool paramShown(Session& session, const std::string& name);

// Renders one RGBA8 frame at `time` through host images of the session's
// depth; `out` gets the output as RGBA8 and `ms` the render action's time.
bool renderFrame(Session& session, const std::vector<uint8_t>& in, int width, int height,
                 double time, std::vector<uint8_t>& out, double& ms, std::string& error);

// Presses Sign In, then waits up to waitSeconds while the account panel shows
// the pending label, calling onLabel with every label the plug-in sets. True
// when the panel ends signed in (Sign Out shown).
bool signIn(Session& session, double waitSeconds, void (*onLabel)(const std::string& label),
            std::string& error);
