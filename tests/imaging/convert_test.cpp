// Host image <-> RGBA8 conversion: the rules, the row order, strides and RGB.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imaging/imaging.h"

namespace {

std::vector<uint8_t> floatBytes(const std::vector<float>& v) {
  std::vector<uint8_t> b(v.size() * 4);
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

// One RGBA pixel per group of four values, one row.
std::vector<uint8_t> extractFloats(const std::vector<float>& values) {
  const int width = static_cast<int>(values.size() / 4);
  const std::vector<uint8_t> host = floatBytes(values);
  return extractRGBA(hostView(host.data(), width, 1, width * 16, 4, Depth::Float),
                     RowOrder::BottomUp);
}

}  // namespace

TEST(Convert, PaddedByteRowsFlipAndPaddingIsUntouched) {
  // 2 x 2, rowBytes 12: 8 bytes of pixels and 4 of padding per row.
  std::vector<uint8_t> host = {1, 2,  3,  4,  5,  6,  7,  8,  0xAA, 0xAA, 0xAA, 0xAA,
                               9, 10, 11, 12, 13, 14, 15, 16, 0xBB, 0xBB, 0xBB, 0xBB};
  const std::vector<uint8_t> rgba =
      extractRGBA(hostView(host.data(), 2, 2, 12, 4, Depth::Byte), RowOrder::BottomUp);
  ASSERT_EQ(rgba.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(rgba.begin(), rgba.begin() + 8),
            std::vector<uint8_t>(host.begin() + 12, host.begin() + 20));
  std::vector<uint8_t> back(24, 0xCC);
  writeRGBA(rgba.data(), hostView(back.data(), 2, 2, 12, 4, Depth::Byte), RowOrder::BottomUp);
  for (int r = 0; r < 2; ++r) {
    for (int k = 0; k < 8; ++k) EXPECT_EQ(back[r * 12 + k], host[r * 12 + k]);
    for (int k = 8; k < 12; ++k) EXPECT_EQ(back[r * 12 + k], 0xCC) << "padding written";
  }
}

TEST(Convert, FlipOffKeepsHostRowOrder) {
  std::vector<uint8_t> host = {1, 1, 1, 1, 2, 2, 2, 2};
  const std::vector<uint8_t> rgba =
      extractRGBA(hostView(host.data(), 1, 2, 4, 4, Depth::Byte), RowOrder::TopDown);
  EXPECT_EQ(rgba, host);
}

TEST(Convert, FloatComponentsExtractByRoundHalfUpWithClampAndNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float v;
    uint8_t expected;
  };
  const Case cases[] = {{-0.5f, 0}, {0.0f, 0},     {0.5f, 128},   {1.0f, 255}, {1.5f, 255},
                        {nan, 0},   {0.999f, 255}, {0.998f, 254}, {0.002f, 1}, {0.0019f, 0},
                        {-0.0f, 0}, {inf, 255},    {-inf, 0},     {1e-30f, 0}, {0.25f, 64}};
  std::vector<float> values;
  for (const Case& c : cases) values.push_back(c.v);
  while (values.size() % 4) values.push_back(0.0f);
  const std::vector<uint8_t> out = extractFloats(values);
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(out[i], cases[i].expected) << "float " << cases[i].v;
  }
}

TEST(Convert, ShortComponentsTakeTheHighByte) {
  const uint16_t host[4] = {0, 255, 256, 65535};
  const std::vector<uint8_t> out =
      extractRGBA(hostView(host, 1, 1, 8, 4, Depth::Short), RowOrder::BottomUp);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 1, 255}));
}

TEST(Convert, BytesWriteAsShortsShiftedLeft) {
  const uint8_t rgba[4] = {0, 1, 255, 128};
  uint16_t host[4] = {7, 7, 7, 7};
  writeRGBA(rgba, hostView(host, 1, 1, 8, 4, Depth::Short), RowOrder::BottomUp);
  EXPECT_EQ(host[0], 0);
  EXPECT_EQ(host[1], 256);
  EXPECT_EQ(host[2], 65280);
  EXPECT_EQ(host[3], 32768);
}

TEST(Convert, BytesWriteAsFloatsDividedBy255) {
  const uint8_t rgba[4] = {0, 255, 51, 128};
  float host[4] = {};
  writeRGBA(rgba, hostView(host, 1, 1, 16, 4, Depth::Float), RowOrder::BottomUp);
  EXPECT_EQ(host[0], 0.0f);
  EXPECT_EQ(host[1], 1.0f);
  EXPECT_EQ(host[2], 51.0f / 255.0f);
  EXPECT_EQ(host[3], 128.0f / 255.0f);
}

TEST(Convert, FloatWinsWhenBothDepthFlagsAreSet) {
  const float host[4] = {0.5f, 1.0f, 0.0f, 1.0f};
  const std::vector<uint8_t> out =
      extractRGBA(hostView(host, 1, 1, 16, 4, Depth::Float), RowOrder::BottomUp);
  EXPECT_EQ(out, (std::vector<uint8_t>{128, 255, 0, 255}));
}

TEST(Convert, HeightZeroReadsAndWritesNothing) {
  uint8_t host[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_TRUE(extractRGBA(hostView(host, 2, 0, 8, 4, Depth::Byte), RowOrder::BottomUp).empty());
  const uint8_t rgba[8] = {};
  writeRGBA(rgba, hostView(host, 2, 0, 8, 4, Depth::Byte), RowOrder::BottomUp);
  for (uint8_t b : host) EXPECT_EQ(b, 9);
}

TEST(Convert, NegativeRowBytesWalkRowsBackwards) {
  // Host stores its top row first: data points at the bottom row, the last in memory.
  std::vector<uint8_t> memory = {10, 10, 10, 10, 20, 20, 20, 20, 30, 30, 30, 30};
  const uint8_t* bottom = memory.data() + 8;
  const std::vector<uint8_t> rgba =
      extractRGBA(hostView(bottom, 1, 3, -4, 4, Depth::Byte), RowOrder::BottomUp);
  EXPECT_EQ(rgba, memory);  // top-down, which is the memory order here
  std::vector<uint8_t> back(12, 0);
  writeRGBA(rgba.data(), hostView(back.data() + 8, 1, 3, -4, 4, Depth::Byte), RowOrder::BottomUp);
  EXPECT_EQ(back, memory);
}

TEST(Convert, RgbImagesReadOpaqueAndWriteWithoutAlpha) {
  // 2 x 1 RGB float with 8 bytes of padding after the 24 bytes of pixels.
  std::vector<float> host = {0.0f, 0.5f, 1.0f, 0.25f, 2.0f, -1.0f, 9.0f, 9.0f};
  const std::vector<uint8_t> rgba =
      extractRGBA(hostView(host.data(), 2, 1, 32, 3, Depth::Float), RowOrder::BottomUp);
  EXPECT_EQ(rgba, (std::vector<uint8_t>{0, 128, 255, 255, 64, 255, 0, 255}));
  std::vector<float> back(8, 7.0f);
  writeRGBA(rgba.data(), hostView(back.data(), 2, 1, 32, 3, Depth::Float), RowOrder::BottomUp);
  EXPECT_EQ(back[0], 0.0f);
  EXPECT_EQ(back[2], 1.0f);
  EXPECT_EQ(back[4], 1.0f);
  EXPECT_EQ(back[5], 0.0f);
  EXPECT_EQ(back[6], 7.0f) << "the row's padding was written";
  EXPECT_EQ(back[7], 7.0f);

  const uint16_t shorts[3] = {65535, 256, 0};
  EXPECT_EQ(extractRGBA(hostView(shorts, 1, 1, 6, 3, Depth::Short), RowOrder::BottomUp),
            (std::vector<uint8_t>{255, 1, 0, 255}));
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(extractRGBA(hostView(bytes, 1, 1, 3, 3, Depth::Byte), RowOrder::BottomUp),
            (std::vector<uint8_t>{1, 2, 3, 255}));
}

TEST(Convert, FrameSizeLimitIsTheSignedByteCount) {
  EXPECT_TRUE(frameFitsRGBA8(3840, 2160));
  EXPECT_TRUE(frameFitsRGBA8(0, 0));
  // 536870911 pixels * 4 = 2147483644 bytes: fits; one pixel more does not.
  EXPECT_TRUE(frameFitsRGBA8(536870911, 1));
  EXPECT_FALSE(frameFitsRGBA8(536870912, 1));
  EXPECT_FALSE(frameFitsRGBA8(32768, 16385));
  EXPECT_FALSE(frameFitsRGBA8(-1, 4));
  EXPECT_TRUE(
      extractRGBA(hostView(nullptr, 32768, 16385, 32768 * 4, 4, Depth::Byte), RowOrder::BottomUp)
          .empty());
}

TEST(PassThrough, CopyRowsRespectsTheSignOfEachStride) {
  // Source top-down (negative stride), destination bottom-up with padding.
  std::vector<uint8_t> src = {3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1};  // rows 2, 1, 0 in memory
  std::vector<uint8_t> dst(18, 0xEE);
  copyRows(src.data() + 8, -4, dst.data(), 6, 3, 4);
  const std::vector<uint8_t> expected = {1, 1,    1,    1, 0xEE, 0xEE, 2, 2,    2,
                                         2, 0xEE, 0xEE, 3, 3,    3,    3, 0xEE, 0xEE};
  EXPECT_EQ(dst, expected);
}

TEST(PassThrough, CopyRowsCopiesNoMoreThanTheRowsPixels) {
  std::vector<uint8_t> src(2 * 16, 5);
  std::vector<uint8_t> dst(2 * 16, 0);
  copyRows(src.data(), 16, dst.data(), 16, 2, 8);  // 8 bytes of pixels, 8 of padding
  for (int r = 0; r < 2; ++r) {
    for (int k = 0; k < 16; ++k) EXPECT_EQ(dst[r * 16 + k], k < 8 ? 5 : 0);
  }
}

TEST(PassThrough, CopyOverlapCopiesOnlySharedPositions) {
  // Source bounds (0,0)-(4,2), output (2,1)-(6,3): they share x 2..3 at y 1.
  std::vector<uint8_t> src(4 * 2, 0);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) src[y * 4 + x] = static_cast<uint8_t>(10 * y + x);
  std::vector<uint8_t> dst(4 * 2, 0xFF);
  HostView s;
  s.data = src.data();
  s.rowBytes = 4;
  s.x2 = 4;
  s.y2 = 2;
  s.components = 1;
  HostView d = s;
  d.data = dst.data();
  d.x1 = 2;
  d.y1 = 1;
  d.x2 = 6;
  d.y2 = 3;
  copyOverlap(s, d);
  const std::vector<uint8_t> expected = {12, 13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(dst, expected);
  // Another depth: nothing is copied.
  std::fill(dst.begin(), dst.end(), 0xFF);
  d.depth = Depth::Short;
  copyOverlap(s, d);
  EXPECT_EQ(dst, std::vector<uint8_t>(8, 0xFF));
}
