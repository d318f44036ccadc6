// The generation outcome read back from a rendered frame's status bars, and
// the frame-time summary.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/cli.h"

namespace {

std::vector<uint8_t> frameWithBars(int width, int height, int r, int g, int b) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4, 90);
  const int bar = std::max(6, height / 32);
  for (int y = 0; y < height; ++y) {
    if (y >= bar && y < height - bar) continue;
    for (int x = 0; x < width; ++x) {
      uint8_t* px = &rgba[(static_cast<size_t>(y) * width + x) * 4];
      px[0] = r, px[1] = g, px[2] = b, px[3] = 255;
    }
  }
  return rgba;
}

struct BarCase {
  int r, g, b;
  Banner banner;
};

class CliBanner : public ::testing::TestWithParam<BarCase> {};

TEST_P(CliBanner, ColourNamesTheState) {
  const BarCase& c = GetParam();
  EXPECT_EQ(readBanner(frameWithBars(64, 40, c.r, c.g, c.b), 64, 40), c.banner);
}

INSTANTIATE_TEST_SUITE_P(Cli, CliBanner,
                         ::testing::Values(BarCase{230, 40, 40, Banner::Running},
                                           BarCase{40, 200, 60, Banner::Done},
                                           BarCase{230, 200, 0, Banner::Failed},
                                           BarCase{230, 120, 0, Banner::OutOfCredits},
                                           BarCase{230, 80, 80, Banner::AuthRejected},
                                           // A 16-bit or float round trip may move a level or two.
                                           BarCase{229, 41, 39, Banner::Running},
                                           BarCase{90, 90, 90, Banner::None},
                                           BarCase{230, 60, 60, Banner::None}));

TEST(CliBanner, ColourOnlyAtTheTopIsNotABanner) {
  std::vector<uint8_t> rgba = frameWithBars(16, 16, 230, 40, 40);
  uint8_t* last = &rgba[(16 * 16 - 1) * 4];
  last[0] = last[1] = last[2] = 90;
  EXPECT_EQ(readBanner(rgba, 16, 16), Banner::None);
}

TEST(CliBanner, EmptyFrameHasNoBanner) { EXPECT_EQ(readBanner({}, 0, 0), Banner::None); }

TEST(CliSummary, MedianOfOddAndEvenCounts) {
  EXPECT_DOUBLE_EQ(medianMs({}), 0.0);
  EXPECT_DOUBLE_EQ(medianMs({5, 1, 9}), 5.0);
  EXPECT_DOUBLE_EQ(medianMs({8, 2, 4, 100}), 6.0);
}

}  // namespace
