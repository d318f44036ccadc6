// Block-matching search: shifts, ties and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imaging/imaging.h"

namespace {

// Smooth, non-repeating texture defined everywhere, so shifted copies exist at any offset.
uint8_t texture(double x, double y) {
  const double v = 128 + 50 * std::sin(x * 0.047 + 0.4) + 40 * std::cos(y * 0.039 - 1.1) +
                   25 * std::sin((x + 2 * y) * 0.023) + 12 * std::cos((3 * x - y) * 0.031);
  return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
}

std::vector<uint8_t> square(int s, int shiftX, int shiftY) {
  std::vector<uint8_t> q(static_cast<size_t>(s) * s);
  for (int y = 0; y < s; ++y)
    for (int x = 0; x < s; ++x) q[static_cast<size_t>(y) * s + x] = texture(x - shiftX, y - shiftY);
  return q;
}

struct ShiftCase {
  int dx, dy, range;
  int wantDx, wantDy;
};
void PrintTo(const ShiftCase& c, std::ostream* os) {
  *os << "shift " << c.dx << "," << c.dy << " range " << c.range;
}

class TrackingShift : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(TrackingShift, FindsTheMotionOfTheContent) {
  const ShiftCase c = GetParam();
  const std::vector<uint8_t> anchor = square(128, 0, 0);
  const std::vector<uint8_t> current = square(128, c.dx, c.dy);
  for (const bool fast : {true, false}) {
    const uint64_t packed = (fast ? trackOffset : trackOffsetPlain)(anchor, current, 128, c.range);
    EXPECT_EQ(offsetDx(packed), c.wantDx) << (fast ? "fast" : "plain");
    EXPECT_EQ(offsetDy(packed), c.wantDy) << (fast ? "fast" : "plain");
  }
}

INSTANTIATE_TEST_SUITE_P(Shifts, TrackingShift,
                         ::testing::Values(ShiftCase{0, 0, 32, 0, 0}, ShiftCase{3, 2, 32, 3, 2},
                                           ShiftCase{-5, 7, 32, -5, 7},
                                           ShiftCase{30, -29, 32, 30, -29},
                                           // the fine stage reaches past the coarse range
                                           ShiftCase{35, 0, 32, 35, 0},
                                           // a negative range searches only -4..4 around (0, 0)
                                           ShiftCase{3, -2, -1, 3, -2}));

TEST(Tracking, PackedShiftHoldsDxLowAndDyHigh) {
  const uint64_t packed = trackOffset(square(64, 0, 0), square(64, -5, 7), 64, 32);
  EXPECT_EQ(packed, (static_cast<uint64_t>(7) << 32) | static_cast<uint32_t>(-5));
}

TEST(Tracking, UniformSquaresTieAndTheFirstCandidateWins) {
  const std::vector<uint8_t> flat(128 * 128, 90);
  for (const bool fast : {true, false}) {
    const uint64_t packed = (fast ? trackOffset : trackOffsetPlain)(flat, flat, 128, 32);
    EXPECT_EQ(offsetDx(packed), -32);
    EXPECT_EQ(offsetDy(packed), -32);
  }
}

TEST(Tracking, NegativeRangeNeverLeavesTheFineWindow) {
  const uint64_t packed = trackOffset(square(128, 0, 0), square(128, 9, 0), 128, -1);
  EXPECT_LE(std::abs(offsetDx(packed)), 4);
  EXPECT_LE(std::abs(offsetDy(packed)), 4);
}

TEST(Tracking, SquareOfWrongByteCountGivesNoShift) {
  const std::vector<uint8_t> good = square(32, 0, 0);
  const std::vector<uint8_t> shifted = square(32, 3, 3);
  EXPECT_EQ(trackOffset(good, std::vector<uint8_t>(32 * 31), 32, 32), 0u);
  EXPECT_EQ(trackOffset(std::vector<uint8_t>(32 * 33), shifted, 32, 32), 0u);
  EXPECT_EQ(trackOffset(good, shifted, 31, 32), 0u);
  EXPECT_EQ(trackOffset({}, {}, 0, 32), 0u);
}

TEST(Tracking, AbsurdRangeStillFinishes) {
  const uint64_t packed = trackOffset(square(16, 0, 0), square(16, 1, 2), 16, 2000000000);
  EXPECT_EQ(packed, trackOffsetPlain(square(16, 0, 0), square(16, 1, 2), 16, 2000000000));
}

TEST(Tracking, DownsampleGivesLumaOfAUniformFrame) {
  // (200, 100, 50): (299*200 + 587*100 + 114*50) / 1000 = 124.2 -> 124
  std::vector<uint8_t> frame(40 * 30 * 4);
  for (size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = 200;
    frame[i + 1] = 100;
    frame[i + 2] = 50;
    frame[i + 3] = 255;
  }
  const std::vector<uint8_t> gray = downsampleToGray(frame.data(), 40, 30, 8);
  ASSERT_EQ(gray.size(), 64u);
  for (uint8_t v : gray) EXPECT_EQ(v, 124);
  EXPECT_TRUE(downsampleToGray(frame.data(), 40, 30, 0).empty());
}

TEST(Tracking, LumaTruncates) {
  EXPECT_EQ(lumaOf(255, 255, 255), 255);
  EXPECT_EQ(lumaOf(0, 0, 0), 0);
  EXPECT_EQ(lumaOf(1, 1, 1), 1);
  EXPECT_EQ(lumaOf(0, 0, 255), 29);   // 29.07
  EXPECT_EQ(lumaOf(255, 0, 0), 76);   // 76.245
  EXPECT_EQ(lumaOf(0, 255, 0), 149);  // 149.685
}

}  // namespace
