// Moving a plate by scale and translation: separable bicubic (Catmull-Rom) resampling with
// the source clamped at its border, so a move that uncovers the frame's edge extends the
// plate's own edge pixels and never shows anything else.
#include "imaging/plate_resample.h"

using plate_resample::clampPosition;
using plate_resample::Taps;
using plate_resample::tapsAt;

void resamplePlatePortable(const uint8_t* plate, int plateWidth, int plateHeight,
                           const PlateMap& map, uint8_t* out, int width, int height, int firstRow,
                           int lastRow) {
  plate_resample::resampleRows<plate_resample::F4>(plate, plateWidth, plateHeight, map, out, width,
                                                   height, firstRow, lastRow);
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
