// Moving a plate, the body shared by every build of it (see resamplePlate in imaging.h):
// separable Catmull-Rom taps, the plate's rows filtered along once each into floats, then
// four filtered rows weighed down the column. A row's floats are taken flat, channel by
// channel, as many a step as the vector unit holds (a move without scale reads every
// column at one fraction of a pixel, so along the row too): the same operations on the
// same values as a pixel at a time, so every build gives the plain twin's bytes. The body is always inlined, so that each
// instruction-set file compiles it for its own vector unit. Internal to imaging/.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/imaging.h"

namespace plate_resample {
// Each file that includes this compiles its own copy, for its own vector unit.
namespace {

struct Taps {
  int index[4];
  float weight[4];
};

inline Taps tapsAt(double pos, int size) {
  Taps t;
  const double f = std::floor(pos);
  const float u = static_cast<float>(pos - f);
  const int i0 = static_cast<int>(f) - 1;
  // Catmull-Rom (Keys, a = -0.5): sharp, no ringing on a step beyond a few percent.
  const float u2 = u * u, u3 = u2 * u;
  t.weight[0] = -0.5f * u3 + u2 - 0.5f * u;
  t.weight[1] = 1.5f * u3 - 2.5f * u2 + 1.0f;
  t.weight[2] = -1.5f * u3 + 2.0f * u2 + 0.5f * u;
  t.weight[3] = 0.5f * u3 - 0.5f * u2;
  for (int k = 0; k < 4; ++k) t.index[k] = std::clamp(i0 + k, 0, size - 1);
  return t;
}

// Positions far outside the plate are held near it; they all read the border anyway.
inline double clampPosition(double p, int size) {
  if (!(p > -4.0)) return -4.0;
  if (p > size + 4.0) return size + 4.0;
  return p;
}

typedef float F4 __attribute__((vector_size(16)));
typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef uint8_t U8x4 __attribute__((vector_size(4)));
typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));

// Four pixels to floats by two interleaves with zero (what every vector unit does in one
// instruction each) and a whole-lane conversion; a byte-to-float conversion would be
// taken lane by lane. Lanes are read little-endian, as on every target we build for.
inline __attribute__((always_inline)) void pixelsAt(const uint8_t* p, float* out) {
  U8x16 v;
  std::memcpy(&v, p, 16);
  const U16x8 lo = reinterpret_cast<U16x8>(
      __builtin_shufflevector(v, U8x16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
  const U16x8 hi = reinterpret_cast<U16x8>(__builtin_shufflevector(
      v, U8x16{}, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
  const F4 f[4] = {
      __builtin_convertvector(
          reinterpret_cast<I4>(__builtin_shufflevector(lo, U16x8{}, 0, 8, 1, 9, 2, 10, 3, 11)), F4),
      __builtin_convertvector(
          reinterpret_cast<I4>(__builtin_shufflevector(lo, U16x8{}, 4, 12, 5, 13, 6, 14, 7, 15)),
          F4),
      __builtin_convertvector(
          reinterpret_cast<I4>(__builtin_shufflevector(hi, U16x8{}, 0, 8, 1, 9, 2, 10, 3, 11)), F4),
      __builtin_convertvector(
          reinterpret_cast<I4>(__builtin_shufflevector(hi, U16x8{}, 4, 12, 5, 13, 6, 14, 7, 15)),
          F4)};
  std::memcpy(out, f, sizeof f);
}

// Taps' weights and reads held in locals: a store through the output's bytes may, to the
// compiler, alias anything it reads through memory.
struct Weights {
  float w0, w1, w2, w3;
};
inline Weights weightsOf(const Taps& t) {
  return {t.weight[0], t.weight[1], t.weight[2], t.weight[3]};
}

// A stretch of filtered floats along a row: each reads the plate row's floats at its four
// taps' shifts.
template <class V>
inline __attribute__((always_inline)) void along(const float* p, ptrdiff_t s0, ptrdiff_t s1,
                                                 ptrdiff_t s2, ptrdiff_t s3, Weights w,
                                                 float* dst) {
  V a, b, c, d;
  std::memcpy(&a, p + s0, sizeof a);
  std::memcpy(&b, p + s1, sizeof b);
  std::memcpy(&c, p + s2, sizeof c);
  std::memcpy(&d, p + s3, sizeof d);
  V v = V{} + w.w0 * a;
  v += w.w1 * b;
  v += w.w2 * c;
  v += w.w3 * d;
  std::memcpy(dst, &v, sizeof v);
}

// Floats f onward of the output row, from four filtered rows, rounded within 0..255.
template <class V>
inline __attribute__((always_inline)) void down(const float* r0, const float* r1, const float* r2,
                                                const float* r3, Weights w, size_t f, V& out) {
  V a, b, c, d;
  std::memcpy(&a, r0 + f, sizeof a);
  std::memcpy(&b, r1 + f, sizeof b);
  std::memcpy(&c, r2 + f, sizeof c);
  std::memcpy(&d, r3 + f, sizeof d);
  V v = w.w0 * a + w.w1 * b + w.w2 * c + w.w3 * d;
  v += 0.5f;
  v = v < 0.0f ? V{} : v;
  out = v > 255.0f ? V{} + 255.0f : v;
}

// Four pixels' floats (each within 0..255 already) truncated and packed back to bytes,
// taking each lane's low half twice (what every vector unit packs in one instruction).
inline __attribute__((always_inline)) U8x16 bytesOf(const F4 v[4]) {
  const I4 a = __builtin_convertvector(v[0], I4), b = __builtin_convertvector(v[1], I4);
  const I4 c = __builtin_convertvector(v[2], I4), d = __builtin_convertvector(v[3], I4);
  const U16x8 ab = __builtin_shufflevector(reinterpret_cast<U16x8>(a), reinterpret_cast<U16x8>(b),
                                           0, 2, 4, 6, 8, 10, 12, 14);
  const U16x8 cd = __builtin_shufflevector(reinterpret_cast<U16x8>(c), reinterpret_cast<U16x8>(d),
                                           0, 2, 4, 6, 8, 10, 12, 14);
  return __builtin_shufflevector(reinterpret_cast<U8x16>(ab), reinterpret_cast<U8x16>(cd), 0, 2, 4,
                                 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
}

// Whether column b's taps are column a's moved along by `step` columns: the same weights,
// each index `step` further (so clamped border columns never join a run).
inline bool continues(const Taps& a, const Taps& b, int step) {
  for (int k = 0; k < 4; ++k)
    if (b.index[k] != a.index[k] + step) return false;
  return std::memcmp(a.weight, b.weight, sizeof a.weight) == 0;
}

// Wide is the widest float vector the build's unit holds: four floats or eight.
template <class Wide>
inline __attribute__((always_inline)) void resampleRows(const uint8_t* plate, int plateWidth,
                                                        int plateHeight, const PlateMap& map,
                                                        uint8_t* out, int width, int height,
                                                        int firstRow, int lastRow) {
  if (plate == nullptr || out == nullptr || plateWidth <= 0 || plateHeight <= 0 || width <= 0)
    return;
  firstRow = std::max(firstRow, 0);
  lastRow = std::min(lastRow, height);
  if (lastRow <= firstRow) return;
  // At rest (a still camera, no fit) every tap but one weighs nothing: a copy is the same.
  if (map.ax == 1.0 && map.bx == 0.0 && map.ay == 1.0 && map.by == 0.0 && plateWidth == width &&
      plateHeight == height) {
    for (int y = firstRow; y < lastRow; ++y) {
      const uint8_t* src = plate + static_cast<size_t>(y) * width * 4;
      uint8_t* o = out + static_cast<size_t>(y) * width * 4;
      for (int x = 0; x < width * 4; x += 4) {
        o[x] = src[x];
        o[x + 1] = src[x + 1];
        o[x + 2] = src[x + 2];
        o[x + 3] = 255;
      }
    }
    return;
  }
  constexpr int kLanes = sizeof(Wide) / sizeof(float);
  std::vector<Taps> columns(static_cast<size_t>(width));
  // A pixel's alpha, as its place in a little-endian word: 255 on the plate, 0 past it.
  std::vector<uint32_t> columnAlpha(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x) {
    const double px = map.ax * x + map.bx;
    columns[x] = tapsAt(clampPosition(px, plateWidth), plateWidth);
    columnAlpha[x] = px > -0.5 && px < plateWidth - 0.5 ? 0xFF000000u : 0u;
  }
  // Runs of columns that read the plate at one fraction of a pixel (a move without scale
  // is one run between the clamped borders) are filtered as one stretch of floats; the
  // columns between them (all of them, under a scale) one at a time.
  struct Run {
    int first, last;
  };
  std::vector<Run> runs;
  for (int x = 0; x < width;) {
    int end = x + 1;
    while (end < width && continues(columns[x], columns[end], end - x)) ++end;
    if (end - x >= 2 * kLanes) runs.push_back({x, end});
    x = end;
  }
  // Horizontally filtered plate rows, four floats a pixel, made once each for the rows
  // this band reads. Every row is written before it is read, so the buffer is left
  // uninitialised.
  int lo = plateHeight, hi = -1;
  std::vector<Taps> rows(static_cast<size_t>(lastRow - firstRow));
  for (int y = firstRow; y < lastRow; ++y) {
    rows[y - firstRow] = tapsAt(clampPosition(map.ay * y + map.by, plateHeight), plateHeight);
    lo = std::min(lo, rows[y - firstRow].index[0]);
    hi = std::max(hi, rows[y - firstRow].index[3]);
  }
  const size_t rowFloats = static_cast<size_t>(width) * 4;
  std::unique_ptr<float[]> filtered(new float[static_cast<size_t>(hi - lo + 1) * rowFloats]);
  std::vector<char> made(static_cast<size_t>(hi - lo + 1), 0);
  // A plate row is turned into floats once, not once per tap that reads it.
  std::unique_ptr<float[]> plateRow(new float[static_cast<size_t>(plateWidth) * 4]);
  const auto filteredRow = [&](int sy) __attribute__((always_inline))->const float* {
    float* dst = filtered.get() + static_cast<size_t>(sy - lo) * rowFloats;
    if (made[sy - lo]) return dst;
    made[sy - lo] = 1;
    const uint8_t* src = plate + static_cast<size_t>(sy) * plateWidth * 4;
    float* p = plateRow.get();
    int x = 0;
    for (; x + 4 <= plateWidth; x += 4) pixelsAt(src + static_cast<size_t>(x) * 4, p + x * 4);
    for (; x < plateWidth; ++x)
      for (int c = 0; c < 4; ++c) p[x * 4 + c] = src[x * 4 + c];
    const auto column = [&](int x) __attribute__((always_inline)) {
      const Taps& t = columns[x];
      along<F4>(p, 4 * static_cast<ptrdiff_t>(t.index[0]), 4 * static_cast<ptrdiff_t>(t.index[1]),
                4 * static_cast<ptrdiff_t>(t.index[2]), 4 * static_cast<ptrdiff_t>(t.index[3]),
                weightsOf(t), dst + static_cast<size_t>(x) * 4);
    };
    x = 0;
    for (const Run& run : runs) {
      for (; x < run.first; ++x) column(x);
      x = run.last;
      const Taps& t = columns[run.first];
      // Float f of the run reads float f + 4 (index[k] - first) of the plate's row.
      const ptrdiff_t s0 = 4 * static_cast<ptrdiff_t>(t.index[0] - run.first),
                      s1 = 4 * static_cast<ptrdiff_t>(t.index[1] - run.first),
                      s2 = 4 * static_cast<ptrdiff_t>(t.index[2] - run.first),
                      s3 = 4 * static_cast<ptrdiff_t>(t.index[3] - run.first);
      const Weights w = weightsOf(t);
      ptrdiff_t f = static_cast<ptrdiff_t>(run.first) * 4;
      const ptrdiff_t end = static_cast<ptrdiff_t>(run.last) * 4;
      for (; f + kLanes <= end; f += kLanes) along<Wide>(p + f, s0, s1, s2, s3, w, dst + f);
      if (f < end) along<F4>(p + f, s0, s1, s2, s3, w, dst + f);
    }
    for (; x < width; ++x) column(x);
    return dst;
  };
  for (int y = firstRow; y < lastRow; ++y) {
    const Taps& t = rows[y - firstRow];
    const double py = map.ay * y + map.by;
    const uint32_t rowAlpha = py > -0.5 && py < plateHeight - 0.5 ? 0xFFFFFFFFu : 0u;
    const float* const r0 = filteredRow(t.index[0]);
    const float* const r1 = filteredRow(t.index[1]);
    const float* const r2 = filteredRow(t.index[2]);
    const float* const r3 = filteredRow(t.index[3]);
    const Weights w = weightsOf(t);
    uint8_t* o = out + static_cast<size_t>(y) * width * 4;
    int x = 0;
    for (; x + 4 <= width; x += 4) {
      const size_t f = static_cast<size_t>(x) * 4;
      F4 v[4];
      for (int i = 0; i < 16 / kLanes; ++i) {
        Wide part;
        down(r0, r1, r2, r3, w, f + i * kLanes, part);
        std::memcpy(reinterpret_cast<float*>(v) + i * kLanes, &part, sizeof part);
      }
      const U8x16 bytes = bytesOf(v);
      U32x4 alpha;
      std::memcpy(&alpha, columnAlpha.data() + x, sizeof alpha);
      const U32x4 px = (reinterpret_cast<U32x4>(bytes) & 0x00FFFFFFu) | (alpha & rowAlpha);
      std::memcpy(o + f, &px, sizeof px);
    }
    for (; x < width; ++x) {
      F4 v;
      down(r0, r1, r2, r3, w, static_cast<size_t>(x) * 4, v);
      U8x4 px = __builtin_convertvector(__builtin_convertvector(v, I4), U8x4);
      px[3] = (columnAlpha[x] & rowAlpha) != 0 ? 255 : 0;
      std::memcpy(o + static_cast<size_t>(x) * 4, &px, 4);
    }
  }
}

}  // namespace
}  // namespace plate_resample

// The portable build (plate_resample.cpp); resamplePlate chooses it or a wider one
// (plate_resample_x86.cpp, plate_resample_generic.cpp).
void resamplePlatePortable(const uint8_t* plate, int plateWidth, int plateHeight,
                           const PlateMap& map, uint8_t* out, int width, int height, int firstRow,
                           int lastRow);
