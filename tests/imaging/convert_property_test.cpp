// The fast conversions equal their plain twins on random images: every size
// class of the row loops (1 x 1, odd widths, widths off the vector step), both
// row orders, padded and negative strides, RGBA and RGB, all three depths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "imaging/imaging.h"

namespace {

struct Layout {
  int width;
  int height;
  int components;
  int bytes;  // per component
  int padding;
  bool negative;
  bool flip;
};

float randomFloat(std::mt19937& rng) {
  switch (rng() % 8) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return (rng() % 2 ? 1.0f : -1.0f) * std::numeric_limits<float>::infinity();
    case 2:
      return static_cast<float>(static_cast<int>(rng() % 400) - 100) / 100.0f;
    case 3: {  // right at a rounding boundary, give or take one step
      const float edge = (static_cast<float>(rng() % 256) + 0.5f) / 255.0f;
      const int steps = static_cast<int>(rng() % 5) - 2;
      float v = edge;
      for (int s = 0; s < std::abs(steps); ++s) v = std::nextafter(v, steps > 0 ? 2.0f : -2.0f);
      return v;
    }
    default:
      return std::uniform_real_distribution<float>(-0.1f, 1.1f)(rng);
  }
}

// Host memory for the layout with random pixels and padding; base is row 0.
struct HostBuffer {
  std::vector<uint8_t> memory;
  int rowBytes = 0;
  uint8_t* base = nullptr;
};

HostBuffer makeHost(const Layout& l, std::mt19937& rng) {
  HostBuffer h;
  const int rowLen = l.width * l.components * l.bytes + l.padding;
  h.memory.resize(static_cast<size_t>(rowLen) * l.height);
  for (uint8_t& b : h.memory) b = static_cast<uint8_t>(rng());
  if (l.bytes == 4) {
    for (size_t i = 0; i + 4 <= h.memory.size(); i += 4) {
      const float f = randomFloat(rng);
      std::memcpy(&h.memory[i], &f, 4);
    }
  }
  h.rowBytes = l.negative ? -rowLen : rowLen;
  h.base =
      l.negative ? h.memory.data() + static_cast<size_t>(rowLen) * (l.height - 1) : h.memory.data();
  return h;
}

std::vector<Layout> layouts(std::mt19937& rng) {
  std::vector<Layout> all;
  const int widths[] = {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 33, 63, 65, 127};
  for (int width : widths) {
    for (int bytes : {1, 2, 4}) {
      for (int components : {3, 4}) {
        Layout l;
        l.width = width;
        l.height = 1 + static_cast<int>(rng() % 4);
        l.components = components;
        l.bytes = bytes;
        l.padding = static_cast<int>(rng() % 3) * bytes * 2;
        l.negative = rng() % 2 == 0;
        l.flip = rng() % 4 != 0;
        all.push_back(l);
      }
    }
  }
  return all;
}

}  // namespace

TEST(ConvertProperty, ExtractEqualsPlainTwin) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 6; ++round) {
    for (const Layout& l : layouts(rng)) {
      const HostBuffer h = makeHost(l, rng);
      const bool isFloat = l.bytes == 4;
      const bool isShort = l.bytes == 2;
      const std::vector<uint8_t> fast =
          extractRGBA(hostView(h.base, l.width, l.height, h.rowBytes, l.components,
                               (isFloat)   ? Depth::Float
                               : (isShort) ? Depth::Short
                                           : Depth::Byte),
                      l.flip ? RowOrder::BottomUp : RowOrder::TopDown);
      const std::vector<uint8_t> plain =
          extractRGBAPlain(hostView(h.base, l.width, l.height, h.rowBytes, l.components,
                                    (isFloat)   ? Depth::Float
                                    : (isShort) ? Depth::Short
                                                : Depth::Byte),
                           l.flip ? RowOrder::BottomUp : RowOrder::TopDown);
      ASSERT_EQ(fast, plain) << l.width << "x" << l.height << " components " << l.components
                             << " bytes " << l.bytes << " rowBytes " << h.rowBytes;
    }
  }
}

TEST(ConvertProperty, WriteEqualsPlainTwinAndKeepsPadding) {
  std::mt19937 rng(7);
  for (int round = 0; round < 6; ++round) {
    for (const Layout& l : layouts(rng)) {
      std::vector<uint8_t> rgba(static_cast<size_t>(l.width) * l.height * 4);
      for (uint8_t& b : rgba) b = static_cast<uint8_t>(rng());
      HostBuffer fast = makeHost(l, rng);
      HostBuffer plain = fast;
      plain.base = plain.memory.data() + (fast.base - fast.memory.data());
      const std::vector<uint8_t> before = fast.memory;
      const bool isFloat = l.bytes == 4;
      const bool isShort = l.bytes == 2;
      writeRGBA(rgba.data(),
                hostView(fast.base, l.width, l.height, fast.rowBytes, l.components,
                         (isFloat)   ? Depth::Float
                         : (isShort) ? Depth::Short
                                     : Depth::Byte),
                l.flip ? RowOrder::BottomUp : RowOrder::TopDown);
      writeRGBAPlain(rgba.data(),
                     hostView(plain.base, l.width, l.height, plain.rowBytes, l.components,
                              (isFloat)   ? Depth::Float
                              : (isShort) ? Depth::Short
                                          : Depth::Byte),
                     l.flip ? RowOrder::BottomUp : RowOrder::TopDown);
      ASSERT_EQ(fast.memory, plain.memory) << l.width << "x" << l.height;
      const int pixelBytes = l.width * l.components * l.bytes;
      const int rowLen = pixelBytes + l.padding;
      for (int r = 0; r < l.height; ++r) {
        for (int k = pixelBytes; k < rowLen; ++k) {
          ASSERT_EQ(fast.memory[static_cast<size_t>(r) * rowLen + k],
                    before[static_cast<size_t>(r) * rowLen + k]);
        }
      }
    }
  }
}

TEST(ConvertProperty, EveryFloatBitPatternNearTheUnitRangeMatchesTheRule) {
  // All floats from -0.01 to 1.01 in steps of a few ulps, through the fast kernel.
  std::vector<float> values;
  for (float v = -0.01f; v < 1.01f; v = std::nextafter(v, 2.0f) + 1e-7f) values.push_back(v);
  while (values.size() % 4) values.push_back(0.5f);
  std::vector<uint8_t> host(values.size() * 4);
  std::memcpy(host.data(), values.data(), host.size());
  const int width = static_cast<int>(values.size() / 4);
  EXPECT_EQ(
      extractRGBA(hostView(host.data(), width, 1, width * 16, 4, Depth::Float), RowOrder::BottomUp),
      extractRGBAPlain(hostView(host.data(), width, 1, width * 16, 4, Depth::Float),
                       RowOrder::BottomUp));
}
