// The compositing worker: its arithmetic, the tracking shift, the row bands,
// and byte-identity with the plain twin.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imaging/imaging.h"

namespace {

struct Layers {
  int width;
  int height;
  std::vector<uint8_t> source, mask, background, coverage, output;
  Layers(int w, int h)
      : width(w),
        height(h),
        source(w * h * 4),
        mask(w * h, 255),
        background(w * h * 4),
        coverage(w * h, 255),
        output(w * h * 4, 0) {}
  CompositeJob job(float blend, bool withMask = true) {
    CompositeJob j;
    j.width = width;
    j.height = height;
    j.blend = blend;
    j.source = source.data();
    j.mask = withMask ? &mask : nullptr;
    j.background = &background;
    j.coverage = &coverage;
    j.output = output.data();
    return j;
  }
};

// One pixel through both workers; returns the fast result after checking they agree.
std::vector<uint8_t> onePixel(uint8_t src, uint8_t bg, uint8_t m, uint8_t c, float blend) {
  Layers l(1, 1);
  l.source = {src, src, src, 17};
  l.background = {bg, bg, bg, 99};
  l.mask = {m};
  l.coverage = {c};
  CompositeJob j = l.job(blend);
  compositeWorker(0, 1, &j);
  const std::vector<uint8_t> fast = l.output;
  compositeWorkerPlain(0, 1, &j);
  EXPECT_EQ(fast, l.output);
  return fast;
}

}  // namespace

TEST(Composite, ArithmeticExamples) {
  struct Case {
    uint8_t src, bg, mask, coverage;
    float blend;
    uint8_t expected;
  };
  const Case cases[] = {
      {100, 200, 128, 255, 1.0f, 150},  // a = 0.50196: 150.196 truncated
      {250, 10, 255, 255, 0.5f, 130},  {100, 200, 255, 255, 1.0f, 200},  // full background
      {100, 200, 255, 255, 0.0f, 100},                                   // blend 0 keeps the source
      {100, 200, 0, 255, 1.0f, 100},                                     // mask 0
      {100, 200, 255, 0, 1.0f, 100},                                     // no coverage
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> out = onePixel(c.src, c.bg, c.mask, c.coverage, c.blend);
    EXPECT_EQ(out, (std::vector<uint8_t>{c.expected, c.expected, c.expected, 255}))
        << int(c.src) << " " << int(c.bg) << " m" << int(c.mask) << " c" << int(c.coverage)
        << " blend " << c.blend;
  }
}

TEST(Composite, EveryOutputPixelIsOpaque) {
  Layers l(37, 3);
  std::mt19937 rng(3);
  for (auto& b : l.source) b = static_cast<uint8_t>(rng());
  for (auto& b : l.mask) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
  CompositeJob j = l.job(0.7f);
  compositeWorker(0, 1, &j);
  for (size_t i = 3; i < l.output.size(); i += 4) ASSERT_EQ(l.output[i], 255);
}

TEST(Composite, ShiftRightTenTakesTheLayerOfColumnZero) {
  Layers l(20, 1);
  for (int x = 0; x < 20; ++x) {
    l.source[x * 4] = 1;
    l.background[x * 4] = static_cast<uint8_t>(100 + x);
  }
  CompositeJob j = l.job(1.0f);
  j.shiftX = 10;
  compositeWorker(0, 1, &j);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(l.output[x * 4], 1) << x;
  for (int x = 10; x < 20; ++x) EXPECT_EQ(l.output[x * 4], 100 + x - 10) << x;
}

TEST(Composite, RowBandsCoverEachRowOnce) {
  const int firsts[] = {0, 1, 2, 3};
  const int lasts[] = {1, 2, 3, 5};
  for (unsigned i = 0; i < 4; ++i) {
    const RowBand b = rowBand(i, 4, 5);
    EXPECT_EQ(b.first, firsts[i]);
    EXPECT_EQ(b.last, lasts[i]);
  }
  int empty = 0;
  std::vector<int> seen(3, 0);
  for (unsigned i = 0; i < 16; ++i) {
    const RowBand b = rowBand(i, 16, 3);
    if (b.first == b.last) ++empty;
    for (int y = b.first; y < b.last; ++y) ++seen[y];
  }
  EXPECT_EQ(empty, 13);
  EXPECT_EQ(seen, (std::vector<int>{1, 1, 1}));
}

TEST(Composite, ThreadsWithEmptyBandsWriteNothing) {
  Layers l(4, 3);
  CompositeJob j = l.job(1.0f);
  for (unsigned i = 0; i < 16; ++i) {
    const RowBand b = rowBand(i, 16, 3);
    if (b.first != b.last) continue;
    compositeWorker(i, 16, &j);
  }
  EXPECT_EQ(l.output, std::vector<uint8_t>(l.output.size(), 0));
}

TEST(CompositeProperty, FastWorkerEqualsPlainTwin) {
  std::mt19937 rng(11);
  const int widths[] = {1, 2, 3, 5, 15, 16, 17, 31, 32, 33, 47, 64, 100};
  const float blends[] = {1.0f, 0.0f, 0.5f, 0.3337f, 0.999f};
  for (int round = 0; round < 4; ++round) {
    for (int w : widths) {
      const int h = 1 + static_cast<int>(rng() % 6);
      Layers l(w, h);
      for (auto& b : l.source) b = static_cast<uint8_t>(rng());
      for (auto& b : l.background) b = static_cast<uint8_t>(rng());
      // Runs of 0 and 255 (the copy paths) mixed with arbitrary values.
      const int style = static_cast<int>(rng() % 3);
      for (size_t i = 0; i < l.mask.size(); ++i) {
        const int run = static_cast<int>((i / 16 + rng() % 2) % 3);
        l.mask[i] = style == 0 ? static_cast<uint8_t>(rng())
                               : static_cast<uint8_t>(run == 0   ? 0
                                                      : run == 1 ? 255
                                                                 : rng());
        l.coverage[i] = rng() % 8 == 0 ? static_cast<uint8_t>(rng()) : (rng() % 5 ? 255 : 0);
      }
      for (float blend : blends) {
        for (bool withMask : {true, false}) {
          CompositeJob j = l.job(blend, withMask);
          j.shiftX = static_cast<int>(rng() % (2 * w + 1)) - w;
          j.shiftY = static_cast<int>(rng() % (2 * h + 1)) - h;
          const unsigned threads = 1 + rng() % 5;
          for (unsigned t = 0; t < threads; ++t) compositeWorker(t, threads, &j);
          const std::vector<uint8_t> fast = l.output;
          std::fill(l.output.begin(), l.output.end(), 0);
          compositeWorkerPlain(0, 1, &j);
          ASSERT_EQ(fast, l.output) << w << "x" << h << " blend " << blend << " shift " << j.shiftX
                                    << "," << j.shiftY << " mask " << withMask;
          // In place: the output buffer is the source buffer.
          std::vector<uint8_t> inPlace = l.source;
          CompositeJob k = j;
          k.source = inPlace.data();
          k.output = inPlace.data();
          compositeWorker(0, 1, &k);
          ASSERT_EQ(inPlace, fast);
        }
      }
    }
  }
}
