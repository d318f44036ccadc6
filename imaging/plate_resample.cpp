// Moving a plate by scale and translation: separable bicubic (Catmull-Rom) resampling with
// the source clamped at its border, so a move that uncovers the frame's edge extends the
// plate's own edge pixels and never shows anything else.
#include <algorithm>
#include <cmath>

#include "imaging/imaging.h"

namespace {

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
  // Horizontally filtered plate rows, made once each for the rows this band reads.
  std::vector<Taps> rows(static_cast<size_t>(lastRow - firstRow));
  int lo = plateHeight, hi = -1;
  for (int y = firstRow; y < lastRow; ++y) {
    rows[y - firstRow] = tapsAt(clampPosition(map.ay * y + map.by, plateHeight), plateHeight);
    for (int k = 0; k < 4; ++k) {
      lo = std::min(lo, rows[y - firstRow].index[k]);
      hi = std::max(hi, rows[y - firstRow].index[k]);
    }
  }
  const size_t rowFloats = static_cast<size_t>(width) * 3;
  std::vector<float> filtered(static_cast<size_t>(hi - lo + 1) * rowFloats);
  std::vector<char> made(static_cast<size_t>(hi - lo + 1), 0);
  const auto filteredRow = [&](int sy) -> const float* {
    float* dst = filtered.data() + static_cast<size_t>(sy - lo) * rowFloats;
    if (made[sy - lo]) return dst;
    made[sy - lo] = 1;
    const uint8_t* src = plate + static_cast<size_t>(sy) * plateWidth * 4;
    for (int x = 0; x < width; ++x) {
      const Taps& t = columns[x];
      for (int c = 0; c < 3; ++c) {
        float v = 0.0f;
        for (int k = 0; k < 4; ++k) v += t.weight[k] * src[t.index[k] * 4 + c];
        dst[x * 3 + c] = v;
      }
    }
    return dst;
  };
  for (int y = firstRow; y < lastRow; ++y) {
    const Taps& t = rows[y - firstRow];
    const double py = map.ay * y + map.by;
    const bool rowInside = py > -0.5 && py < plateHeight - 0.5;
    const float* r[4];
    for (int k = 0; k < 4; ++k) r[k] = filteredRow(t.index[k]);
    uint8_t* o = out + static_cast<size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int i = x * 3 + c;
        const float v = t.weight[0] * r[0][i] + t.weight[1] * r[1][i] + t.weight[2] * r[2][i] +
                        t.weight[3] * r[3][i];
        o[x * 4 + c] = static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
      }
      o[x * 4 + 3] = rowInside ? columnInside[x] : 0;
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
