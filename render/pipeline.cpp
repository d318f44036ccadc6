// The compositing half of a render: fit, mask, track, composite, bars, write.
//
// The fitted background and the difference-based mask are kept in the instance
// with the exact inputs they were made from. A working file decoded anew also
// drops what was made from its previous content (see loadSlot): a key of size
// and modification time alone cannot tell two files written in the same second
// apart.
#include <stb_image_resize2.h>

#include <cstdio>

#include "backend/backend.h"
#include "imaging/imaging.h"
#include "render/render.h"

namespace {

void fitBackground(Instance& in, const RenderParams& p, int width, int height) {
  FitKey key;
  key.frameWidth = width;
  key.frameHeight = height;
  key.bgWidth = in.bgCache.width;
  key.bgHeight = in.bgCache.height;
  key.bgMtime = in.bgCache.mtime;
  key.scale = p.bgScale;
  key.panX = p.bgOffX;
  key.panY = p.bgOffY;
  const FitKey& old = in.fitKey;
  const bool same = !in.fitted.pixels.empty() && old.frameWidth == key.frameWidth &&
                    old.frameHeight == key.frameHeight && old.bgWidth == key.bgWidth &&
                    old.bgHeight == key.bgHeight && old.bgMtime == key.bgMtime &&
                    old.scale == key.scale && old.panX == key.panX && old.panY == key.panY;
  if (same) return;
  in.fitted = transformBg(in.bgCache.pixels.data(), in.bgCache.width, in.bgCache.height, width,
                          height, static_cast<float>(p.bgScale), static_cast<float>(p.bgOffX),
                          static_cast<float>(p.bgOffY));
  in.fitKey = key;
  dbg("pipeline: fitted background");
}

// The reference difference brought to the frame's size; empty when it did not load.
std::vector<uint8_t> differenceMatte(const ImageSlot& diff, bool loaded, int width, int height) {
  if (!loaded) return {};
  if (diff.width == width && diff.height == height) return diff.pixels;
  std::vector<uint8_t> matte(static_cast<size_t>(width) * height, 0);
  stbir_resize_uint8_srgb(diff.pixels.data(), diff.width, diff.height, diff.width, matte.data(),
                          width, height, width, STBIR_1CHANNEL);
  return matte;
}

// The mask on the difference path: the cached mask, rebuilt only when an input
// changed.
const std::vector<uint8_t>& differenceMask(Instance& in, const RenderParams& p, int width,
                                           int height) {
  bool fresh = false;
  const bool loaded = loadSlot(in.diffCache, rawdiffFile(in.key, p.prompt), 1, fresh);
  // The slot keeps the last file that loaded; the key names the file this prompt asked for,
  // so a prompt whose difference is missing gets the missing-difference matte.

  if (fresh) in.maskCache.clear();
  MaskKey key;
  key.width = width;
  key.height = height;
  key.diffPath = rawdiffFile(in.key, p.prompt);
  key.diffMtime = in.diffCache.mtime;
  key.threshold = p.thresholdByte;
  key.grow = p.grow;
  key.innerFeather = p.innerFeather;
  key.outerFeather = p.outerFeather;
  key.maskSource = static_cast<int>(p.maskSource);
  key.invert = p.invertMask;
  const MaskKey& old = in.maskKey;
  const bool same = !in.maskCache.empty() && old.width == key.width && old.height == key.height &&
                    old.diffPath == key.diffPath && old.diffMtime == key.diffMtime &&
                    old.threshold == key.threshold && old.grow == key.grow &&
                    old.innerFeather == key.innerFeather && old.outerFeather == key.outerFeather &&
                    old.maskSource == key.maskSource && old.invert == key.invert;
  if (same) return in.maskCache;
  std::vector<uint8_t> matte = differenceMatte(in.diffCache, loaded, width, height);
  if (matte.empty()) matte.assign(static_cast<size_t>(width) * height, 255);
  in.maskCache = buildMask(matte, width, height, p.thresholdByte, false, p.grow, p.innerFeather,
                           p.outerFeather);
  in.maskKey = key;
  dbg("pipeline: built difference mask");
  return in.maskCache;
}

std::vector<uint8_t> sourceMatte(const Frame& f, bool invert) {
  const size_t n = static_cast<size_t>(f.width) * f.height;
  std::vector<uint8_t> matte(n);
  const uint8_t* px = f.rgba.data();
  if (invert) {
    for (size_t i = 0; i < n; ++i) matte[i] = static_cast<uint8_t>(255 - px[4 * i + 3]);
  } else {
    for (size_t i = 0; i < n; ++i) matte[i] = px[4 * i + 3];
  }
  return matte;
}

void trackShift(Instance& in, const RenderParams& p, const Frame& f, int& shiftX, int& shiftY) {
  shiftX = 0;
  shiftY = 0;
  if (!p.trackMotion) return;
  bool fresh = false;
  if (!loadSlot(in.anchorCache, anchorFile(in.key, p.prompt), 1, fresh)) return;
  const int n = in.anchorCache.width;
  if (n <= 0 || n != in.anchorCache.height) return;
  const std::vector<uint8_t> current =
      downsampleToGray(f.rgba.data(), f.width, f.height, n, hostParallelFor);
  const uint64_t packed = trackOffset(in.anchorCache.pixels, current, n, 32);
  const int dx = offsetDx(packed);
  const int dy = offsetDy(packed);
  shiftX = static_cast<int>(
      static_cast<float>(f.width) * static_cast<float>(dx) / static_cast<float>(n) + 0.5f);
  shiftY = static_cast<int>(
      static_cast<float>(f.height) * static_cast<float>(dy) / static_cast<float>(n) + 0.5f);
}

// Classic: the background as returned, fitted and shifted by whole pixels, over the
// generate-time difference mask or the host's matte.
void classicComposite(Instance& in, const RenderParams& p, Frame& f) {
  const int w = f.width;
  const int h = f.height;
  // Fit (the render action loaded the background slot just before).
  fitBackground(in, p, w, h);

  // Mask: null stands for 255 everywhere (mask source None).
  std::vector<uint8_t> matteMask;
  const std::vector<uint8_t>* mask = nullptr;
  if (p.maskSource == MaskSource::Auto) {
    if (f.hasMatte) {
      matteMask = buildMask(sourceMatte(f, p.invertMask), w, h, p.thresholdByte, true, p.grow,
                            p.innerFeather, p.outerFeather);
      mask = &matteMask;
    } else {
      mask = &differenceMask(in, p, w, h);
    }
  }

  // Motion.
  int shiftX = 0;
  int shiftY = 0;
  trackShift(in, p, f, shiftX, shiftY);

  // Composite in place: each output pixel reads only the source pixel it replaces.
  CompositeJob job;
  job.width = w;
  job.height = h;
  job.shiftX = shiftX;
  job.shiftY = shiftY;
  job.blend = p.blend;
  job.source = f.rgba.data();
  job.mask = mask;
  job.background = &in.fitted.pixels;
  job.coverage = &in.fitted.coverage;
  job.output = f.rgba.data();
  runComposite(job);
}

// The Refined composite into f.rgba; false (nothing done) when the plates are missing, as
// for a background generated before there were plates.
bool refinedComposite(Instance& in, const RenderParams& p, Frame& f) {
  const int w = f.width;
  const int h = f.height;
  bool plateFresh = false, backdropFresh = false;
  if (!loadSlot(in.plateCache, plateFile(in.key, p.prompt), 4, plateFresh) ||
      !loadSlot(in.backdropCache, backdropFile(in.key, p.prompt), 4, backdropFresh)) {
    dbg("pipeline: no plates, classic composite");
    return false;
  }
  if (plateFresh || backdropFresh) in.movedPlates = RefinedPlateCache{};
  // The backdrop at the frame's size; its alpha marks the footprint (under 128) and, within
  // it, where the returned image kept the subject (under 32).
  const std::vector<uint8_t>& backdrop = atFrameSize(in.backdropCache, w, h, in.backdropAtFrame);
  const std::vector<uint8_t>& returned = atFrameSize(in.bgCache, w, h, in.returnedAtFrame);
  if (backdropFresh || in.motionReferenceWidth != w || in.motionReferenceHeight != h) {
    const size_t n = static_cast<size_t>(w) * h;
    in.footprint.assign(n, 0);
    in.footprintCore.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
      in.footprint[i] = backdrop[i * 4 + 3] < 128 ? 255 : 0;
      in.footprintCore[i] = backdrop[i * 4 + 3] < 32 ? 255 : 0;
    }
    in.motionReference = prepareMotionReference(backdrop.data(), in.footprint, w, h);
    in.colourOdds =
        colourOdds(returned.data(), backdrop.data(), in.footprint, in.footprintCore, w, h);
    in.motionReferenceWidth = w;
    in.motionReferenceHeight = h;
    dbg("pipeline: prepared motion reference");
  }

  RefinedInputs r;
  r.plate = in.plateCache.pixels.data();
  r.plateWidth = in.plateCache.width;
  r.plateHeight = in.plateCache.height;
  r.backdrop = backdrop.data();
  r.backdropWidth = w;
  r.backdropHeight = h;
  // The plate has to follow the camera whatever Track Motion says: it holds no subject
  // to stay anchored to.
  r.reference = &in.motionReference;
  r.returned = returned.data();
  r.footprint = in.footprint.data();
  std::vector<uint8_t> matte;
  if (p.maskSource == MaskSource::Auto && f.hasMatte) {
    matte = sourceMatte(f, p.invertMask);
    r.matte = matte.data();
  }
  r.maskNone = p.maskSource != MaskSource::Auto;
  r.bgScale = p.bgScale;
  r.panX = p.bgOffX;
  r.panY = p.bgOffY;
  r.blend = p.blend;
  r.threshold = static_cast<int>(p.thresholdByte);
  r.grow = p.grow;
  r.innerFeather = p.innerFeather;
  r.outerFeather = p.outerFeather;
  r.cache = &in.movedPlates;
  r.core = in.footprintCore.data();
  r.odds = &in.colourOdds;
  renderRefined(r, f.rgba.data(), w, h, f.rgba.data(), nullptr, hostParallelFor);
  return true;
}

}  // namespace

void compositePipeline(Instance& in, const RenderParams& p, Frame& f, GenerationState state,
                       const HostView& output) {
  const int w = f.width;
  const int h = f.height;
  if (!(p.refined && refinedComposite(in, p, f))) classicComposite(in, p, f);

  // Result bars.
  uint8_t r, g, b;
  if (state != Running && bannerColour(state, r, g, b)) drawBanner(f.rgba, w, h, r, g, b);

  // Out.
  writeRGBA(f.rgba.data(), output, RowOrder::BottomUp);
}
