// Motion anchor and tracking: both the grabbed frame and each current frame are reduced
// to small luma squares, and the shift between them is found by coarse-to-fine SAD block
// matching. The search order and strict comparisons decide ties, so they are part of the
// result.
#include "imaging/imaging.h"
#include "imaging/pngfile.h"
#include "imaging/sad.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "stb_image_resize2.h"

namespace {

constexpr int64_t kNoOverlap = std::numeric_limits<int64_t>::max();

// Mean absolute difference in units of 1/10000 over the overlap of the anchor shifted by
// (dx, dy) with the current square.
template <class Sad>
int64_t matchCost(const uint8_t* anchor, const uint8_t* current, int s, int64_t dx, int64_t dy,
                  Sad sad) {
  const int64_t y0 = std::max<int64_t>(dy, 0), y1 = std::min<int64_t>(s, s + dy);
  const int64_t x0 = std::max<int64_t>(dx, 0), x1 = std::min<int64_t>(s, s + dx);
  if (y1 <= y0 || x1 <= x0) return kNoOverlap;
  const int rows = static_cast<int>(y1 - y0), cols = static_cast<int>(x1 - x0);
  const uint64_t sum =
      sad(anchor + (y0 - dy) * s + (x0 - dx), current + y0 * s + x0, s, rows, cols);
  const int64_t count = static_cast<int64_t>(rows) * cols;
  return static_cast<int64_t>(sum * 10000u) / count;
}

uint64_t packShift(int64_t dx, int64_t dy) {
  return static_cast<uint64_t>(static_cast<uint32_t>(static_cast<int32_t>(dx))) |
         (static_cast<uint64_t>(static_cast<uint32_t>(static_cast<int32_t>(dy))) << 32);
}

// First lattice point -range + 4k that is above -s, so that a candidate can overlap.
// Lattice points outside (-s, s) never win, so leaving them out changes nothing and keeps
// an absurd range from looping for ever.
int64_t firstUseful(int64_t range, int s) {
  const int64_t lowest = -range;
  const int64_t wanted = -static_cast<int64_t>(s) + 1;
  if (lowest >= wanted) return lowest;
  return lowest + (wanted - lowest + 3) / 4 * 4;
}

template <class Sad>
uint64_t search(const std::vector<uint8_t>& anchor, const std::vector<uint8_t>& current, int size,
                int range, Sad sad) {
  if (size <= 0) return 0;
  const size_t n = static_cast<size_t>(size) * static_cast<size_t>(size);
  if (anchor.size() != n || current.size() != n) return 0;
  const uint8_t* a = anchor.data();
  const uint8_t* q = current.data();
  int64_t bx = 0, by = 0, bestCost = kNoOverlap;
  const auto consider = [&](int64_t dx, int64_t dy) {
    const int64_t c = matchCost(a, q, size, dx, dy, sad);
    if (c < bestCost) {
      bestCost = c;
      bx = dx;
      by = dy;
    }
  };
  if (range >= 0) {
    const int64_t first = firstUseful(range, size);
    const int64_t last = std::min<int64_t>(range, size - 1);
    for (int64_t dy = first; dy <= last; dy += 4)
      for (int64_t dx = first; dx <= last; dx += 4) consider(dx, dy);
  }
  const int64_t cx = bx, cy = by;
  for (int64_t dy = cy - 4; dy <= cy + 4; ++dy)
    for (int64_t dx = cx - 4; dx <= cx + 4; ++dx) consider(dx, dy);
  return packShift(bx, by);
}

void lumaOfPixels(const uint8_t* px, int channels, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i, px += channels) out[i] = lumaOf(px[0], px[1], px[2]);
}

}  // namespace

uint64_t sadBlockPlain(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  uint64_t sum = 0;
  for (int y = 0; y < rows; ++y) {
    const uint8_t* ar = a + static_cast<long>(y) * stride;
    const uint8_t* qr = q + static_cast<long>(y) * stride;
    for (int x = 0; x < cols; ++x) sum += static_cast<uint64_t>(std::abs(ar[x] - qr[x]));
  }
  return sum;
}

uint64_t trackOffset(const std::vector<uint8_t>& anchor, const std::vector<uint8_t>& current,
                     int size, int range) {
  return search(anchor, current, size, range, sadBlock);
}

uint64_t trackOffsetPlain(const std::vector<uint8_t>& anchor, const std::vector<uint8_t>& current,
                          int size, int range) {
  return search(anchor, current, size, range, sadBlockPlain);
}

std::vector<uint8_t> downsampleToGrayPlain(const uint8_t* rgba, int width, int height, int size) {
  if (size <= 0) return {};
  const size_t n = static_cast<size_t>(size) * static_cast<size_t>(size);
  std::vector<uint8_t> square(n * 4, 0);
  if (rgba != nullptr && width > 0 && height > 0)
    stbir_resize_uint8_srgb(rgba, width, height, width * 4, square.data(), size, size, size * 4,
                            STBIR_RGBA);
  std::vector<uint8_t> gray(n);
  lumaOfPixels(square.data(), 4, n, gray.data());
  return gray;
}

bool writeAnchor(const std::string& grabbedPath, const std::string& outPath, int size) {
  // An earlier generation's anchor must not outlive a failure to make this one's.
  std::remove(outPath.c_str());
  if (size <= 0 || size > kMaxDecodeSide) return false;
  std::vector<uint8_t> frame;
  int w = 0, h = 0;
  if (!decodeImageFile(grabbedPath, 3, frame, w, h)) return false;
  const size_t n = static_cast<size_t>(size) * static_cast<size_t>(size);
  std::vector<uint8_t> square(n * 3, 0);
  stbir_resize_uint8_srgb(frame.data(), w, h, w * 3, square.data(), size, size, size * 3,
                          STBIR_RGB);
  frame = {};
  std::vector<uint8_t> gray(n);
  lumaOfPixels(square.data(), 3, n, gray.data());
  return writeGrayPng(outPath, gray.data(), size, size);
}
