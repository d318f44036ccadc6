// render: the render action and everything it drives.
//
// The render action (render_action.cpp) reads the frame and the parameters,
// takes a pending generate request, starts the generation worker, paints the
// state's status bars, and either passes the frame through or hands it to the
// compositing pipeline (pipeline.cpp), which fits the cached background, builds
// the mask, tracks motion, composites on the host's threads (composite_run.cpp)
// and writes the output. Composite Refined uses the plates instead (imaging's
// renderRefined), falling back to Classic when a background has none. The pixel work itself
// (conversions, compositing kernels, masks, tracking) is imaging's; host images are touched only
// through imaging's conversions and pass-through copy.
//
// Cached image loading (cached_image.cpp)
//   loadCached    decodes a working PNG only when its path or modification
//                 time differs from what the slot holds.
//   atFrameSize   the slot's image at the frame's size, a resized copy kept in the
//                 instance while the file and both sizes stay.
//
// Generation worker (generation.cpp): the request, the returned background's
// difference image, anchor and Refined's two plates, counted in core's worker registry so that
// unload can wait for it.
//
// The render never reaches into the account panel: what the panel should show
// after a render is the caller's to do (renderAction's answer).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "core/core.h"
#include "imaging/imaging.h"

// What the caller of a render should do next.
enum class RenderFollowUp {
  None,
  RefreshAccount,  // a generation ended in a way that changes the balance or the session
};

// "OfxImageEffectActionRender": never throws; the host's answer is always kOfxStatOK.
RenderFollowUp renderAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

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
// The slot's RGBA8 image at width x height: its own pixels when it is that size, else a copy
// resized into sized (stb's sRGB resampler), made again only when the slot's file, time or
// size, or the size asked for, change.
const std::vector<uint8_t>& atFrameSize(const ImageSlot& slot, int width, int height,
                                        SizedImage& sized);

// ---- Work on the host's threads (composite_run.cpp) --------------------------------

// Runs compositeWorker on up to 16 host threads, or on the calling thread when the
// multithread suite is missing or fails.
void runComposite(CompositeJob& job);
// imaging's ParallelFor on the host's multithread suite (the calling thread alone
// when the suite is missing or refuses).
void hostParallelFor(int count, const std::function<void(int index)>& body);

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
  MaskSource maskSource = MaskSource::Auto;
  bool invertMask = false;
  bool trackMotion = true;
  bool refined = false;  // Composite: Refined
};

// The frame as an unpremultiplied RGBA8 buffer, top row first.
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  bool hasMatte = false;
};

// The status bar colour of a generation state; false for Idle (no bars).
bool bannerColour(GenerationState state, uint8_t& r, uint8_t& g, uint8_t& b);

// Fits the cached background (instance.bgCache, already loaded), builds the mask,
// tracks motion, composites into frame.rgba, draws the bars of state (all but
// Running and Idle) and writes the result into output. Reuses instance.fitted and
// instance.maskCache while their inputs are unchanged.
void compositePipeline(Instance& instance, const RenderParams& params, Frame& frame,
                       GenerationState state, const HostView& output);

// Takes a generate request: writes the grabbed frame and starts the worker
// (which reads the token), setting genState to Running, or to Failed when the
// thread cannot start. Does nothing for an empty prompt or while Running.
void startGeneration(Instance& instance, const std::string& prompt, const Frame& frame,
                     WorkerLauncher launch);

// ---- Generation worker ------------------------------------------------------------

// Copies owned by the worker; nothing refers back into the instance record.
struct GenerationJob {
  std::string key;     // the effect's key: names its working files
  int frameWidth = 0;  // the grabbed frame's size, which a far larger answer is brought down to
  int frameHeight = 0;
  std::string serviceUrl;
  std::string prompt;
  std::shared_ptr<std::atomic<int>> state;
};

// The worker's body: the token (Failed without one), request, check (an answer
// far larger than the frame is reduced to the frame's size here, so no render
// decodes it), rename, difference and anchor, then one write of the state. Runs
// on the calling thread.
void runGeneration(const GenerationJob& job);

// Starts runGeneration through launch, counted in core's worker registry. False when
// the thread could not be started: nothing runs then and the state is untouched.
bool startGenerationWorker(GenerationJob job, WorkerLauncher launch = launchDetached);
