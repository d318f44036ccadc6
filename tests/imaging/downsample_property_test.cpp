// downsampleToGray against the resampler it must equal byte for byte
// (downsampleToGrayPlain): frame shapes that take each of the resampler's paths, alpha
// from opaque to fully clear, and the frame sizes the plug-in meets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/resize_plan.h"

namespace {

enum class Alpha { Opaque, Random, ZeroOrFull, ClearCorner, MostlyClear, Clear };

const char* alphaName(Alpha a) {
  switch (a) {
    case Alpha::Opaque:
      return "opaque";
    case Alpha::Random:
      return "random";
    case Alpha::ZeroOrFull:
      return "zero-or-full";
    case Alpha::ClearCorner:
      return "clear-corner";
    case Alpha::MostlyClear:
      return "mostly-clear";
    case Alpha::Clear:
      return "clear";
  }
  return "?";
}

std::vector<uint8_t> frame(std::mt19937& rng, int w, int h, Alpha mode) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(byte(rng));
      p[1] = static_cast<uint8_t>(byte(rng));
      p[2] = static_cast<uint8_t>(byte(rng));
      int a = 255;
      switch (mode) {
        case Alpha::Opaque:
          break;
        case Alpha::Random:
          a = byte(rng);
          break;
        case Alpha::ZeroOrFull:
          a = byte(rng) < 85 ? 0 : 255;
          break;
        // A matte: a clear region next to an opaque one with soft values between, so
        // that some outputs come out with zero alpha and some with a little.
        case Alpha::ClearCorner:
          a = 3 * x + 2 * y < w + h ? 0 : (byte(rng) < 128 ? 255 : byte(rng));
          break;
        case Alpha::MostlyClear:
          a = byte(rng) < 64 ? byte(rng) % 3 : 0;
          break;
        case Alpha::Clear:
          a = 0;
          break;
      }
      p[3] = static_cast<uint8_t>(a);
    }
  return f;
}

struct Shape {
  int w, h, size;
};

// A caller's pool as the render has one: every body on a thread of its own.
void onThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (std::thread& t : threads) t.join();
}

void expectSame(const std::vector<uint8_t>& f, const Shape& s, const std::string& what) {
  const std::vector<uint8_t> fast = downsampleToGray(f.data(), s.w, s.h, s.size, onThreads);
  const std::vector<uint8_t> plain = downsampleToGrayPlain(f.data(), s.w, s.h, s.size);
  ASSERT_EQ(downsampleToGray(f.data(), s.w, s.h, s.size), fast) << what << ": one thread";
  ASSERT_EQ(fast.size(), plain.size()) << what;
  size_t differ = 0, first = fast.size();
  for (size_t i = 0; i < fast.size(); ++i)
    if (fast[i] != plain[i]) {
      if (differ++ == 0) first = i;
    }
  ASSERT_EQ(differ, 0u) << what << ": first at " << first << " (" << int(fast[first]) << " vs "
                        << int(plain[first]) << ")";
}

std::string label(const Shape& s, Alpha a) {
  return std::to_string(s.w) + "x" + std::to_string(s.h) + " -> " + std::to_string(s.size) + " " +
         alphaName(a);
}

const Alpha kAlphas[] = {Alpha::Opaque,      Alpha::Random,      Alpha::ZeroOrFull,
                         Alpha::ClearCorner, Alpha::MostlyClear, Alpha::Clear};

TEST(DownsampleProperty, EqualsResamplerOnAwkwardShapes) {
  // 1 x 1, single rows and columns, odd sizes, squares larger than the frame (enlarging),
  // squares equal to one side (the resampler's point sampling on that axis), and wide and
  // tall frames (columns first and rows first).
  const Shape shapes[] = {{1, 1, 1},       {1, 1, 7},       {3, 2, 1},      {17, 9, 7},
                          {1, 300, 16},    {300, 1, 16},    {2, 513, 128},  {513, 2, 128},
                          {64, 48, 128},   {128, 77, 128},  {99, 128, 128}, {128, 128, 128},
                          {321, 180, 128}, {180, 321, 128}, {640, 33, 16},  {33, 640, 16},
                          {255, 257, 31},  {1001, 999, 128}};
  std::mt19937 rng(5);
  for (const Shape& s : shapes)
    for (const Alpha a : kAlphas) expectSame(frame(rng, s.w, s.h, a), s, label(s, a));
}

TEST(DownsampleProperty, EqualsResamplerOnRandomShapes) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> side(1, 700), square(1, 160), pick(0, 5);
  for (int i = 0; i < 120; ++i) {
    const Shape s{side(rng), side(rng), i % 3 == 0 ? 128 : square(rng)};
    const Alpha a = kAlphas[pick(rng)];
    expectSame(frame(rng, s.w, s.h, a), s, label(s, a));
  }
}

TEST(DownsampleProperty, EqualsResamplerOnVideoFrames) {
  // The sizes the render action meets, landscape and portrait, at the anchor's 128.
  const Shape shapes[] = {{1920, 1080, 128}, {1080, 1920, 128}, {1280, 720, 128},
                          {3840, 2160, 128}, {2048, 858, 128},  {720, 576, 128}};
  std::mt19937 rng(11);
  for (const Shape& s : shapes)
    for (const Alpha a : kAlphas) expectSame(frame(rng, s.w, s.h, a), s, label(s, a));
}

TEST(DownsampleProperty, VideoFramesTakeTheSpecialisedPath) {
  // The resampler's plan is read for the common frames, in both orders of the passes; a
  // refused plan would still be correct but as slow as the library.
  RgbaSrgbPlan plan;
  ASSERT_TRUE(readRgbaSrgbPlan(1920, 1080, 128, 128, plan));
  EXPECT_FALSE(plan.verticalFirst);
  ASSERT_TRUE(readRgbaSrgbPlan(1080, 1920, 128, 128, plan));
  EXPECT_TRUE(plan.verticalFirst);
  ASSERT_TRUE(readRgbaSrgbPlan(3840, 2160, 128, 128, plan));
}

TEST(DownsampleProperty, RepeatedFramesOfChangingSizesStayEqual) {
  // Prepared plans are kept per frame size; going back and forth must not mix them up.
  std::mt19937 rng(3);
  const Shape shapes[] = {{640, 360, 128}, {360, 640, 128}, {640, 360, 64},
                          {800, 450, 128}, {641, 360, 128}, {640, 361, 128}};
  for (int round = 0; round < 3; ++round)
    for (const Shape& s : shapes)
      expectSame(frame(rng, s.w, s.h, Alpha::Random), s, label(s, Alpha::Random));
}

TEST(DownsampleProperty, SeveralThreadsOfDifferentSizesAtOnceStayEqual) {
  // Prepared plans are shared between threads; more sizes than are kept, all at once.
  const Shape shapes[] = {{640, 360, 128}, {360, 640, 128},  {700, 300, 64},
                          {512, 512, 32},  {1000, 200, 128}, {200, 1000, 100}};
  std::mt19937 rng(13);
  std::vector<std::vector<uint8_t>> frames, expected;
  for (const Shape& s : shapes) {
    frames.push_back(frame(rng, s.w, s.h, Alpha::ClearCorner));
    expected.push_back(downsampleToGrayPlain(frames.back().data(), s.w, s.h, s.size));
  }
  std::vector<int> mismatches(frames.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < frames.size(); ++i)
    threads.emplace_back([&, i] {
      const Shape s = shapes[i];
      for (int round = 0; round < 10; ++round)
        if (downsampleToGray(frames[i].data(), s.w, s.h, s.size) != expected[i]) ++mismatches[i];
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(mismatches[i], 0) << label(shapes[i], Alpha::ClearCorner);
}

TEST(DownsampleProperty, NothingToResampleGivesTheSameAsTheResampler) {
  std::vector<uint8_t> f(4 * 4 * 4, 200);
  EXPECT_TRUE(downsampleToGray(f.data(), 4, 4, 0).empty());
  EXPECT_EQ(downsampleToGray(nullptr, 4, 4, 8), downsampleToGrayPlain(nullptr, 4, 4, 8));
  EXPECT_EQ(downsampleToGray(f.data(), 0, 4, 8), downsampleToGrayPlain(f.data(), 0, 4, 8));
}

}  // namespace
