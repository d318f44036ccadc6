// Background fit: the generated background stretched to the frame, scaled about the
// frame's centre, panned, and cut to the frame by exact integer pixel copies.
#include "imaging/imaging.h"

#include <algorithm>
#include <cstring>

#include "stb_image_resize2.h"

namespace {
// Truncated product; below 2 becomes 1. Non-finite or absurdly large products (outside
// the parameter ranges) are held to sizes that can be allocated.
int scaledSide(float product) {
  constexpr float kLargest = 1 << 20;
  if (!(product >= 2.0f)) return 1;
  if (product > kLargest) return static_cast<int>(kLargest);
  return static_cast<int>(product);
}

int panPixels(float pan, int side) {
  const float p = pan / 100.0f * static_cast<float>(side);
  if (!(p > -2147483648.0f && p < 2147483648.0f)) return 0;
  return static_cast<int>(p);
}
}  // namespace

BgTransform transformBg(const uint8_t* background, int bgWidth, int bgHeight, int width, int height,
                        float scale, float panX, float panY) {
  BgTransform out;
  if (width < 1 || height < 1) return out;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  out.pixels.assign(n * 4, 0);
  out.coverage.assign(n, 0);

  const int sw = scaledSide(static_cast<float>(width) * scale);
  const int sh = scaledSide(scale * static_cast<float>(height));
  std::vector<uint8_t> scaled(static_cast<size_t>(sw) * sh * 4, 0);
  // A failed resample leaves the scaled image zero; covered pixels then get 0, 0, 0, 0.
  if (background != nullptr && bgWidth > 0 && bgHeight > 0)
    stbir_resize_uint8_srgb(background, bgWidth, bgHeight, bgWidth * 4, scaled.data(), sw, sh,
                            sw * 4, STBIR_RGBA);

  const int ox = (sw - width) / 2 - panPixels(panX, width);
  const int oy = (sh - height) / 2 - panPixels(panY, height);
  // Columns x with 0 <= ox + x < sw, the same span on every covered row.
  const long x0 = std::max<long>(0, -static_cast<long>(ox));
  const long x1 = std::min<long>(width, static_cast<long>(sw) - ox);
  if (x1 <= x0) return out;
  for (int y = 0; y < height; ++y) {
    const long sy = static_cast<long>(oy) + y;
    if (sy < 0 || sy >= sh) continue;
    const uint8_t* src = scaled.data() + (static_cast<size_t>(sy) * sw + (ox + x0)) * 4;
    std::memcpy(out.pixels.data() + (static_cast<size_t>(y) * width + x0) * 4, src,
                static_cast<size_t>(x1 - x0) * 4);
    std::memset(out.coverage.data() + static_cast<size_t>(y) * width + x0, 255,
                static_cast<size_t>(x1 - x0));
  }
  return out;
}

bool reduceToFrame(std::vector<uint8_t>& rgba, int& width, int& height, int frameWidth,
                   int frameHeight) {
  if (width <= 0 || height <= 0 || frameWidth <= 0 || frameHeight <= 0) return false;
  if (rgba.size() != static_cast<size_t>(width) * height * 4) return false;
  const int64_t pixels = static_cast<int64_t>(width) * height;
  const int64_t framePixels = static_cast<int64_t>(frameWidth) * frameHeight;
  const bool tooLarge =
      pixels > kReduceFactor * framePixels || width > kReduceSide || height > kReduceSide;
  if (!tooLarge || framePixels >= pixels) return false;  // never made larger
  std::vector<uint8_t> reduced(static_cast<size_t>(frameWidth) * frameHeight * 4);
  if (!stbir_resize_uint8_srgb(rgba.data(), width, height, width * 4, reduced.data(), frameWidth,
                               frameHeight, frameWidth * 4, STBIR_RGBA))
    return false;
  rgba.swap(reduced);
  width = frameWidth;
  height = frameHeight;
  return true;
}
