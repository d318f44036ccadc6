// Status bars: solid rows at the top and bottom of the rendered picture.
#include "imaging/imaging.h"

#include <algorithm>

namespace {
void fillRow(uint8_t* row, int width, const uint8_t rgba[4]) {
  for (int x = 0; x < width; ++x) std::copy(rgba, rgba + 4, row + static_cast<size_t>(x) * 4);
}
}  // namespace

void drawBanner(std::vector<uint8_t>& image, int width, int height, uint8_t r, uint8_t g,
                uint8_t b) {
  if (height <= 0 || width <= 0) return;
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  if (image.size() < rowBytes * height) return;
  const uint8_t rgba[4] = {r, g, b, 255};
  const int t = std::max(6, height / 32);
  uint8_t* base = image.data();
  for (int y = 0; y < std::min(t, height); ++y) fillRow(base + y * rowBytes, width, rgba);
  for (int y = std::max(height - t, 0); y < height; ++y) fillRow(base + y * rowBytes, width, rgba);
}
