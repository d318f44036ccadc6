// Background fit: scaled size, window origin, coverage and exact pixel copies.
#include <gtest/gtest.h>

#include <vector>

#include "imaging/imaging.h"
#include "stb_image_resize2.h"

namespace {

std::vector<uint8_t> makeBackground(int w, int h) {
  std::vector<uint8_t> bg(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &bg[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(x * 9);
      p[1] = static_cast<uint8_t>(y * 13);
      p[2] = static_cast<uint8_t>((x + y) * 5);
      p[3] = static_cast<uint8_t>(x % 3 == 0 ? 128 : 255);
    }
  return bg;
}

struct FitCase {
  const char* name;
  int width, height;
  float scale, panX, panY;
  int sw, sh, ox, oy;
};
void PrintTo(const FitCase& c, std::ostream* os) { *os << c.name; }

class TransformFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(TransformFit, FrameShowsTheShiftedWindowOfTheScaledBackground) {
  const FitCase c = GetParam();
  const int bw = 48, bh = 27;
  const std::vector<uint8_t> bg = makeBackground(bw, bh);
  const BgTransform t = transformBg(bg.data(), bw, bh, c.width, c.height, c.scale, c.panX, c.panY);
  ASSERT_EQ(t.pixels.size(), static_cast<size_t>(c.width) * c.height * 4) << c.name;
  ASSERT_EQ(t.coverage.size(), static_cast<size_t>(c.width) * c.height) << c.name;

  std::vector<uint8_t> scaled(static_cast<size_t>(c.sw) * c.sh * 4, 0);
  stbir_resize_uint8_srgb(bg.data(), bw, bh, bw * 4, scaled.data(), c.sw, c.sh, c.sw * 4,
                          STBIR_RGBA);
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x) {
      const int sx = c.ox + x, sy = c.oy + y;
      const bool covered = sx >= 0 && sx < c.sw && sy >= 0 && sy < c.sh;
      const size_t i = static_cast<size_t>(y) * c.width + x;
      ASSERT_EQ(t.coverage[i], covered ? 255 : 0) << c.name << " at " << x << "," << y;
      for (int ch = 0; ch < 4; ++ch) {
        const uint8_t want = covered ? scaled[(static_cast<size_t>(sy) * c.sw + sx) * 4 + ch] : 0;
        ASSERT_EQ(t.pixels[i * 4 + ch], want) << c.name << " at " << x << "," << y;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TransformFit,
    ::testing::Values(
        FitCase{"identity fit", 1920, 1080, 1.0f, 0, 0, 1920, 1080, 0, 0},
        FitCase{"half scale", 1920, 1080, 0.5f, 0, 0, 960, 540, -480, -270},
        FitCase{"double scale", 1920, 1080, 2.0f, 0, 0, 3840, 2160, 960, 540},
        FitCase{"pan right 10 percent", 1920, 1080, 1.0f, 10, 0, 1920, 1080, -192, 0},
        FitCase{"pan left 10 percent", 1920, 1080, 1.0f, -10, 0, 1920, 1080, 192, 0},
        FitCase{"pan down 10 percent", 1920, 1080, 1.0f, 0, 10, 1920, 1080, 0, -108},
        FitCase{"odd difference halves toward zero", 100, 60, 0.93f, 0, 0, 93, 55, -3, -2},
        FitCase{"tiny scale gives one pixel", 100, 60, 0.01f, 0, 0, 1, 1, -49, -29},
        FitCase{"pan beyond the frame leaves it uncovered", 64, 36, 1.0f, 150, 0, 64, 36, -96, 0}));

TEST(Transform, HalfScaleCoversExactlyTheCentre) {
  const std::vector<uint8_t> bg = makeBackground(32, 18);
  const BgTransform t = transformBg(bg.data(), 32, 18, 1920, 1080, 0.5f, 0, 0);
  for (int y = 0; y < 1080; y += 7)
    for (int x = 0; x < 1920; x += 5) {
      const bool inside = x >= 480 && x < 1440 && y >= 270 && y < 810;
      ASSERT_EQ(t.coverage[static_cast<size_t>(y) * 1920 + x], inside ? 255 : 0) << x << "," << y;
    }
}

TEST(Transform, ZeroHeightGivesEmptyVectors) {
  const std::vector<uint8_t> bg = makeBackground(8, 8);
  const BgTransform t = transformBg(bg.data(), 8, 8, 1920, 0, 1.0f, 0, 0);
  EXPECT_TRUE(t.pixels.empty());
  EXPECT_TRUE(t.coverage.empty());
}

TEST(Transform, MissingBackgroundStillCoversWithZeros) {
  const BgTransform t = transformBg(nullptr, 0, 0, 16, 9, 1.0f, 0, 0);
  ASSERT_EQ(t.coverage, std::vector<uint8_t>(16 * 9, 255));
  EXPECT_EQ(t.pixels, std::vector<uint8_t>(16 * 9 * 4, 0));
}

}  // namespace

// Only a background worth nothing beyond the frame's size is brought down to it.
TEST(Transform, ReduceToFrameOnlyAboveFourFramesOrPastTheSideLimit) {
  struct Case {
    int width, height, frameWidth, frameHeight;
    bool reduced;
  };
  const Case cases[] = {
      {128, 96, 64, 48, false},    // exactly four frames
      {129, 96, 64, 48, true},     // just above
      {8193, 40, 4096, 64, true},  // a side past 8192, fewer pixels than four frames
      {8192, 40, 4096, 64, false}, {64, 48, 128, 96, false},  // smaller than the frame
      {129, 96, 0, 48, false},                                // no frame size known
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> rgba(static_cast<size_t>(c.width) * c.height * 4, 90);
    int w = c.width, h = c.height;
    EXPECT_EQ(reduceToFrame(rgba, w, h, c.frameWidth, c.frameHeight), c.reduced) << c.width;
    EXPECT_EQ(w, c.reduced ? c.frameWidth : c.width) << c.width;
    EXPECT_EQ(h, c.reduced ? c.frameHeight : c.height) << c.width;
    EXPECT_EQ(rgba.size(), static_cast<size_t>(w) * h * 4) << c.width;
    EXPECT_EQ(rgba[0], 90) << "a flat colour stays that colour";
  }
}
