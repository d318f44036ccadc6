// Status bars: which rows they cover at various heights.
#include <gtest/gtest.h>

#include <vector>

#include "imaging/imaging.h"

namespace {

struct BannerCase {
  int width, height;
  std::vector<std::pair<int, int>> painted;  // inclusive row ranges
};
void PrintTo(const BannerCase& c, std::ostream* os) { *os << c.width << "x" << c.height; }

class Banner : public ::testing::TestWithParam<BannerCase> {};

TEST_P(Banner, PaintsExactlyTheBarRows) {
  const BannerCase c = GetParam();
  const size_t bytes = static_cast<size_t>(c.width) * std::max(c.height, 0) * 4;
  std::vector<uint8_t> img(bytes);
  for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<uint8_t> before = img;
  drawBanner(img, c.width, c.height, 230, 40, 41);
  for (int y = 0; y < c.height; ++y) {
    bool bar = false;
    for (const auto& r : c.painted) bar = bar || (y >= r.first && y <= r.second);
    for (int x = 0; x < c.width; ++x) {
      const size_t i = (static_cast<size_t>(y) * c.width + x) * 4;
      if (bar) {
        ASSERT_EQ(img[i], 230) << y;
        ASSERT_EQ(img[i + 1], 40) << y;
        ASSERT_EQ(img[i + 2], 41) << y;
        ASSERT_EQ(img[i + 3], 255) << y;
      } else {
        ASSERT_TRUE(std::equal(img.begin() + i, img.begin() + i + 4, before.begin() + i)) << y;
      }
    }
  }
  if (c.height <= 0) {
    EXPECT_EQ(img, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Heights, Banner,
                         ::testing::Values(BannerCase{1920, 1080, {{0, 32}, {1047, 1079}}},
                                           BannerCase{50, 100, {{0, 5}, {94, 99}}},
                                           BannerCase{30, 224, {{0, 6}, {217, 223}}},
                                           BannerCase{10, 8, {{0, 7}}}, BannerCase{10, 3, {{0, 2}}},
                                           BannerCase{10, 0, {}}, BannerCase{10, -4, {}}));

TEST(BannerGuard, ImageSmallerThanItsSizeIsLeftAlone) {
  std::vector<uint8_t> img(10 * 10 * 4 - 1, 9);
  drawBanner(img, 10, 10, 1, 2, 3);
  EXPECT_EQ(img, std::vector<uint8_t>(10 * 10 * 4 - 1, 9));
}

}  // namespace
