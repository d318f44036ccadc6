// talvane-render: renders image sequences through the Talvane bundle from the
// command line, loading it in our own host library. Built for render farms:
// any part of a shot renders on any node from a shared background cache, and
// nothing of the user's is ever overwritten or left half written.
//
//   frames.cpp        which files the arguments name, their frame numbers,
//                     --frames ranges, output names and the overwrite rules.
//   image_io.cpp      image files through OpenImageIO: probe, read into and
//                     write from pixel buffers at any depth, every write to a
//                     temporary name that is checked, then renamed.
//   background_cache.cpp  generated backgrounds kept per prompt in a cache
//                     folder, and the plug-in's working files seeded from it.
//   messages.cpp      what the tool says: account lines from the panel's
//                     labels, failure causes, text from the service cleaned.
//   progress.cpp      the progress line on stderr and the frame-time median.
//   outcome.cpp       what a rendered frame's status bars say.
//   session.cpp       the bundle in our host: one instance, its parameters,
//                     its buttons, rendering one frame (executable only).
//   pipeline.cpp      read-ahead, render, write-behind, and the stop on
//                     SIGINT/SIGTERM (executable only).
//   local_service.cpp --local-service: talvane-service started and stopped by
//                     the tool, with a bundle bound to its port (executable only).
//   main.cpp          flags and the order of the work.
//
// Failures are reported by return value with the reason in `error`; the
// reason always names the file it is about.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Inputs and files (frames.cpp) -------------------------------------------

// Expands the INPUT arguments into the frames to render, in order. Each
// argument is an image file, a directory (its image files in name order), or
// a printf-style pattern such as "frames/f%04d.exr" (every file of its folder
// that matches, in number order). False with the reason when an argument
// names nothing, or when two inputs share a file name (their outputs would
// overwrite each other).
bool listInputs(const std::vector<std::string>& args, std::vector<std::string>& frames,
                std::string& error);

// The last component of a path, and everything before it ("." for none).
std::string baseName(const std::string& path);
std::string dirName(const std::string& path);
// True for the extensions read here: png, exr, dpx, tif, tiff, jpg, jpeg (any case).
bool isImageName(const std::string& name);

// The frame number a file name carries: the last run of digits before the
// extension ("shot_v2.0101.exr" -> 101), or -1 without one.
long frameNumber(const std::string& name);

// "A-B" or "A-B xS" without the blank ("10-20x2"), or a single "A".
struct FrameRange {
  long first = 0, last = 0, step = 1;
  bool contains(long number) const {
    return number >= first && number <= last && (number - first) % step == 0;
  }
};
bool parseFrameRange(const std::string& text, FrameRange& range, std::string& error);

// Creates dir (and missing parents) and proves it writable by creating and
// removing a probe file. False with the folder and the reason.
bool prepareOutputDir(const std::string& dir, std::string& error);

// True when both paths name the same file (device and inode), whatever the names.
bool sameFile(const std::string& a, const std::string& b);

// Input frames above their rendered outputs, a few pairs side by side, scaled
// down to `cellWidth` pixels per cell with a thin dark gutter. Every pair has
// the size of the first; buffers are RGBA8, top row first.
struct SheetPair {
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
};
bool writeContactSheet(const std::string& path, const std::vector<SheetPair>& pairs, int width,
                       int height, int cellWidth, std::string& error);

// ---- Image files (image_io.cpp) ------------------------------------------------

enum class Sample { U8, U16, Half, Float };
int sampleBytes(Sample sample);

// What a file holds. bits is the stored precision (10 for a 10-bit DPX held
// as 16-bit samples); format is "png", "openexr", "tiff", "dpx" or "jpeg".
struct ImageInfo {
  int width = 0, height = 0, channels = 0;
  Sample sample = Sample::U8;
  int bits = 8;
  std::string format;
  std::string compression;  // as the file says, e.g. "zip" for OpenEXR
};
bool probeImage(const std::string& path, ImageInfo& info, std::string& error);

// Pixels in memory, top row first, rows rowStride bytes apart; 3 (RGB) or
// 4 (RGBA) channels of one sample type.
struct PixelView {
  uint8_t* data = nullptr;
  ptrdiff_t rowStride = 0;
  int width = 0, height = 0, channels = 4;
  Sample sample = Sample::U8;
};

// Reads a whole image into `into`, whose size must be the file's, converting
// the samples. Gray becomes RGB, gray+alpha RGBA, channels past the fourth
// are dropped; a file without alpha read into RGBA gets alpha 1. Stored
// values pass unchanged: a PNG's alpha is never premultiplied on the way.
bool readImage(const std::string& path, const PixelView& into, std::string& error);

// How an output is stored.
struct OutputFormat {
  std::string format;  // as in ImageInfo
  Sample sample = Sample::U8;
  int bits = 8;
  int channels = 4;
  std::string compression;  // empty: the format's default
};

// The output format for an input: the input's own unless format ("png",
// "exr", "dpx", "tif", "jpg" or their long names; empty keeps it) or depth
// ("8", "16", "half", "float"; empty keeps it when the format can store it,
// else the nearest it can) say otherwise. False when the format cannot store
// the depth asked for.
bool chooseOutputFormat(const ImageInfo& input, const std::string& format, const std::string& depth,
                        OutputFormat& out, std::string& error);
// The file extension for a format, with its dot (".exr").
std::string formatExtension(const std::string& format);

// Writes `from` as path: encoded to a temporary file in path's folder,
// every write and the close checked, then renamed over path. On any failure
// no file is left behind and path is untouched.
bool writeImage(const std::string& path, const PixelView& from, const OutputFormat& format,
                std::string& error);
// The marker every temporary output name carries.
inline constexpr char kTempMarker[] = ".talvane-tmp-";

// RGBA8 buffers (width × height × 4, top row first), for the contact sheet,
// the status bars and tests. The format follows the extension.
bool readRGBA8(const std::string& path, std::vector<uint8_t>& rgba, int& width, int& height,
               std::string& error);
bool writeRGBA8(const std::string& path, const std::vector<uint8_t>& rgba, int width, int height,
                std::string& error);

// ---- The background cache (background_cache.cpp) ---------------------------------

// Per prompt, a folder "<cacheDir>/<16 hex digits of the prompt key>" holding
// "background.png", "difference.png", "anchor.png" and "record.txt"; the
// record (prompt, frame size, frame it was generated from) is written last,
// so a folder without it is not an entry. Folders are moved into place
// whole, so nodes sharing the cache never see half an entry.
struct CacheEntry {
  bool found = false;
  int width = 0, height = 0;  // the frames it was generated for
  long frame = -1;            // the frame it was generated from
  std::string dir;
};
// $XDG_CACHE_HOME/talvane (else $HOME/.cache/talvane).
std::string defaultCacheDir();
CacheEntry findCacheEntry(const std::string& cacheDir, const std::string& prompt);
// Copies the entry's files over the plug-in's working files for the effect key
// (each through a temporary name), or removes those working files when entry
// is null, so the plug-in never composites a background the cache did not give.
bool seedWorkingFiles(const CacheEntry* entry, const std::string& key, const std::string& prompt,
                      std::string& error);
// Stores the plug-in's working files of a finished generation as the entry.
bool storeCacheEntry(const std::string& cacheDir, const std::string& key, const std::string& prompt,
                     int width, int height, long frame, std::string& error);

// ---- What the tool says (messages.cpp) -------------------------------------------

// text with every control character (C0, DEL, C1) removed, so text from the
// service cannot move the cursor or recolour the terminal.
std::string printable(const std::string& text);

// The account panel's label as a line of this tool ("signed out",
// "cli@example.com, 24 credits", "no credits left", ...): never the panel's
// own button wording. serviceUrl names the address in reachability lines.
std::string accountLine(const std::string& label, const std::string& serviceUrl);

// ---- Progress (progress.cpp) ---------------------------------------------------

struct Progress {
  int total = 0;
  int done = 0;
  bool terminal = false;  // stderr is a terminal: redraw one bar in place
  std::chrono::steady_clock::time_point start;
  std::vector<double> frameMs;
};

Progress startProgress(int total);
// Records one written frame (ms: the plug-in's render time of it) and redraws
// the bar or prints one line.
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
