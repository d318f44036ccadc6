// The keyer: which pixels of an upload are kept as the subject.
#include "harness.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::vector<uint8_t> keep(const std::vector<uint8_t>& matte) {
  std::vector<uint8_t> out(matte.size());
  for (size_t i = 0; i < matte.size(); ++i) out[i] = matte[i] == 255;
  return out;
}

}  // namespace

TEST(Keyer, EverySubjectPixelOfAPlainBackdropIsKept) {
  for (int noise : {0, 6}) {
    SyntheticFrame f = makeFrame(120, 80, Rgb8{30, 160, 60}, noise);
    std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
    ASSERT_EQ(matte.size(), f.subject.size());
    for (size_t i = 0; i < matte.size(); ++i)
      if (f.subject[i]) {
        ASSERT_EQ(matte[i], 255) << "pixel " << i << " noise " << noise;
      }
  }
}

TEST(Keyer, BackdropAwayFromTheSubjectIsReplaced) {
  SyntheticFrame f = makeFrame(120, 80, Rgb8{30, 160, 60}, 6);
  std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
  std::vector<int> dist = distanceToMask(f.subject, f.width, f.height, 4);
  for (size_t i = 0; i < matte.size(); ++i)
    if (dist[i] >= 3) {
      ASSERT_EQ(matte[i], 0) << "pixel " << i;
    }
}

TEST(Keyer, EdgeIsSoftOverTwoPixelsOutsideTheSubject) {
  SyntheticFrame f = makeFrame(120, 80, Rgb8{30, 160, 60}, 0);
  std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
  std::vector<int> dist = distanceToMask(keep(matte), f.width, f.height, 4);
  // Every pixel of a ring has one value, softer further out.
  std::set<int> ring[4];
  for (size_t i = 0; i < matte.size(); ++i) ring[std::min(dist[i], 3)].insert(matte[i]);
  EXPECT_EQ(ring[0], std::set<int>{255});
  ASSERT_EQ(ring[1].size(), 1u);
  ASSERT_EQ(ring[2].size(), 1u);
  EXPECT_EQ(ring[3], std::set<int>{0});
  EXPECT_LT(*ring[1].begin(), 255);
  EXPECT_LT(*ring[2].begin(), *ring[1].begin());
  EXPECT_GT(*ring[2].begin(), 0);
}

TEST(Keyer, IsolatedSpecksInTheBackdropAreRemoved) {
  SyntheticFrame f = makeFrame(120, 80, Rgb8{30, 160, 60}, 0);
  const int specks[][2] = {{5, 5}, {110, 70}, {60, 4}, {100, 10}};
  for (const auto& s : specks) {
    uint8_t* p = &f.rgba[(size_t(s[1]) * f.width + s[0]) * 4];
    p[0] = 250, p[1] = 250, p[2] = 250;
  }
  std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
  for (const auto& s : specks)
    EXPECT_EQ(matte[size_t(s[1]) * f.width + s[0]], 0) << s[0] << "," << s[1];
}

TEST(Keyer, SmallPocketsInsideTheSubjectAreKeptLargeHolesAreNot) {
  SyntheticFrame f = makeFrame(160, 120, Rgb8{30, 160, 60}, 0);
  // A 2x2 highlight of backdrop colour inside the disc is noise in the subject;
  // a 26x26 window of backdrop inside a yellow box is a real view through it.
  auto paint = [&](int x0, int y0, int x1, int y1, Rgb8 c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        uint8_t* p = &f.rgba[(size_t(y) * f.width + x) * 4];
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
      }
  };
  paint(54, 58, 56, 60, Rgb8{30, 160, 60});
  paint(100, 10, 150, 60, Rgb8{200, 200, 40});  // a yellow box
  paint(112, 22, 138, 48, Rgb8{30, 160, 60});   // with a big hole
  std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
  EXPECT_EQ(matte[size_t(58) * f.width + 54], 255);
  EXPECT_EQ(matte[size_t(35) * f.width + 125], 0);
}

TEST(Keyer, AnAlphaMatteDecides) {
  // Every pixel has the same colour, so keying by colour could find nothing:
  // only the alpha can say where the subject is.
  const int w = 40, h = 30;
  std::vector<uint8_t> rgba(size_t(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(size_t(y) * w + x) * 4];
      p[0] = 90, p[1] = 90, p[2] = 90;
      p[3] = x < 10 ? 255 : x < 20 ? 128 : 0;
    }
  ASSERT_TRUE(hasAlphaMatte(rgba));
  std::vector<uint8_t> matte = subjectMatte(rgba, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(matte[size_t(y) * w + x], rgba[(size_t(y) * w + x) * 4 + 3]);

  std::string png = generateImage(encodePng(rgba, w, h), "sunset", 4096).png;
  std::vector<uint8_t> out;
  int ow = 0, oh = 0;
  ASSERT_TRUE(decodePng(png, out, ow, oh));
  std::vector<uint8_t> painted = paintBackground("sunset", w, h);
  for (int y = 0; y < h; ++y) {
    size_t kept = (size_t(y) * w + 5) * 4, gone = (size_t(y) * w + 30) * 4;
    EXPECT_EQ(out[kept], 90);
    EXPECT_EQ(out[gone], painted[gone]);
    EXPECT_EQ(out[gone + 3], 255);
  }
}

TEST(Keyer, UniformAlphaIsNotAMatte) {
  std::vector<uint8_t> opaque(64, 255), clear(64, 0);
  EXPECT_FALSE(hasAlphaMatte(opaque));
  EXPECT_FALSE(hasAlphaMatte(clear));
}

TEST(Keyer, BackdropIsTheBorderMedianEvenWhenTheSubjectTouchesAnEdge) {
  SyntheticFrame f = makeFrame(100, 60, Rgb8{10, 20, 200}, 0);
  for (int y = 40; y < 60; ++y)
    for (int x = 0; x < 30; ++x) {
      uint8_t* p = &f.rgba[(size_t(y) * f.width + x) * 4];
      p[0] = 240, p[1] = 240, p[2] = 10;
    }
  Rgb8 c = estimateBackdrop(f.rgba, f.width, f.height);
  EXPECT_EQ(c.r, 10);
  EXPECT_EQ(c.g, 20);
  EXPECT_EQ(c.b, 200);
}

TEST(Keyer, SubjectCutByTheFrameEdgeIsStillKept) {
  // A figure standing in the frame fills a third of the bottom edge, so its own
  // colour is a large share of the border the backdrop is measured on.
  SyntheticFrame f = makeFrame(120, 80, Rgb8{40, 175, 70}, 4);
  for (int y = 40; y < 80; ++y)
    for (int x = 40; x < 80; ++x) {
      uint8_t* p = &f.rgba[(size_t(y) * f.width + x) * 4];
      p[0] = 60, p[1] = 60, p[2] = 140;
      f.subject[size_t(y) * f.width + x] = 1;
    }
  std::vector<uint8_t> matte = subjectMatte(f.rgba, f.width, f.height);
  for (size_t i = 0; i < matte.size(); ++i) {
    if (f.subject[i]) {
      ASSERT_EQ(matte[i], 255) << "pixel " << i;
    }
  }
}

TEST(Keyer, SoftEdgeTakesTheSubjectColourNotTheBackdrop) {
  const int w = 40, h = 30;
  std::vector<uint8_t> rgba(size_t(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool inside = x >= 12 && x < 28 && y >= 8 && y < 22;
      uint8_t* p = &rgba[(size_t(y) * w + x) * 4];
      p[0] = inside ? 210 : 30, p[1] = inside ? 40 : 170, p[2] = inside ? 50 : 60, p[3] = 255;
    }
  std::vector<uint8_t> original = rgba, matte = subjectMatte(rgba, w, h);
  extendSubjectEdge(rgba, matte, w, h);
  for (size_t i = 0; i < matte.size(); ++i) {
    const uint8_t* p = &rgba[i * 4];
    if (matte[i] == 255 || matte[i] == 0) {
      ASSERT_EQ(std::vector<uint8_t>(p, p + 4),
                std::vector<uint8_t>(&original[i * 4], &original[i * 4] + 4));
    } else {
      ASSERT_EQ(p[0], 210);
      ASSERT_EQ(p[1], 40);
      ASSERT_EQ(p[2], 50);
    }
  }
}
