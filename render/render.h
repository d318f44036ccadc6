// render: the render action and everything it drives.
//
// The render action (render_action.cpp) reads the frame and the parameters,
// takes a pending generate request, starts the generation worker, paints the
// state's status bars, and either passes the frame through or hands it to the
// compositing pipeline (pipeline.cpp), which fits the cached background, builds
// the mask, tracks motion, composites on the host's threads and writes the
// output. All internal images are RGBA8 / gray8 buffers (see imaging/imaging.h);
// host images are touched only by the conversions and the pass-through copy.
//
// Pixel conversion (convert.cpp, plain twins in convert_plain.cpp)
//   extractRGBA   host image (8-bit, 16-bit or float; RGBA or RGB) -> top-down
//                 RGBA8 buffer. RGB images read with alpha 255.
//   writeRGBA     RGBA8 buffer -> host image; RGB images get no alpha. Writes
//                 exactly width pixels per row: row padding is never touched.
//   rowBytes is signed: a negative value walks the host rows backwards.
//   Rules: 16-bit v -> v >> 8, b -> b << 8; float v -> 0 below 0 or NaN, 255
//   above 1, else trunc(v * 255 + 0.5) in single precision; b -> b / 255.
//
// Pass-through (passthrough.cpp)
//   copyRows      byte copy of host rows with signed strides.
//   copyOverlap   byte copy of the pixels two host images share, by position.
//
// Cached image loading (cached_image.cpp)
//   loadCached    decodes a working PNG only when its path or modification
//                 time differs from what the slot holds.
//
// Compositing (composite.cpp, plain twin in composite_plain.cpp; driven by
// runComposite in composite_run.cpp on the host's multithread suite)
//   compositeWorker  one band of rows: a = (c/255)*(m/255)*blend in single
//                    precision, out = trunc(bg*a + src*(1-a)), alpha 255.
//
// Kernels with one file per instruction set (kernels_sse2.cpp on x86-64,
// kernels_neon.cpp on arm64, kernels_generic.cpp elsewhere): the float-to-byte row conversion and
// the blend of one layer run, each equal to its rule byte for byte.
//
// Generation worker (generation.cpp) and the process-wide registry of
// detached workers (workers.cpp) that unload waits on with a bound.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "plugin/plugin.h"

// "OfxImageEffectActionRender": always leaves the host with kOfxStatOK.
void renderAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

// ---- Pixel conversion ------------------------------------------------------------

// Bytes of one component: 4 for float, 2 for 16-bit, 1 for 8-bit (isFloat wins).
int bytesPerComponent(bool isFloat, bool isShort);

// The RGBA8 buffer of a frame is indexed with 32-bit signed sizes: frames whose
// width * height * 4 exceeds 2,147,483,647 bytes (or with a negative side) are
// outside the supported range.
bool frameFitsRGBA8(int width, int height);

// components: 4 (RGBA) or 3 (RGB). The three-argument-shorter forms are RGBA.
std::vector<uint8_t> extractRGBA(const void* src, int width, int height, int rowBytes,
                                 bool flipRows, bool isFloat, bool isShort);
std::vector<uint8_t> extractRGBA(const void* src, int width, int height, int rowBytes,
                                 int components, bool flipRows, bool isFloat, bool isShort);
void writeRGBA(const uint8_t* rgba, int width, int height, void* dst, int rowBytes, bool flipRows,
               bool isFloat, bool isShort);
void writeRGBA(const uint8_t* rgba, int width, int height, void* dst, int rowBytes, int components,
               bool flipRows, bool isFloat, bool isShort);

// Reference twins: the rules applied one component at a time, as defined.
std::vector<uint8_t> extractRGBAPlain(const void* src, int width, int height, int rowBytes,
                                      int components, bool flipRows, bool isFloat, bool isShort);
void writeRGBAPlain(const uint8_t* rgba, int width, int height, void* dst, int rowBytes,
                    int components, bool flipRows, bool isFloat, bool isShort);

// ---- Pass-through ----------------------------------------------------------------

// Copies height rows; row r of the source starts at src + r * srcRowBytes and goes
// to dst + r * dstRowBytes (64-bit signed offsets). Each row copies
// min(|srcRowBytes|, |dstRowBytes|, rowLength) bytes.
void copyRows(const void* src, int srcRowBytes, void* dst, int dstRowBytes, int height,
              int64_t rowLength);

// A host image as the render action sees it.
struct HostView {
  void* data = nullptr;
  int rowBytes = 0;
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // bounds
  int components = 4;                  // 4 RGBA, 3 RGB, 1 alpha
  bool isFloat = false;
  bool isShort = false;
  int width() const { return x2 - x1; }
  int height() const { return y2 - y1; }
  int bytesPerPixel() const { return components * bytesPerComponent(isFloat, isShort); }
};

// Copies the pixels whose positions lie inside both images' bounds, byte for
// byte. Nothing happens unless both have the same components and depth.
void copyOverlap(const HostView& src, const HostView& dst);

// ---- Cached image loading --------------------------------------------------------

// True when pixels hold the content of file with channels per pixel. Decodes only
// when path or mtime (whole seconds) differ from the file's; on failure the slot
// is left exactly as it was.
bool loadCached(std::vector<uint8_t>& pixels, std::string& path, long& mtime, int& width,
                int& height, const std::string& file, int channels);
inline bool loadCached(ImageSlot& slot, const std::string& file, int channels) {
  return loadCached(slot.pixels, slot.path, slot.mtime, slot.width, slot.height, file, channels);
}
// As loadCached; fresh tells whether the pixels were decoded by this call, so
// whatever was made from the previous content can be dropped.
bool loadSlot(ImageSlot& slot, const std::string& file, int channels, bool& fresh);

// ---- Compositing ----------------------------------------------------------------

// Shared read-only by every thread of one compositing run; only output rows are
// written. A null mask stands for a mask of 255 everywhere. source and output may
// be the same buffer: each output pixel depends only on the source pixel at the
// same index.
struct CompositeJob {
  int width = 0;
  int height = 0;
  int shiftX = 0;
  int shiftY = 0;
  float blend = 1.0f;
  const uint8_t* source = nullptr;
  const std::vector<uint8_t>* mask = nullptr;
  const std::vector<uint8_t>* background = nullptr;
  const std::vector<uint8_t>* coverage = nullptr;
  uint8_t* output = nullptr;
};

// Rows [first, last) of thread index out of count: first = index * height / count.
struct RowBand {
  int first;
  int last;
};
RowBand rowBand(unsigned int index, unsigned int count, int height);

// The host suite's thread-function signature; customArg is a CompositeJob.
void compositeWorker(unsigned int threadIndex, unsigned int threadCount, void* customArg);
void compositeWorkerPlain(unsigned int threadIndex, unsigned int threadCount, void* customArg);

// Runs compositeWorker on up to 16 host threads, or on the calling thread when the
// multithread suite is missing or fails.
void runComposite(CompositeJob& job);

// ---- Render action and compositing pipeline ----------------------------------------

// Runs body on a new detached thread; throws (std::system_error) when the
// thread cannot be started.
using WorkerLauncher = void (*)(std::function<void()> body);
void launchDetached(std::function<void()> body);

// Parameter values of one render, converted as the render uses them.
struct RenderParams {
  std::string prompt;
  float blend = 1.0f;
  float thresholdByte = 51.0f;  // threshold / 100 * 255 in double, then float
  int grow = 0;
  int innerFeather = 0;
  int outerFeather = 5;
  double bgScale = 1.0;
  double bgOffX = 0.0;
  double bgOffY = 0.0;
  int maskSource = 0;  // 0 Auto, 1 None
  bool invertMask = false;
  bool trackMotion = true;
};

// The frame as an unpremultiplied RGBA8 buffer, top row first.
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  bool hasMatte = false;
};

// The status bar colour of a generation state; false for Idle (no bars).
bool bannerColour(int state, uint8_t& r, uint8_t& g, uint8_t& b);

// Fits the cached background (instance.bgCache, already loaded), builds the mask,
// tracks motion, composites into frame.rgba, draws the bars of state (all but
// Running and Idle) and writes the result into output. Reuses instance.fitted and
// instance.maskCache while their inputs are unchanged.
void compositePipeline(Instance& instance, const RenderParams& params, Frame& frame, int state,
                       const HostView& output);

// Takes a generate request: reads the token, writes the grabbed frame and starts
// the worker, setting genState to Running, or to Failed when there is no token
// or the thread cannot start. Does nothing for an empty prompt or while Running.
void startGeneration(Instance& instance, const std::string& prompt, const Frame& frame,
                     WorkerLauncher launch);

// ---- Kernels (one file per instruction set) ----------------------------------------

// The float rule for one component: 0 below 0 or NaN, 255 above 1, else
// trunc(v * 255 + 0.5). The first select fails for NaN, which becomes 0.
inline uint8_t floatToByte(float v) {
  float c = v > 0.0f ? v : 0.0f;
  c = c < 1.0f ? c : 1.0f;
  return static_cast<uint8_t>(static_cast<int>(c * 255.0f + 0.5f));
}

// The compositing rule for one pixel whose layer position is inside the frame.
// Mask or coverage 0 gives a = 0, and bg * 0 + src * 1 is exactly src.
inline void blendPixel(const uint8_t* src, const uint8_t* bg, uint8_t m, uint8_t c, float blend,
                       uint8_t* out) {
  const float a = (c / 255.0f) * (m / 255.0f) * blend;
  const uint8_t r = static_cast<uint8_t>(static_cast<int>(bg[0] * a + src[0] * (1.0f - a)));
  const uint8_t g = static_cast<uint8_t>(static_cast<int>(bg[1] * a + src[1] * (1.0f - a)));
  const uint8_t b = static_cast<uint8_t>(static_cast<int>(bg[2] * a + src[2] * (1.0f - a)));
  out[0] = r;  // written after all reads: out may be src
  out[1] = g;
  out[2] = b;
  out[3] = 255;
}

// count floats (host memory, any alignment) -> bytes by the float rule.
void floatsToBytes(const unsigned char* src, uint8_t* dst, int count);

// Smallest and largest alpha of count RGBA8 pixels (255 and 0 when count is 0).
void alphaRange(const uint8_t* rgba, int64_t count, int& lowest, int& highest);

// count pixels of a layer run: for pixel k, m = mask[k] (255 when mask is null),
// c = cov[k], a = (c/255)*(m/255)*blend, out RGB = trunc(bg*a + src*(1-a)), alpha
// 255. out may equal src.
void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count);

// ---- Generation worker ------------------------------------------------------------

// Copies owned by the worker; nothing refers back into the instance record.
struct GenerationJob {
  uint64_t id = 0;
  std::string serviceUrl;
  std::string token;
  std::string prompt;
  std::shared_ptr<std::atomic<int>> state;
};

// The worker's body: request, rename, difference and anchor, then one write of
// the state. Runs on the calling thread.
void runGeneration(const GenerationJob& job);

// Starts runGeneration through launch, counted in the registry below. False when
// the thread could not be started: nothing runs then and the state is untouched.
bool startGenerationWorker(GenerationJob job, WorkerLauncher launch = launchDetached);

// The registry of detached workers (workerStarted, waitForBackgroundWorkers, ...)
// lives in backend/backend.h beside the stop switch.
