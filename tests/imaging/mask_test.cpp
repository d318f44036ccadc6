// Behaviour of the background mask builder and its kernels on small hand-made images.
#include <gtest/gtest.h>

#include <vector>

#include "imaging/imaging.h"

namespace {

std::vector<uint8_t> constant(int w, int h, uint8_t v) {
  return std::vector<uint8_t>(static_cast<size_t>(w) * h, v);
}

// A vertical edge: subject (0) left of column `edge`, background (255) from it on.
std::vector<uint8_t> verticalEdge(int w, int h, int edge) {
  std::vector<uint8_t> img(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img[static_cast<size_t>(y) * w + x] = x >= edge ? 255 : 0;
  return img;
}

TEST(Mask, EmptyFrameGivesEmptyMask) {
  EXPECT_TRUE(buildMask({}, 0, 0, 51.0f, false, 0, 0, 5).empty());
  EXPECT_TRUE(buildMask({}, 7, 0, 51.0f, false, 0, 0, 5).empty());
  EXPECT_TRUE(buildMask({}, 0, 7, 51.0f, true, 3, 2, 5).empty());
}

struct ThresholdCase {
  float threshold;
  uint8_t value;
  uint8_t expected;
};
void PrintTo(const ThresholdCase& c, std::ostream* os) {
  *os << "threshold " << c.threshold << " value " << int(c.value);
}

class MaskThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(MaskThreshold, ClassifiesStrictlyAboveTruncatedThreshold) {
  const ThresholdCase c = GetParam();
  const std::vector<uint8_t> mask =
      buildMask(constant(3, 2, c.value), 3, 2, c.threshold, false, 0, 0, 0);
  ASSERT_EQ(mask.size(), 6u);
  for (uint8_t v : mask)
    EXPECT_EQ(v, c.expected) << "threshold " << c.threshold << " value " << int(c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MaskThreshold,
    ::testing::Values(ThresholdCase{255.0f, 255, 0}, ThresholdCase{255.0f, 0, 0},
                      ThresholdCase{0.0f, 1, 255}, ThresholdCase{0.0f, 0, 0},
                      ThresholdCase{51.0f, 51, 0}, ThresholdCase{51.0f, 52, 255},
                      ThresholdCase{51.9f, 52, 255}, ThresholdCase{100.0f, 100, 0},
                      // 20 % of 255 computed in double, then float
                      ThresholdCase{static_cast<float>(20.0 / 100.0 * 255.0), 51, 0},
                      // only the low 8 bits of the integer count
                      ThresholdCase{256.0f, 1, 255}, ThresholdCase{-1.0f, 254, 0}));

TEST(Mask, SoftMatteWithoutGrowOrFeatherIsTheSourceUnchanged) {
  std::vector<uint8_t> src(7 * 5);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 37 + 11);
  EXPECT_EQ(buildMask(src, 7, 5, 51.0f, true, 0, 0, 0), src);
}

TEST(Mask, NegativeFeathersBehaveAsZero) {
  std::vector<uint8_t> src(9 * 6);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 53);
  EXPECT_EQ(buildMask(src, 9, 6, 51.0f, true, 0, -4, -2), src);
  EXPECT_EQ(buildMask(src, 9, 6, 51.0f, false, 1, -3, 0),
            buildMask(src, 9, 6, 51.0f, false, 1, 0, 0));
}

TEST(Mask, ShrinkByThreeRemovesAnIsolatedPixel) {
  std::vector<uint8_t> src = constant(21, 21, 0);
  src[10 * 21 + 10] = 255;
  EXPECT_EQ(buildMask(src, 21, 21, 51.0f, false, -3, 0, 0), constant(21, 21, 0));
}

TEST(Mask, GrowByThreeTurnsAPixelIntoASevenBySevenBlock) {
  std::vector<uint8_t> src = constant(21, 21, 0);
  src[10 * 21 + 10] = 255;
  const std::vector<uint8_t> mask = buildMask(src, 21, 21, 51.0f, false, 3, 0, 0);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 21; ++x) {
      const bool inside = x >= 7 && x <= 13 && y >= 7 && y <= 13;
      EXPECT_EQ(mask[y * 21 + x], inside ? 255 : 0) << x << "," << y;
    }
}

TEST(Mask, ErodingAllBackgroundAndDilatingAllSubjectChangeNothing) {
  EXPECT_EQ(buildMask(constant(13, 9, 255), 13, 9, 51.0f, false, -5, 0, 0), constant(13, 9, 255));
  EXPECT_EQ(buildMask(constant(13, 9, 0), 13, 9, 51.0f, false, 5, 0, 0), constant(13, 9, 0));
}

// The row through a vertical edge at column 40 of an 80 x 7 soft matte, read from
// column 29 (eleven pixels left of the edge) to column 51.
struct RampCase {
  const char* name;
  int inner;
  int outer;
  std::vector<int> row;
};
void PrintTo(const RampCase& c, std::ostream* os) { *os << c.name; }

class MaskFeatherRamp : public ::testing::TestWithParam<RampCase> {};

TEST_P(MaskFeatherRamp, RowAcrossTheEdge) {
  const RampCase& c = GetParam();
  const int w = 80, h = 7, edge = 40;
  const std::vector<uint8_t> mask =
      buildMask(verticalEdge(w, h, edge), w, h, 51.0f, true, 0, c.inner, c.outer);
  for (int y = 0; y < h; ++y) {
    std::vector<int> got;
    for (int x = edge - 11; x <= edge + 11; ++x) got.push_back(mask[y * w + x]);
    EXPECT_EQ(got, c.row) << c.name << " row " << y;
  }
}

const std::vector<int> kSubject(11, 0);
const std::vector<int> kBackground(12, 255);
const std::vector<int> kOutside = {0, 23, 46, 69, 92, 115, 139, 162, 185, 208, 231};
const std::vector<int> kInside = {23, 46, 69, 92, 115, 139, 162, 185, 208, 231, 255, 255};

std::vector<int> join(const std::vector<int>& a, const std::vector<int>& b) {
  std::vector<int> r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Feathers, MaskFeatherRamp,
    ::testing::Values(
        RampCase{"outer feather ramps down over eleven pixels", 0, 5, join(kOutside, kBackground)},
        RampCase{"inner feather ramps up over eleven pixels", 5, 0, join(kSubject, kInside)},
        RampCase{"both feathers meet at the edge with 231 then 23", 5, 5, join(kOutside, kInside)},
        RampCase{"no feather keeps the hard edge", 0, 0, join(kSubject, kBackground)}));

TEST(Mask, FeatherReplacesSoftMatteValuesByTheHardCore) {
  // 127 and 128 sit on either side of the core's cut.
  std::vector<uint8_t> src = {127, 127, 127, 128, 128, 128};
  const std::vector<uint8_t> mask = buildMask(src, 6, 1, 51.0f, true, 0, 1, 0);
  // Core 0 0 0 255 255 255; the inner feather erodes and blurs the inside only.
  EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0, 0, 85, 170, 255}));
}

// Clipped windows: positions outside the image are not part of a window.
struct KernelCase {
  const char* name;
  int width, height, radius;
  int op;  // 0 morphH dilate, 1 morphH erode, 2 morphV dilate, 3 morphV erode, 4 boxBlur
  std::vector<uint8_t> in, out;
};
void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.name; }

class MaskKernelBorder : public ::testing::TestWithParam<KernelCase> {};

TEST_P(MaskKernelBorder, WindowIsClippedAtTheBorder) {
  const KernelCase& c = GetParam();
  for (int fast = 0; fast < 2; ++fast) {
    std::vector<uint8_t> m = c.in;
    switch (c.op) {
      case 0:
        (fast ? morphH : morphHPlain)(m, c.width, c.height, c.radius, true);
        break;
      case 1:
        (fast ? morphH : morphHPlain)(m, c.width, c.height, c.radius, false);
        break;
      case 2:
        (fast ? morphV : morphVPlain)(m, c.width, c.height, c.radius, true);
        break;
      case 3:
        (fast ? morphV : morphVPlain)(m, c.width, c.height, c.radius, false);
        break;
      default:
        (fast ? boxBlur : boxBlurPlain)(m, c.width, c.height, c.radius);
        break;
    }
    EXPECT_EQ(m, c.out) << c.name << (fast ? " (fast)" : " (plain)");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Borders, MaskKernelBorder,
    ::testing::Values(
        KernelCase{"dilation does not grow in from the border",
                   5,
                   1,
                   2,
                   0,
                   {0, 0, 0, 0, 255},
                   {0, 0, 255, 255, 255}},
        KernelCase{"erosion does not eat in from the border",
                   4,
                   1,
                   1,
                   1,
                   {255, 255, 255, 0},
                   {255, 255, 0, 0}},
        KernelCase{"vertical dilation", 1, 5, 1, 2, {0, 255, 0, 0, 0}, {255, 255, 255, 0, 0}},
        KernelCase{"vertical erosion", 1, 4, 1, 3, {255, 255, 0, 255}, {255, 0, 0, 0}},
        KernelCase{"radius wider than the image spans it", 3, 1, 10, 0, {0, 9, 0}, {9, 9, 9}},
        KernelCase{"box blur of 255 0 with radius 1", 2, 1, 1, 4, {255, 0}, {127, 127}},
        KernelCase{
            "blur averages only inside the image", 3, 1, 1, 4, {0, 255, 255}, {127, 170, 255}},
        KernelCase{"blur does not darken a uniform border", 4, 3, 2, 4,
                   std::vector<uint8_t>(12, 200), std::vector<uint8_t>(12, 200)},
        KernelCase{"blur runs horizontally then vertically",
                   2,
                   2,
                   1,
                   4,
                   {255, 0, 0, 0},
                   {63, 63, 63, 63}}));

TEST(Mask, KernelsLeaveMaskOfWrongSizeAlone) {
  std::vector<uint8_t> m = {1, 2, 3};
  morphH(m, 2, 2, 1, true);
  morphV(m, 2, 2, 1, true);
  boxBlur(m, 2, 2, 1);
  EXPECT_EQ(m, (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
