// Reading the generation state back from the status bars of a rendered frame.
#include <cstdlib>

#include "cli/cli.h"

namespace {

struct BannerColour {
  Banner banner;
  int r, g, b;
};

const BannerColour kColours[] = {
    {Banner::Running, 230, 40, 40},      {Banner::Done, 40, 200, 60},
    {Banner::Failed, 230, 200, 0},       {Banner::OutOfCredits, 230, 120, 0},
    {Banner::AuthRejected, 230, 80, 80},
};

// 16-bit and float images come back through two conversions; the colours
// are far enough apart that a couple of levels of slack can't confuse them.
bool near(const uint8_t* px, const BannerColour& c) {
  return std::abs(px[0] - c.r) <= 2 && std::abs(px[1] - c.g) <= 2 && std::abs(px[2] - c.b) <= 2 &&
         px[3] >= 253;
}

}  // namespace

Banner readBanner(const std::vector<uint8_t>& rgba, int width, int height) {
  if (width <= 0 || height <= 0 || rgba.size() < static_cast<size_t>(width) * height * 4)
    return Banner::None;
  const uint8_t* topLeft = rgba.data();
  const uint8_t* bottomRight = &rgba[(static_cast<size_t>(width) * height - 1) * 4];
  for (const BannerColour& c : kColours)
    if (near(topLeft, c) && near(bottomRight, c)) return c.banner;
  return Banner::None;
}

const char* bannerName(Banner banner) {
  switch (banner) {
    case Banner::Running:
      return "running";
    case Banner::Done:
      return "done";
    case Banner::Failed:
      return "failed";
    case Banner::OutOfCredits:
      return "out of credits";
    case Banner::AuthRejected:
      return "auth rejected";
    case Banner::None:
      break;
  }
  return "none";
}
