// Every fast kernel against its plain twin over random images, awkward sizes and
// parameters. Any difference, in any byte, is a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/motion_pass.h"
#include "imaging/plate_resample.h"

namespace {

struct Size {
  int w, h;
};

// 1 x 1, single rows and columns, widths around multiples of the vector width, odd sizes.
const Size kSizes[] = {{1, 1},   {1, 7},    {9, 1},   {2, 2},  {15, 3},  {16, 16},
                       {17, 5},  {31, 33},  {33, 31}, {47, 2}, {64, 17}, {100, 1},
                       {1, 100}, {129, 18}, {250, 7}, {3, 260}};

enum class Content { Random, Binary, Blobs, Constant };

std::vector<uint8_t> makeImage(std::mt19937& rng, int w, int h, Content c) {
  std::vector<uint8_t> img(static_cast<size_t>(w) * h);
  std::uniform_int_distribution<int> byte(0, 255);
  switch (c) {
    case Content::Random:
      for (auto& v : img) v = static_cast<uint8_t>(byte(rng));
      break;
    case Content::Binary:
      for (auto& v : img) v = byte(rng) < 128 ? 0 : 255;
      break;
    case Content::Blobs: {
      // A few rectangles: long runs, like real masks.
      for (int k = 0; k < 4; ++k) {
        const int x0 = byte(rng) % w, y0 = byte(rng) % h;
        const int x1 = x0 + byte(rng) % w, y1 = y0 + byte(rng) % h;
        const uint8_t v = static_cast<uint8_t>(byte(rng));
        for (int y = y0; y < std::min(y1 + 1, h); ++y)
          for (int x = x0; x < std::min(x1 + 1, w); ++x) img[static_cast<size_t>(y) * w + x] = v;
      }
      break;
    }
    case Content::Constant:
      std::fill(img.begin(), img.end(), static_cast<uint8_t>(byte(rng)));
      break;
  }
  return img;
}

const Content kContents[] = {Content::Random, Content::Binary, Content::Blobs, Content::Constant};
const int kRadii[] = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 30, 31, 63, 64, 100, 300};

TEST(KernelProperty, MorphologyMatchesPlainTwin) {
  std::mt19937 rng(1234);
  for (const Size s : kSizes)
    for (const Content c : kContents)
      for (const int r : kRadii)
        for (const bool dilate : {true, false}) {
          const std::vector<uint8_t> img = makeImage(rng, s.w, s.h, c);
          std::vector<uint8_t> fast = img, plain = img;
          morphH(fast, s.w, s.h, r, dilate);
          morphHPlain(plain, s.w, s.h, r, dilate);
          ASSERT_EQ(fast, plain) << "morphH " << s.w << "x" << s.h << " r" << r << " dilate "
                                 << dilate;
          fast = img;
          plain = img;
          morphV(fast, s.w, s.h, r, dilate);
          morphVPlain(plain, s.w, s.h, r, dilate);
          ASSERT_EQ(fast, plain) << "morphV " << s.w << "x" << s.h << " r" << r << " dilate "
                                 << dilate;
        }
}

TEST(KernelProperty, BoxBlurMatchesPlainTwin) {
  std::mt19937 rng(99);
  for (const Size s : kSizes)
    for (const Content c : kContents)
      for (const int r : kRadii) {
        const std::vector<uint8_t> img = makeImage(rng, s.w, s.h, c);
        std::vector<uint8_t> fast = img, plain = img;
        boxBlur(fast, s.w, s.h, r);
        boxBlurPlain(plain, s.w, s.h, r);
        ASSERT_EQ(fast, plain) << "boxBlur " << s.w << "x" << s.h << " r" << r;
      }
}

TEST(KernelProperty, BoxBlurDividesExactlyForEveryInteriorWindowAndSum) {
  // A staircase v[i] = i / d makes the window of d pixels starting at p sum to exactly p,
  // so one row per radius walks every sum 0 .. 255 d through the divider, in both directions.
  for (int r = 1; r <= 63; ++r) {
    const int d = 2 * r + 1;
    const int n = 256 * d;
    std::vector<uint8_t> stairs(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) stairs[static_cast<size_t>(i)] = static_cast<uint8_t>(i / d);
    for (const bool horizontal : {true, false}) {
      std::vector<uint8_t> m = stairs;
      boxBlur(m, horizontal ? n : 1, horizontal ? 1 : n, r);
      for (int p = 0; p + d <= n; ++p)
        ASSERT_EQ(m[static_cast<size_t>(p + r)], p / d) << "window " << d << " sum " << p;
    }
  }
}

TEST(KernelProperty, BuildMaskMatchesPlainComposition) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> grow(-8, 8), feather(-2, 8), thr(0, 255);
  for (const Size s : kSizes)
    for (const Content c : kContents)
      for (int k = 0; k < 6; ++k) {
        const std::vector<uint8_t> img = makeImage(rng, s.w, s.h, c);
        const float t = static_cast<float>(thr(rng)) + 0.5f;
        const bool soft = k % 2 == 0;
        const int g = grow(rng), a = feather(rng), b = feather(rng);
        ASSERT_EQ(buildMask(img, s.w, s.h, t, soft, g, a, b),
                  buildMaskPlain(img, s.w, s.h, t, soft, g, a, b))
            << s.w << "x" << s.h << " grow " << g << " feathers " << a << "," << b;
      }
}

TEST(KernelProperty, BuildMaskMatchesPlainCompositionOnVideoFrames) {
  // Blobs of subject in noise at video sizes, with the defaults and wider settings.
  struct Case {
    int w, h, grow, inner, outer;
    bool soft;
  };
  // The matte path's defaults (soft, no grow, outer feather 5), the difference path's, the
  // benchmark's chain, and wider settings.
  const Case cases[] = {{1920, 1080, 0, 0, 5, true},   {1920, 1080, 0, 0, 5, false},
                        {1920, 1080, 5, 5, 5, false},  {1280, 720, -7, 12, 3, true},
                        {1080, 1920, 3, 0, 30, false}, {1280, 720, 0, 6, 0, true}};
  std::mt19937 rng(21);
  for (const Case& c : cases) {
    const std::vector<uint8_t> img = makeImage(rng, c.w, c.h, Content::Blobs);
    ASSERT_EQ(buildMask(img, c.w, c.h, 51.0f, c.soft, c.grow, c.inner, c.outer),
              buildMaskPlain(img, c.w, c.h, 51.0f, c.soft, c.grow, c.inner, c.outer))
        << c.w << "x" << c.h << " grow " << c.grow << " feathers " << c.inner << "," << c.outer;
  }
}

TEST(KernelProperty, BuildMaskOnSeveralThreadsAtOnceMatchesPlain) {
  // The working buffers are lent out per call; calls running together must not share one.
  std::mt19937 rng(8);
  std::vector<std::vector<uint8_t>> images;
  const int sizes[][2] = {{640, 360}, {333, 517}, {800, 450}, {96, 1000}};
  for (const auto& s : sizes) images.push_back(makeImage(rng, s[0], s[1], Content::Blobs));
  std::vector<std::vector<uint8_t>> expected;
  for (size_t i = 0; i < images.size(); ++i)
    expected.push_back(buildMaskPlain(images[i], sizes[i][0], sizes[i][1], 40.0f, false, 2, 4, 6));
  std::vector<int> mismatches(images.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < images.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < 20; ++round)
        if (buildMask(images[i], sizes[i][0], sizes[i][1], 40.0f, false, 2, 4, 6) != expected[i])
          ++mismatches[i];
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < images.size(); ++i) EXPECT_EQ(mismatches[i], 0) << "image " << i;
}

TEST(KernelProperty, TrackOffsetMatchesPlainTwin) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> byte(0, 255);
  for (const int size : {1, 2, 5, 15, 16, 17, 20, 33, 40, 64, 100, 128}) {
    for (const int range : {-3, 0, 1, 4, 7, 32, 40}) {
      std::vector<uint8_t> a(static_cast<size_t>(size) * size), q(a.size());
      // Random squares, and squares that are shifted copies plus noise.
      for (auto& v : a) v = static_cast<uint8_t>(byte(rng));
      const int sx = byte(rng) % 11 - 5, sy = byte(rng) % 11 - 5;
      for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
          const int ax = std::min(std::max(x - sx, 0), size - 1),
                    ay = std::min(std::max(y - sy, 0), size - 1);
          q[static_cast<size_t>(y) * size + x] = static_cast<uint8_t>(
              std::min(255, a[static_cast<size_t>(ay) * size + ax] + byte(rng) % 9));
        }
      ASSERT_EQ(trackOffset(a, q, size, range), trackOffsetPlain(a, q, size, range))
          << size << " " << range;
      for (auto& v : q) v = static_cast<uint8_t>(byte(rng));
      ASSERT_EQ(trackOffset(a, q, size, range), trackOffsetPlain(a, q, size, range))
          << size << " " << range;
    }
  }
}

TEST(KernelProperty, SubjectPixelsMatchPlainTwin) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (const size_t count : {0, 1, 3, 4, 5, 17, 64, 1001}) {
    // The frame near the backdrop and near the returned image, so every test goes both ways.
    std::vector<uint8_t> frame(count * 4), backdrop(count * 4), still(count * 4), footprint(count);
    for (size_t i = 0; i < count * 4; ++i) {
      frame[i] = static_cast<uint8_t>(byte(rng));
      backdrop[i] = static_cast<uint8_t>(std::clamp(frame[i] + byte(rng) % 61 - 30, 0, 255));
      still[i] = static_cast<uint8_t>(std::clamp(frame[i] + byte(rng) % 61 - 30, 0, 255));
      if (i % 4 == 3) backdrop[i] = byte(rng) < 40 ? 0 : backdrop[i];
    }
    for (auto& f : footprint) f = byte(rng) < 128 ? 0 : 255;
    for (const int threshold : {-1, 0, 8, 20, 254, 255, 300})
      for (const bool withStill : {true, false}) {
        std::vector<uint8_t> fast(count, 9), plain(count, 9);
        const uint8_t* st = withStill ? still.data() : nullptr;
        const uint8_t* fp = withStill ? footprint.data() : nullptr;
        subjectPixels(frame.data(), backdrop.data(), st, fp, count, threshold, fast.data());
        subjectPixelsPlain(frame.data(), backdrop.data(), st, fp, count, threshold, plain.data());
        ASSERT_EQ(fast, plain) << count << " " << threshold << " " << withStill;
      }
  }
}

TEST(KernelProperty, DifferenceKeyMatchesPlainTwin) {
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<Size> sizes(std::begin(kSizes), std::end(kSizes));
  sizes.insert(sizes.end(), {{160, 120}, {300, 64}, {64, 300}, {640, 480}});
  for (const Size size : sizes)
    for (int t = 0; t < 7; ++t) {
      // A noisy backdrop; blocks of subject (anywhere, the border too) with a strand hanging
      // from each, and specks. The last two hold many small blocks, some near enough to
      // each other to be keyed together and some not.
      const int w = size.w, h = size.h;
      const size_t n = static_cast<size_t>(w) * h;
      std::vector<uint8_t> backdrop(n * 4), footprint(n);
      for (size_t i = 0; i < n * 4; ++i) backdrop[i] = static_cast<uint8_t>(100 + byte(rng) % 9);
      std::vector<uint8_t> frame = backdrop;
      for (auto& v : frame) v = static_cast<uint8_t>(v + byte(rng) % 5 - 2);  // sensor noise
      const auto paint = [&](int x, int y, int v) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        for (int c = 0; c < 3; ++c) frame[(static_cast<size_t>(y) * w + x) * 4 + c] = uint8_t(v);
      };
      const bool manyParts = t >= 5, byColour = t == 3 || t == 4 || t == 6;
      for (int k = 0; k < (manyParts ? 16 : t); ++k) {
        const int most = manyParts ? 10 : 30;
        const int x0 = byte(rng) % w - 4, y0 = byte(rng) % h - 4, bw = 1 + byte(rng) % most,
                  bh = 1 + byte(rng) % most;
        // One block of t == 3 takes the backdrop's colour family, which tells it for
        // uncovered backdrop where the still rule does not keep it.
        const int drawn = byte(rng), v = t == 3 && k == 0 ? 127 : drawn;
        for (int y = y0; y < y0 + bh; ++y)
          for (int x = x0; x < x0 + bw; ++x) paint(x, y, v);
        for (int d = 0; d < 12; ++d) paint(x0 + bw + d, y0 + d / 2, 128 + v / 2);
      }
      // The last also has specks all over the frame, too many parts to key each alone.
      for (int k = 0; k < (t == 6 ? 80 : 5); ++k) {
        const int x = t == 6 ? byte(rng) * w / 256 : byte(rng) % w;
        const int y = t == 6 ? byte(rng) * h / 256 : byte(rng) % h;
        paint(x, y, byte(rng));
      }
      // The footprint in runs, some longer than eight pixels; the returned image shows the
      // frame but for a few pixels.
      for (size_t i = 0; i < n; ++i) footprint[i] = t == 3 && (i / 21) % 3 != 0 ? 255 : 0;
      // Some tell uncovered backdrop by colour; their backdrop is known.
      if (byColour)
        for (size_t i = 0; i < n; ++i) backdrop[i * 4 + 3] = frame[i * 4 + 3] = 255;
      std::vector<uint8_t> returned = frame;
      for (size_t i = 0; i < n; ++i)
        if (byte(rng) < 32) returned[i * 4 + i % 3] ^= 0x40;
      const uint8_t* still = t == 3 ? returned.data() : nullptr;
      const uint8_t* fp = t == 3 ? footprint.data() : nullptr;
      std::vector<uint8_t> core(n);
      for (auto& c : core) c = byte(rng) < 96 ? 255 : 0;
      for (int k = 0; (t == 4 || t == 6) && k < 8; ++k) {  // kept blocks, deep inside and at edges
        const int x0 = byte(rng) % w, y0 = byte(rng) % h, x1 = x0 + byte(rng) % 40,
                  y1 = y0 + byte(rng) % 40;
        for (int y = y0; y < std::min(y1, h); ++y)
          for (int x = x0; x < std::min(x1, w); ++x) core[static_cast<size_t>(y) * w + x] = 255;
      }
      const ColourOdds odds = colourOdds(frame.data(), backdrop.data(), footprint, core, w, h);
      UncoveredBackdrop uncovered;
      uncovered.core = core.data();
      uncovered.width = w;
      uncovered.height = h;
      uncovered.odds = &odds;
      const UncoveredBackdrop* u = byColour ? &uncovered : nullptr;
      // Each index of a parallel call on a thread of its own, as a host's pool runs them.
      const ParallelFor onThreads = [](int count, const std::function<void(int)>& body) {
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
        for (auto& thread : threads) thread.join();
      };
      ASSERT_EQ(differenceKey(frame.data(), backdrop.data(), still, fp, w, h, 20, onThreads, u),
                differenceKeyPlain(frame.data(), backdrop.data(), still, fp, w, h, 20, u))
          << w << "x" << h << " " << t;
    }
}

TEST(KernelProperty, CompositeRefinedRowsMatchesPlainTwin) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> byte(0, 255);
  for (const Size size : kSizes)
    for (const Content content : kContents)
      for (int t = 0; t < 6; ++t) {
        // Masks and keys of long runs of 0 and 255 (and some between); without a mask, a
        // key or a backdrop; blend none, part and whole; the output in place of the source.
        const int w = size.w, h = size.h;
        const size_t n = static_cast<size_t>(w) * h;
        std::vector<uint8_t> mask = makeImage(rng, w, h, content);
        std::vector<uint8_t> key = makeImage(rng, w, h, content);
        for (size_t i = 0; i < n; ++i)
          if (byte(rng) < 224) mask[i] = mask[i] < 128 ? 0 : 255, key[i] = mask[i] ? key[i] : 0;
        std::vector<uint8_t> source(n * 4), plate(n * 4), backdrop(n * 4);
        for (auto* image : {&source, &plate, &backdrop})
          for (auto& v : *image) v = static_cast<uint8_t>(byte(rng));
        std::vector<uint8_t> fast(n * 4, 7), plain(n * 4, 7);
        RefinedLayers L;
        L.width = w;
        L.height = h;
        L.source = source.data();
        L.plate = plate.data();
        L.mask = t == 1 ? nullptr : mask.data();
        L.key = t == 2 ? nullptr : key.data();
        L.backdrop = t == 3 ? nullptr : backdrop.data();
        L.blend = t == 4 ? 0.0f : t == 5 ? 0.6f : 1.0f;
        const int first = byte(rng) % h, last = first + 1 + byte(rng) % h;
        L.output = fast.data();
        compositeRefinedRows(L, first, last);
        L.output = plain.data();
        compositeRefinedRowsPlain(L, first, last);
        ASSERT_EQ(fast, plain) << w << "x" << h << " case " << t;
        std::vector<uint8_t> inPlace = source, expected = source;
        const size_t from = static_cast<size_t>(first) * w * 4,
                     to = static_cast<size_t>(std::min(last, h)) * w * 4;
        std::copy(plain.begin() + from, plain.begin() + to, expected.begin() + from);
        L.source = L.output = inPlace.data();
        compositeRefinedRows(L, first, last);
        ASSERT_EQ(inPlace, expected) << w << "x" << h << " in place, case " << t;
      }
}

TEST(KernelProperty, ResamplePlateMatchesPlainTwin) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<double> shift(-6.0, 6.0), stretch(0.6, 1.6);
  for (const Size plate : kSizes)
    for (int t = 0; t < 6; ++t) {
      // At rest, a pan, and scaled pans; some reaching far past the plate's border.
      PlateMap map;
      if (t > 0) map.bx = shift(rng) * t, map.by = shift(rng) * t;
      if (t > 2) map.ax = stretch(rng), map.ay = stretch(rng);
      const int w = t == 0 ? plate.w : 1 + byte(rng) % 40,
                h = t == 0 ? plate.h : 1 + byte(rng) % 40;
      std::vector<uint8_t> pixels(static_cast<size_t>(plate.w) * plate.h * 4);
      for (auto& v : pixels) v = static_cast<uint8_t>(byte(rng));
      std::vector<uint8_t> fast(static_cast<size_t>(w) * h * 4, 7), plain(fast), portable(fast);
      const int first = byte(rng) % h, last = first + 1 + byte(rng) % h;
      resamplePlate(pixels.data(), plate.w, plate.h, map, fast.data(), w, h, first, last);
      resamplePlatePortable(pixels.data(), plate.w, plate.h, map, portable.data(), w, h, first,
                            last);
      resamplePlatePlain(pixels.data(), plate.w, plate.h, map, plain.data(), w, h, first, last);
      ASSERT_EQ(fast, plain) << plate.w << "x" << plate.h << " case " << t;
      ASSERT_EQ(portable, plain) << plate.w << "x" << plate.h << " case " << t;
    }
}

bool sameSums(const RefinementSums& a, const RefinementSums& b) {
  return std::memcmp(a.H, b.H, sizeof a.H) == 0 && std::memcmp(a.g, b.g, sizeof a.g) == 0 &&
         std::memcmp(&a.sumR2, &b.sumR2, sizeof a.sumR2) == 0 &&
         std::memcmp(&a.count, &b.count, sizeof a.count) == 0 && a.residuals == b.residuals;
}

TEST(KernelProperty, RefinementSumsAndSearchMatchPlainTwins) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  const Size sizes[] = {{16, 16}, {37, 29}, {130, 70}, {301, 17}};
  // Moves that keep the samples on the level, push some off each side, and scale.
  struct Move {
    double ox, oy, s;
  };
  const Move moves[] = {{0.0, 0.0, 1.0},   {0.37, -0.61, 1.0}, {-6.2, 3.4, 1.0},
                        {40.5, -9.9, 1.0}, {2.1, 1.3, 0.93},   {-1.7, -0.2, 1.06}};
  for (const Size size : sizes) {
    std::vector<uint8_t> a(static_cast<size_t>(size.w) * size.h * 4), b(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      // A smooth ramp with noise, so that the residuals spread over many bins.
      a[i] = static_cast<uint8_t>((i / 4 % size.w) * 3 + byte(rng) % 40);
      b[i] = static_cast<uint8_t>(std::min(255, a[i] + byte(rng) % 25));
    }
    std::vector<uint8_t> footprint(static_cast<size_t>(size.w) * size.h, 0);
    for (int y = size.h / 3; y < size.h / 2; ++y)
      for (int x = size.w / 4; x < size.w / 2; ++x)
        footprint[static_cast<size_t>(y) * size.w + x] = 255;
    for (const MotionSamples which : {MotionSamples::MostDetailed, MotionSamples::Every}) {
      const MotionReference ref =
          prepareMotionReference(a.data(), footprint, size.w, size.h, which);
      const MotionReference cur = prepareMotionReference(b.data(), {}, size.w, size.h, which);
      ASSERT_FALSE(ref.levels.empty());
      const MotionLevel& r = ref.levels[0];
      const MotionLevel& c = cur.levels[0];
      for (const Move move : moves)
        for (int mode = 0; mode < 8; ++mode) {
          RefinementPass pass;
          pass.ox = move.ox;
          pass.oy = move.oy;
          pass.s = move.s;
          pass.cx = (size.w - 1) * 0.5;
          pass.cy = (size.h - 1) * 0.5;
          pass.scaled = (mode & 1) != 0;
          pass.measure = (mode & 2) != 0;
          pass.spreadOnly = mode == 2;
          pass.sigma = (mode & 4) != 0 ? 3.5 : -1.0;
          pass.cut = (mode & 4) != 0 ? 4.685 * pass.sigma : 1e30;
          pass.slack = 0.3;
          const int first = byte(rng) % size.h, last = first + byte(rng) % (size.h - first + 1);
          RefinementSums plain, portable, chosen;
          refinementSumsPlain(r, c, pass, first, last, plain);
          refinementSumsPortable(r, c, pass, first, last, portable);
          refinementSums(r, c, pass, first, last, chosen);
          EXPECT_TRUE(sameSums(plain, portable)) << size.w << "x" << size.h << " mode " << mode;
          EXPECT_TRUE(sameSums(plain, chosen)) << size.w << "x" << size.h << " mode " << mode;
          // A pass at the same move that reads the residuals one kept gives the same sums.
          std::vector<float> keptFast(r.sampleX.size()), keptPlain(r.sampleX.size());
          RefinementPass keeping = pass;
          RefinementSums unused;
          keeping.keepResiduals = keptFast.data();
          refinementSums(r, c, keeping, first, last, unused);
          keeping.keepResiduals = keptPlain.data();
          refinementSumsPlain(r, c, keeping, first, last, unused);
          RefinementPass reading = pass;
          RefinementSums fromKept, plainFromKept;
          reading.keptResiduals = keptFast.data();
          refinementSums(r, c, reading, first, last, fromKept);
          reading.keptResiduals = keptPlain.data();
          refinementSumsPlain(r, c, reading, first, last, plainFromKept);
          EXPECT_TRUE(sameSums(plain, fromKept)) << size.w << "x" << size.h << " mode " << mode;
          EXPECT_TRUE(sameSums(plain, plainFromKept))
              << size.w << "x" << size.h << " mode " << mode;
        }
      // The integer search on the same level: widths that leave every tail of eight, moves
      // whose overlap falls under a quarter, and rows past either edge.
      std::vector<int> known(static_cast<size_t>(r.width + 1) * r.height);
      for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
          int* k = known.data() + static_cast<size_t>(y) * (r.width + 1);
          k[x + 1] = k[x] + (r.weight[static_cast<size_t>(y) * r.width + x] > 0.0f ? 1 : 0);
        }
      const int radius = r.width / 2 + 2;
      for (const int dy : {0, -3, 5, r.height / 2, -r.height + 1}) {
        std::vector<double> plain(2 * radius + 1), portable(plain.size()), chosen(plain.size());
        searchCostsPlain(r, known, c, dy, radius, plain.data());
        searchCostsPortable(r, known, c, dy, radius, portable.data());
        searchCosts(r, known, c, dy, radius, chosen.data());
        EXPECT_EQ(0, std::memcmp(plain.data(), portable.data(), plain.size() * sizeof(double)))
            << size.w << "x" << size.h << " dy " << dy;
        EXPECT_EQ(0, std::memcmp(plain.data(), chosen.data(), plain.size() * sizeof(double)))
            << size.w << "x" << size.h << " dy " << dy;
      }
    }
  }
}

}  // namespace
