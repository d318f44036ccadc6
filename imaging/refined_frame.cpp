// One frame of the Refined composite from its parts: the camera's move, both plates moved
// by it, the key against the moved backdrop, the user's mask shaping, and the composite.
#include <algorithm>
#include <cstring>
#include <functional>

#include "imaging/imaging.h"

int rowBandCount(int height) { return std::max(1, std::min(64, height / 64)); }

void inNumberedRowBands(int height, const ParallelFor& parallel,
                        const std::function<void(int, int, int)>& rows) {
  const int bands = rowBandCount(height);
  const auto band = [&](int i) {
    rows(i, static_cast<int>(static_cast<int64_t>(i) * height / bands),
         static_cast<int>((static_cast<int64_t>(i) + 1) * height / bands));
  };
  // One band is done here: handing it to the host's threads would only add their start.
  if (parallel && bands > 1) {
    parallel(bands, band);
  } else {
    for (int i = 0; i < bands; ++i) band(i);
  }
}

void inRowBands(int height, const ParallelFor& parallel,
                const std::function<void(int, int)>& rows) {
  inNumberedRowBands(height, parallel, [&](int, int first, int last) { rows(first, last); });
}

void renderRefined(const RefinedInputs& in, const uint8_t* frame, int width, int height,
                   uint8_t* out, CameraMotion* motionOut, const ParallelFor& parallel) {
  if (frame == nullptr || out == nullptr || width <= 0 || height <= 0 || in.plate == nullptr)
    return;
  const size_t n = static_cast<size_t>(width) * height;
  RefinedPlateCache own;
  RefinedPlateCache& moved = in.cache != nullptr ? *in.cache : own;
  // The frame is compared before anything is written: out may be the frame itself.
  const bool sameFrame =
      moved.frame.size() == n * 4 && std::memcmp(moved.frame.data(), frame, n * 4) == 0;
  CameraMotion motion;
  if (sameFrame) {
    motion = moved.motion;
  } else {
    if (in.reference != nullptr)
      motion = estimateCameraMotion(*in.reference, frame, width, height, parallel);
    moved.keyThreshold = -1;
    if (in.cache != nullptr) {
      moved.frame.assign(frame, frame + n * 4);
      moved.motion = motion;
    }
  }
  if (motionOut) *motionOut = motion;

  const PlateMap plateAt =
      plateMap(in.plateWidth, in.plateHeight, width, height, in.bgScale, in.panX, in.panY, motion);
  // The backdrop stays where the camera saw it: only the camera's move applies.
  const PlateMap backdropAt =
      plateMap(in.backdropWidth, in.backdropHeight, width, height, 1.0, 0.0, 0.0, motion);
  const auto same = [](const PlateMap& a, const PlateMap& b) {
    return a.ax == b.ax && a.bx == b.bx && a.ay == b.ay && a.by == b.by;
  };
  if (!(moved.valid && moved.plateSource == in.plate && moved.backdropSource == in.backdrop &&
        moved.plateWidth == in.plateWidth && moved.plateHeight == in.plateHeight &&
        moved.backdropWidth == in.backdropWidth && moved.backdropHeight == in.backdropHeight &&
        moved.width == width && moved.height == height && same(moved.plateAt, plateAt) &&
        same(moved.backdropAt, backdropAt))) {
    moved.valid = false;
    moved.plate.resize(n * 4);
    moved.backdrop.resize(in.backdrop != nullptr ? n * 4 : 0);
    inRowBands(height, parallel, [&](int first, int last) {
      resamplePlate(in.plate, in.plateWidth, in.plateHeight, plateAt, moved.plate.data(), width,
                    height, first, last);
      if (!moved.backdrop.empty())
        resamplePlate(in.backdrop, in.backdropWidth, in.backdropHeight, backdropAt,
                      moved.backdrop.data(), width, height, first, last);
    });
    moved.plateSource = in.plate;
    moved.backdropSource = in.backdrop;
    moved.plateWidth = in.plateWidth;
    moved.plateHeight = in.plateHeight;
    moved.backdropWidth = in.backdropWidth;
    moved.backdropHeight = in.backdropHeight;
    moved.width = width;
    moved.height = height;
    moved.plateAt = plateAt;
    moved.backdropAt = backdropAt;
    moved.valid = true;
  }
  const std::vector<uint8_t>& plate = moved.plate;
  const std::vector<uint8_t>& backdrop = moved.backdrop;

  // The key is read where it is kept (the render record's, or this render's own): a frame
  // rendered again takes it without a copy.
  std::vector<uint8_t> ownKey, mask;
  const std::vector<uint8_t>* keyAt = &ownKey;
  if (!in.maskNone) {
    if (in.matte != nullptr) {
      ownKey.assign(in.matte, in.matte + n);
    } else if (!backdrop.empty()) {
      // The backdrop estimate differs from the frame by noise only, not by a whole new
      // backdrop as the generate-time difference does: the key cuts at two fifths of
      // the Mask Threshold.
      UncoveredBackdrop uncovered;
      if (in.odds != nullptr && in.core != nullptr && in.backdropWidth == width &&
          in.backdropHeight == height) {
        uncovered.core = in.core;
        uncovered.width = width;
        uncovered.height = height;
        uncovered.map = backdropAt;
        uncovered.odds = in.odds;
      }
      const int cut = std::max(8, in.threshold * 2 / 5);
      const bool told = uncovered.odds != nullptr;
      if (!(moved.keyThreshold == cut && moved.keyUncovered == told)) {
        moved.key = differenceKey(frame, backdrop.data(), in.returned, in.footprint, width, height,
                                  cut, parallel, told ? &uncovered : nullptr);
        moved.keyThreshold = cut;
        moved.keyUncovered = told;
      }
      keyAt = &moved.key;
    } else {
      ownKey.assign(n, 255);
    }
    // Outer Feather blends the background into the subject's edge to hide a coarse mask;
    // here the key's edge is soft already and the plate has no subject to blend in.
    mask = buildMask(*keyAt, width, height, static_cast<float>(in.threshold), true, in.grow,
                     in.innerFeather, 0);
  }
  RefinedLayers L;
  L.width = width;
  L.height = height;
  L.source = frame;
  L.key = keyAt->empty() || backdrop.empty() ? nullptr : keyAt->data();
  L.mask = mask.empty() ? nullptr : mask.data();
  L.plate = plate.data();
  L.backdrop = backdrop.empty() ? nullptr : backdrop.data();
  L.blend = in.blend;
  L.output = out;
  inRowBands(height, parallel, [&](int first, int last) { compositeRefinedRows(L, first, last); });
}
