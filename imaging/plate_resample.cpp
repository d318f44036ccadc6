// Moving a plate by scale and translation: separable bicubic (Catmull-Rom) resampling with
// the source clamped at its border, so a move that uncovers the frame's edge extends the
// plate's own edge pixels and never shows anything else.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "imaging/imaging.h"

namespace {

// Four floats, one per channel, worked on together: SSE on x86-64, NEON on arm64, plain
// scalar code elsewhere; the same arithmetic lane by lane, so the same bytes everywhere.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef uint8_t U8x4 __attribute__((vector_size(4)));
typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint16_t U16x8 __attribute__((vector_size(16)));

// Four pixels to floats by two interleaves with zero (what every vector unit does in one
// instruction each) and a whole-lane conversion; a byte-to-float conversion would be
// taken lane by lane. Lanes are read little-endian, as on every target we build for.
void pixelsAt(const uint8_t* p, F4 out[4]) {
  U8x16 v;
  std::memcpy(&v, p, 16);
  const U16x8 lo = reinterpret_cast<U16x8>(
      __builtin_shufflevector(v, U8x16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
  const U16x8 hi = reinterpret_cast<U16x8>(__builtin_shufflevector(
      v, U8x16{}, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
  out[0] = __builtin_convertvector(
      reinterpret_cast<I4>(__builtin_shufflevector(lo, U16x8{}, 0, 8, 1, 9, 2, 10, 3, 11)), F4);
  out[1] = __builtin_convertvector(
      reinterpret_cast<I4>(__builtin_shufflevector(lo, U16x8{}, 4, 12, 5, 13, 6, 14, 7, 15)), F4);
  out[2] = __builtin_convertvector(
      reinterpret_cast<I4>(__builtin_shufflevector(hi, U16x8{}, 0, 8, 1, 9, 2, 10, 3, 11)), F4);
  out[3] = __builtin_convertvector(
      reinterpret_cast<I4>(__builtin_shufflevector(hi, U16x8{}, 4, 12, 5, 13, 6, 14, 7, 15)), F4);
}

// Four pixels' floats (each within 0..255 already) truncated and packed back to bytes.
void storePixels(const F4 v[4], uint8_t* p) {
  const I4 a = __builtin_convertvector(v[0], I4), b = __builtin_convertvector(v[1], I4);
  const I4 c = __builtin_convertvector(v[2], I4), d = __builtin_convertvector(v[3], I4);
  const U16x8 ab = __builtin_shufflevector(reinterpret_cast<U16x8>(a), reinterpret_cast<U16x8>(b),
                                           0, 2, 4, 6, 8, 10, 12, 14);
  const U16x8 cd = __builtin_shufflevector(reinterpret_cast<U16x8>(c), reinterpret_cast<U16x8>(d),
                                           0, 2, 4, 6, 8, 10, 12, 14);
  const U8x16 bytes =
      __builtin_shufflevector(reinterpret_cast<U8x16>(ab), reinterpret_cast<U8x16>(cd), 0, 2, 4, 6,
                              8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  std::memcpy(p, &bytes, 16);
}

F4 pixelAt(const uint8_t* row, int x) {
  U8x4 p;
  std::memcpy(&p, row + static_cast<size_t>(x) * 4, 4);
  return __builtin_convertvector(p, F4);
}

struct Taps {
  int index[4];
  float weight[4];
};

Taps tapsAt(double pos, int size) {
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
double clampPosition(double p, int size) {
  if (!(p > -4.0)) return -4.0;
  if (p > size + 4.0) return size + 4.0;
  return p;
}

}  // namespace

void resamplePlate(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                   uint8_t* out, int width, int height, int firstRow, int lastRow) {
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
  std::vector<Taps> columns(static_cast<size_t>(width));
  std::vector<uint8_t> columnInside(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x) {
    const double px = map.ax * x + map.bx;
    columns[x] = tapsAt(clampPosition(px, plateWidth), plateWidth);
    columnInside[x] = px > -0.5 && px < plateWidth - 0.5 ? 255 : 0;
  }
  // Horizontally filtered plate rows, made once each for the rows this band reads, four
  // floats a pixel so that a pixel's channels are worked on together. Every row is written
  // before it is read, so the buffer is left uninitialised.
  int lo = plateHeight, hi = -1;
  std::vector<Taps> rows(static_cast<size_t>(lastRow - firstRow));
  for (int y = firstRow; y < lastRow; ++y) {
    rows[y - firstRow] = tapsAt(clampPosition(map.ay * y + map.by, plateHeight), plateHeight);
    lo = std::min(lo, rows[y - firstRow].index[0]);
    hi = std::max(hi, rows[y - firstRow].index[3]);
  }
  const size_t rowPixels = static_cast<size_t>(width);
  std::unique_ptr<F4[]> filtered(new F4[static_cast<size_t>(hi - lo + 1) * rowPixels]);
  std::vector<char> made(static_cast<size_t>(hi - lo + 1), 0);
  // A plate row is turned into floats once, not once per tap that reads it.
  std::unique_ptr<F4[]> plateRow(new F4[static_cast<size_t>(plateWidth)]);
  const auto filteredRow = [&](int sy) -> const F4* {
    F4* dst = filtered.get() + static_cast<size_t>(sy - lo) * rowPixels;
    if (made[sy - lo]) return dst;
    made[sy - lo] = 1;
    const uint8_t* src = plate + static_cast<size_t>(sy) * plateWidth * 4;
    F4* p = plateRow.get();
    int x = 0;
    for (; x + 4 <= plateWidth; x += 4) pixelsAt(src + static_cast<size_t>(x) * 4, p + x);
    for (; x < plateWidth; ++x) p[x] = pixelAt(src, x);
    for (int x = 0; x < width; ++x) {
      const Taps& t = columns[x];
      F4 v = F4{} + t.weight[0] * p[t.index[0]];
      v += t.weight[1] * p[t.index[1]];
      v += t.weight[2] * p[t.index[2]];
      v += t.weight[3] * p[t.index[3]];
      dst[x] = v;
    }
    return dst;
  };
  for (int y = firstRow; y < lastRow; ++y) {
    const Taps& t = rows[y - firstRow];
    const double py = map.ay * y + map.by;
    const bool rowInside = py > -0.5 && py < plateHeight - 0.5;
    const F4* r0 = filteredRow(t.index[0]);
    const F4* r1 = filteredRow(t.index[1]);
    const F4* r2 = filteredRow(t.index[2]);
    const F4* r3 = filteredRow(t.index[3]);
    uint8_t* o = out + static_cast<size_t>(y) * width * 4;
    const auto pixel = [&](int x) {
      F4 v = t.weight[0] * r0[x] + t.weight[1] * r1[x] + t.weight[2] * r2[x] + t.weight[3] * r3[x];
      v += 0.5f;
      v = v < 0.0f ? F4{} : v;
      return v > 255.0f ? F4{} + 255.0f : v;
    };
    int x = 0;
    for (; x + 4 <= width; x += 4) {
      const F4 v[4] = {pixel(x), pixel(x + 1), pixel(x + 2), pixel(x + 3)};
      uint8_t* px = o + static_cast<size_t>(x) * 4;
      storePixels(v, px);
      for (int k = 0; k < 4; ++k) px[k * 4 + 3] = rowInside ? columnInside[x + k] : 0;
    }
    for (; x < width; ++x) {
      F4 v = t.weight[0] * r0[x] + t.weight[1] * r1[x] + t.weight[2] * r2[x] + t.weight[3] * r3[x];
      v += 0.5f;
      v = v < 0.0f ? F4{} : v;
      v = v > 255.0f ? F4{} + 255.0f : v;
      U8x4 px = __builtin_convertvector(__builtin_convertvector(v, I4), U8x4);
      px[3] = rowInside ? columnInside[x] : 0;
      std::memcpy(o + static_cast<size_t>(x) * 4, &px, 4);
    }
  }
}

void resamplePlatePlain(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                        uint8_t* out, int width, int height, int firstRow, int lastRow) {
  if (plate == nullptr || out == nullptr || plateWidth <= 0 || plateHeight <= 0 || width <= 0)
    return;
  for (int y = std::max(firstRow, 0); y < std::min(lastRow, height); ++y) {
    const double py = map.ay * y + map.by;
    const Taps row = tapsAt(clampPosition(py, plateHeight), plateHeight);
    for (int x = 0; x < width; ++x) {
      const double px = map.ax * x + map.bx;
      const Taps column = tapsAt(clampPosition(px, plateWidth), plateWidth);
      uint8_t* o = out + (static_cast<size_t>(y) * width + x) * 4;
      for (int c = 0; c < 3; ++c) {
        // Along the row first, then down the column.
        float along[4];
        for (int r = 0; r < 4; ++r) {
          const uint8_t* src = plate + static_cast<size_t>(row.index[r]) * plateWidth * 4;
          along[r] = 0.0f;
          for (int k = 0; k < 4; ++k) along[r] += column.weight[k] * src[column.index[k] * 4 + c];
        }
        const float v = row.weight[0] * along[0] + row.weight[1] * along[1] +
                        row.weight[2] * along[2] + row.weight[3] * along[3];
        o[c] = static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
      }
      const bool inside = py > -0.5 && py < plateHeight - 0.5 && px > -0.5 && px < plateWidth - 0.5;
      o[3] = inside ? 255 : 0;
    }
  }
}

PlateMap plateMap(int plateWidth, int plateHeight, int width, int height, double scale, double panX,
                  double panY, const CameraMotion& motion) {
  // Frame point q shows grab-time point p = c + (q - c - t) / s; the plate is stretched to
  // the frame, scaled by `scale` about the centre and panned by a share of the frame.
  PlateMap m;
  if (!(scale > 0.0)) scale = 1.0;
  const double s = motion.scale > 0.0 ? motion.scale : 1.0;
  const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
  const double sx = static_cast<double>(plateWidth) / width;
  const double sy = static_cast<double>(plateHeight) / height;
  // Frame x -> grab-time x -> fitted background x -> plate x (pixel centres at integers).
  const double gx = 1.0 / s, gbx = cx - (cx + motion.dx) / s;
  const double gy = 1.0 / s, gby = cy - (cy + motion.dy) / s;
  const double fx = 1.0 / scale, fbx = cx - (cx + panX / 100.0 * width) / scale;
  const double fy = 1.0 / scale, fby = cy - (cy + panY / 100.0 * height) / scale;
  m.ax = sx * fx * gx;
  m.bx = sx * (fx * gbx + fbx + 0.5) - 0.5;
  m.ay = sy * fy * gy;
  m.by = sy * (fy * gby + fby + 0.5) - 0.5;
  return m;
}
