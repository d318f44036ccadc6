// The background mask as defined, step by step: classification, grow/shrink and the two
// feather ramps over the plain kernels that define morphH, morphV and boxBlur literally.
// mask_fast.cpp holds the fast kernels and the fused buildMask, which must match these
// byte for byte.
#include "imaging/imaging.h"
#include "imaging/mask_rules.h"

#include <algorithm>
#include <cstring>

namespace {

bool validGray(const std::vector<uint8_t>& mask, int width, int height) {
  return width > 0 && height > 0 &&
         mask.size() == static_cast<size_t>(width) * static_cast<size_t>(height);
}

}  // namespace

std::vector<uint8_t> buildMaskPlain(const std::vector<uint8_t>& source, int width, int height,
                                    float threshold, bool softMatte, int grow, int innerFeather,
                                    int outerFeather) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  // A source of the wrong size is a caller bug; keep the whole frame rather than read past it.
  if (source.size() != n) return std::vector<uint8_t>(n, 0);

  std::vector<uint8_t> w(n);
  if (softMatte) {
    w = source;
  } else {
    const uint8_t t = maskThresholdByte(threshold);
    for (size_t i = 0; i < n; ++i) w[i] = source[i] > t ? 255 : 0;
  }

  if (grow != 0) {
    const bool dilate = grow > 0;
    const int g = dilate ? grow : -grow;
    morphHPlain(w, width, height, g, dilate);
    morphVPlain(w, width, height, g, dilate);
  }

  if (innerFeather <= 0 && outerFeather <= 0) return w;

  // Both ramps start from the hard core, so soft matte values end here.
  std::vector<uint8_t>& core = w;
  for (size_t i = 0; i < n; ++i) core[i] = core[i] >= 128 ? 255 : 0;

  std::vector<uint8_t> inner = core;
  if (innerFeather > 0) {
    morphHPlain(inner, width, height, innerFeather, false);
    morphVPlain(inner, width, height, innerFeather, false);
    boxBlurPlain(inner, width, height, innerFeather);
  }
  std::vector<uint8_t> outer = core;
  if (outerFeather > 0) {
    morphHPlain(outer, width, height, outerFeather, true);
    morphVPlain(outer, width, height, outerFeather, true);
    boxBlurPlain(outer, width, height, outerFeather);
  }
  for (size_t i = 0; i < n; ++i) outer[i] = core[i] == 255 ? inner[i] : outer[i];
  return outer;
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
    for (int k = 0; k < height; ++k)
      sums[k + 1] = sums[k] + mask[static_cast<size_t>(k) * width + x];
    for (int y = 0; y < height; ++y) {
      const int lo = std::max(y - radius, 0);
      const int hi = std::min(y + radius, height - 1);
      out[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>((sums[hi + 1] - sums[lo]) / static_cast<uint32_t>(hi - lo + 1));
    }
  }
  mask.swap(out);
}

std::vector<uint8_t> joinedTo(const std::vector<uint8_t>& seeds,
                              const std::vector<uint8_t>& allowed, int width, int height) {
  if (!validGray(seeds, width, height) || !validGray(allowed, width, height)) return {};
  std::vector<uint8_t> joined = seeds;
  std::vector<uint32_t> queue;
  const auto spread = [&](int x, int y) {
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int nx = x + dx, ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
        const size_t j = static_cast<size_t>(ny) * width + nx;
        if (joined[j] || !allowed[j]) continue;
        joined[j] = 255;
        queue.push_back(static_cast<uint32_t>(j));
      }
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      // Most of a frame holds no seed: eight bytes at a time are passed over.
      uint64_t eight = 0;
      if (x + 8 <= width && (std::memcpy(&eight, &seeds[i], 8), eight == 0)) {
        x += 7;
        continue;
      }
      // Only a seed at the rim of its block can have an unjoined neighbour; eight seeds with
      // seeds all round are passed over at once.
      const auto allSet = [&](size_t at) {
        std::memcpy(&eight, &seeds[at], 8);
        return eight == ~uint64_t{0};
      };
      if (x > 0 && x + 9 <= width && y > 0 && y + 1 < height && allSet(i - 1) && allSet(i + 1) &&
          allSet(i - width) && allSet(i + width)) {
        x += 7;
        continue;
      }
      const bool rim =
          seeds[i] && (x == 0 || y == 0 || x + 1 == width || y + 1 == height || !seeds[i - 1] ||
                       !seeds[i + 1] || !seeds[i - width] || !seeds[i + width]);
      if (rim) spread(x, y);
    }
  while (!queue.empty()) {
    const uint32_t i = queue.back();
    queue.pop_back();
    spread(static_cast<int>(i % static_cast<uint32_t>(width)),
           static_cast<int>(i / static_cast<uint32_t>(width)));
  }
  return joined;
}
