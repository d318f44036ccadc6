// Background mask: classification, grow/shrink and the two feather ramps, plus the plain
// kernels that define morphH, morphV and boxBlur literally (the fast kernels live in
// mask_fast.cpp and must match these byte for byte).
#include "imaging/imaging.h"

#include <algorithm>

namespace {

bool validGray(const std::vector<uint8_t>& mask, int width, int height) {
  return width > 0 && height > 0 &&
         mask.size() == static_cast<size_t>(width) * static_cast<size_t>(height);
}

// Low 8 bits of the threshold truncated toward zero; thresholds outside the int range
// (never passed by the render action) count as 0 instead of being undefined.
uint8_t thresholdByte(float threshold) {
  if (!(threshold > -2147483648.0f && threshold < 2147483648.0f)) return 0;
  return static_cast<uint8_t>(static_cast<int>(threshold));
}

struct MaskKernels {
  void (*morphH)(std::vector<uint8_t>&, int, int, int, bool);
  void (*morphV)(std::vector<uint8_t>&, int, int, int, bool);
  void (*boxBlur)(std::vector<uint8_t>&, int, int, int);
};

std::vector<uint8_t> buildWith(const MaskKernels& k, const std::vector<uint8_t>& source,
                               int width, int height, float threshold, bool softMatte,
                               int grow, int innerFeather, int outerFeather) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  // A source of the wrong size is a caller bug; keep the whole frame rather than read past it.
  if (source.size() != n) return std::vector<uint8_t>(n, 0);

  std::vector<uint8_t> w(n);
  if (softMatte) {
    w = source;
  } else {
    const uint8_t t = thresholdByte(threshold);
    for (size_t i = 0; i < n; ++i) w[i] = source[i] > t ? 255 : 0;
  }

  if (grow != 0) {
    const bool dilate = grow > 0;
    const int g = dilate ? grow : -grow;
    k.morphH(w, width, height, g, dilate);
    k.morphV(w, width, height, g, dilate);
  }

  if (innerFeather <= 0 && outerFeather <= 0) return w;

  // Both ramps start from the hard core, so soft matte values end here.
  std::vector<uint8_t>& core = w;
  for (size_t i = 0; i < n; ++i) core[i] = core[i] >= 128 ? 255 : 0;

  std::vector<uint8_t> inner = core;
  if (innerFeather > 0) {
    k.morphH(inner, width, height, innerFeather, false);
    k.morphV(inner, width, height, innerFeather, false);
    k.boxBlur(inner, width, height, innerFeather);
  }
  std::vector<uint8_t> outer = core;
  if (outerFeather > 0) {
    k.morphH(outer, width, height, outerFeather, true);
    k.morphV(outer, width, height, outerFeather, true);
    k.boxBlur(outer, width, height, outerFeather);
  }
  for (size_t i = 0; i < n; ++i) outer[i] = core[i] == 255 ? inner[i] : outer[i];
  return outer;
}

}  // namespace

std::vector<uint8_t> buildMask(const std::vector<uint8_t>& source, int width, int height,
                               float threshold, bool softMatte, int grow, int innerFeather,
                               int outerFeather) {
  static const MaskKernels fast{morphH, morphV, boxBlur};
  return buildWith(fast, source, width, height, threshold, softMatte, grow, innerFeather,
                   outerFeather);
}

std::vector<uint8_t> buildMaskPlain(const std::vector<uint8_t>& source, int width, int height,
                                    float threshold, bool softMatte, int grow,
                                    int innerFeather, int outerFeather) {
  static const MaskKernels plain{morphHPlain, morphVPlain, boxBlurPlain};
  return buildWith(plain, source, width, height, threshold, softMatte, grow, innerFeather,
                   outerFeather);
}

void morphHPlain(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0) return;
  std::vector<uint8_t> out(mask.size());
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = mask.data() + static_cast<size_t>(y) * width;
    uint8_t* dst = out.data() + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const int lo = std::max(x - radius, 0);
      const int hi = std::min(x + radius, width - 1);
      uint8_t v = dilate ? 0 : 255;
      for (int i = lo; i <= hi; ++i) v = dilate ? std::max(v, row[i]) : std::min(v, row[i]);
      dst[x] = v;
    }
  }
  mask.swap(out);
}

void morphVPlain(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0) return;
  std::vector<uint8_t> out(mask.size());
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const int lo = std::max(y - radius, 0);
      const int hi = std::min(y + radius, height - 1);
      uint8_t v = dilate ? 0 : 255;
      for (int i = lo; i <= hi; ++i) {
        const uint8_t s = mask[static_cast<size_t>(i) * width + x];
        v = dilate ? std::max(v, s) : std::min(v, s);
      }
      out[static_cast<size_t>(y) * width + x] = v;
    }
  }
  mask.swap(out);
}

void boxBlurPlain(std::vector<uint8_t>& mask, int width, int height, int radius) {
  if (!validGray(mask, width, height) || radius <= 0) return;
  std::vector<uint8_t> out(mask.size());
  std::vector<uint32_t> sums(static_cast<size_t>(std::max(width, height)) + 1);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = mask.data() + static_cast<size_t>(y) * width;
    sums[0] = 0;
    for (int k = 0; k < width; ++k) sums[k + 1] = sums[k] + row[k];
    for (int x = 0; x < width; ++x) {
      const int lo = std::max(x - radius, 0);
      const int hi = std::min(x + radius, width - 1);
      out[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>((sums[hi + 1] - sums[lo]) / static_cast<uint32_t>(hi - lo + 1));
    }
  }
  mask.swap(out);
  for (int x = 0; x < width; ++x) {
    sums[0] = 0;
    for (int k = 0; k < height; ++k) sums[k + 1] = sums[k] + mask[static_cast<size_t>(k) * width + x];
    for (int y = 0; y < height; ++y) {
      const int lo = std::max(y - radius, 0);
      const int hi = std::min(y + radius, height - 1);
      out[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>((sums[hi + 1] - sums[lo]) / static_cast<uint32_t>(hi - lo + 1));
    }
  }
  mask.swap(out);
}
