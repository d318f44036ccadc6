// Refined compositing: plates without the subject, camera motion to a fraction of a pixel,
// plates moved without reading anything else, and edges that take the new background.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "imaging/imaging.h"

namespace {

// A band-limited texture evaluated at any point, so a frame moved by a fraction of a pixel
// is exact rather than resampled.
struct Texture {
  struct Wave {
    double fx, fy, phase, amp;
  };
  std::vector<Wave> waves;
  explicit Texture(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int i = 0; i < 24; ++i) {
      const double period = 8.0 + 60.0 * u(rng), angle = 6.2831853 * u(rng);
      waves.push_back({std::cos(angle) / period, std::sin(angle) / period, 6.2831853 * u(rng),
                       10.0 + 10.0 * u(rng)});
    }
  }
  double at(double x, double y) const {
    double v = 128.0;
    for (const Wave& w : waves) v += w.amp * std::sin(6.2831853 * (w.fx * x + w.fy * y) + w.phase);
    return v;
  }
};

uint8_t byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// How the backdrop looks: the texture at some contrast, optionally with the windows of a
// facade (bright, every 24 by 32 pixels, soft-edged) on it.
struct Look {
  double contrast = 1.0;
  bool windows = false;
};

// The texture seen by a camera that moved a grab-time point p to c + s (p - c) + t, with
// a disc of subject at (sx, sy) and optional noise.
std::vector<uint8_t> shot(const Texture& tex, int w, int h, double s, double tx, double ty,
                          double sx, double sy, double noise, unsigned seed, Look look = {}) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, noise > 0 ? noise : 1.0);
  const double cx = (w - 1) * 0.5, cy = (h - 1) * 0.5;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double px = cx + (x - cx - tx) / s, py = cy + (y - cy - ty) / s;
      double v = 128.0 + look.contrast * (tex.at(px, py) - 128.0);
      if (look.windows) {
        const auto pulse = [](double t, double period) {
          const double f = t / period - std::floor(t / period);
          return std::clamp(std::min(f - 0.25, 0.75 - f) * period, 0.0, 1.0);
        };
        v += 100.0 * pulse(px, 24.0) * pulse(py, 32.0);
      }
      const bool subject = std::hypot(x - sx, y - sy) < h * 0.2;
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 4];
      for (int c = 0; c < 3; ++c) {
        const double e = noise > 0 ? n(rng) : 0.0;
        p[c] = subject ? byte(c == 0 ? 220 + e : 40 + e) : byte(v + c * 7 + e);
      }
      p[3] = 255;
    }
  return f;
}

struct MotionCase {
  const char* name;
  double scale, dx, dy;
  double subjectMovesX;  // the subject walks this far between the two frames
  double noise;
  Look look;
};
void PrintTo(const MotionCase& c, std::ostream* os) { *os << c.name; }

class CameraMotionCase : public ::testing::TestWithParam<MotionCase> {};

TEST_P(CameraMotionCase, RecoversTheBackgroundsMoveWithinAFiftiethOfAPixel) {
  const MotionCase c = GetParam();
  const int w = 320, h = 180;
  const Texture tex(7);
  const std::vector<uint8_t> grab = shot(tex, w, h, 1.0, 0, 0, 110, 90, c.noise, 1, c.look);
  std::vector<uint8_t> footprint(static_cast<size_t>(w) * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      footprint[static_cast<size_t>(y) * w + x] =
          std::hypot(x - 110, y - 90) < h * 0.2 + 3 ? 255 : 0;
  const MotionReference ref = prepareMotionReference(grab.data(), footprint, w, h);
  const std::vector<uint8_t> now =
      shot(tex, w, h, c.scale, c.dx, c.dy, 110 + c.subjectMovesX, 90, c.noise, 2, c.look);
  const CameraMotion m = estimateCameraMotion(ref, now.data(), w, h);
  if (c.scale == 1.0 && c.dx == 0.0 && c.dy == 0.0) {
    EXPECT_EQ(m.scale, 1.0) << c.name;
    EXPECT_EQ(m.dx, 0.0) << c.name;
    EXPECT_EQ(m.dy, 0.0) << c.name;
    return;
  }
  // Position error at the frame's corner, where a scale error shows most.
  const double cx = (w - 1) * 0.5, cy = (h - 1) * 0.5;
  const double ex = (m.scale - c.scale) * cx + (m.dx - c.dx);
  const double ey = (m.scale - c.scale) * cy + (m.dy - c.dy);
  EXPECT_LT(std::hypot(m.dx - c.dx, m.dy - c.dy), 0.05) << c.name << " " << m.dx << "," << m.dy;
  EXPECT_LT(std::hypot(ex, ey), 0.1) << c.name << " scale " << m.scale;
}

INSTANTIATE_TEST_SUITE_P(
    Refined, CameraMotionCase,
    ::testing::Values(MotionCase{"StillCameraWithNoise", 1.0, 0, 0, 0, 3.0, {}},
                      MotionCase{"StillCameraWalkingSubject", 1.0, 0, 0, 60, 1.0, {}},
                      MotionCase{"ThirdOfAPixel", 1.0, 0.37, -0.21, 0, 0, {}},
                      MotionCase{"PanWithNoise", 1.0, 3.3, 1.7, 0, 3.0, {}},
                      MotionCase{"LongPanWalkingSubject", 1.0, -41.6, 12.4, 50, 1.0, {}},
                      MotionCase{"SlowZoom", 1.02, 0.5, 0, 0, 1.0, {}},
                      // A faint backdrop under noise: the move, not the nearest whole pixel.
                      MotionCase{"FaintBackdropWithNoise", 1.0, -0.7, 0.2, 0, 1.5, {0.04, false}},
                      // A facade: flat wall between windows, whose edges pin the move.
                      MotionCase{"Windows", 1.0, 3.3, -0.6, 0, 1.5, {0.1, true}}),
    [](const ::testing::TestParamInfo<MotionCase>& i) { return std::string(i.param.name); });

TEST(Refined, PlatesKeepNoTraceOfTheSubject) {
  const int w = 200, h = 120;
  const Texture oldTex(3), newTex(11);
  std::vector<uint8_t> grabbed(static_cast<size_t>(w) * h * 4), returned(grabbed.size());
  std::vector<uint8_t> truthNew(grabbed.size()), truthOld(grabbed.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (static_cast<size_t>(y) * w + x) * 4;
      // Smooth backdrops, so the fill can be held close to the truth.
      const uint8_t o = byte(oldTex.at(x * 0.2, y * 0.2)), nw = byte(newTex.at(x * 0.2, y * 0.2));
      const uint8_t oldPx[4] = {30, o, 60, 255}, newPx[4] = {nw, 90, byte(255 - nw), 255};
      // A box with a one-pixel strand hanging from it, which an opening alone would lose.
      const bool subject =
          (std::abs(x - 100) < 18 && std::abs(y - 70) < 40) || (y == 50 && x >= 118 && x < 132);
      const uint8_t subjectPx[4] = {240, 20, 200, 255};
      for (int c = 0; c < 4; ++c) {
        truthOld[i + c] = oldPx[c];
        truthNew[i + c] = newPx[c];
        grabbed[i + c] = subject ? subjectPx[c] : oldPx[c];
        returned[i + c] = subject ? subjectPx[c] : newPx[c];
      }
    }
  // The service answers at another size; the plates come back at the frame's.
  std::vector<uint8_t> small(static_cast<size_t>(w / 2) * (h / 2) * 4);
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x)
      for (int c = 0; c < 4; ++c)
        small[(static_cast<size_t>(y) * (w / 2) + x) * 4 + c] =
            returned[(static_cast<size_t>(2 * y) * w + 2 * x) * 4 + c];
  for (const auto& answer : {std::make_pair(&returned, w), std::make_pair(&small, w / 2)}) {
    const Plates p = buildPlates(answer.first->data(), answer.second, answer.second * h / w,
                                 grabbed.data(), w, h, 20);
    ASSERT_EQ(p.background.size(), grabbed.size());
    // Channels the backdrops hold constant must come back constant (the subject is 70 to
    // 210 levels from them); the others follow the backdrops' smooth variation.
    int worstFlat = 0;
    double sum = 0;
    for (size_t i = 0; i < grabbed.size(); ++i) {
      if (i % 4 == 3) continue;
      const int dn = std::abs(p.background[i] - truthNew[i]);
      const int dOld = std::abs(p.backdrop[i] - truthOld[i]);
      worstFlat = std::max({worstFlat, i % 4 == 1 ? dn : 0, i % 4 != 1 ? dOld : 0});
      sum += dn + dOld;
    }
    EXPECT_LE(worstFlat, 1) << answer.second;
    EXPECT_LT(sum / (grabbed.size() * 6 / 4), 1.5) << answer.second;
  }
}

// What the smooth fill cannot know but the background around the hole shows: windows that
// repeat, and a horizon running across a glow that drifts along it.
TEST(Refined, FillContinuesWhatRepeatsAroundTheHole) {
  const int w = 320, h = 180;
  const auto facade = [](int x, int y, uint8_t* p) {
    const bool window = x % 24 >= 6 && x % 24 < 18 && y % 32 >= 9 && y % 32 < 23;
    const int shade = 90 + (x + y) / 20;
    p[0] = byte(window ? 230 : shade);
    p[1] = byte(window ? 200 : shade);
    p[2] = byte(window ? 100 : shade + 10);
  };
  const auto horizon = [](int x, int y, uint8_t* p) {
    const bool sky = y < 100;
    p[0] = byte(sky ? 150 + x / 4 : 40);
    p[1] = byte(sky ? 90 + x / 8 : 60 + (y % 6 < 2 ? 40 : 0));
    p[2] = byte(sky ? 70 : 110);
  };
  using Backdrop = std::function<void(int, int, uint8_t*)>;
  for (const Backdrop& backdrop : {Backdrop(facade), Backdrop(horizon)}) {
    std::vector<uint8_t> truth(static_cast<size_t>(w) * h * 4, 255), hole(truth.size() / 4, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        backdrop(x, y, &truth[(static_cast<size_t>(y) * w + x) * 4]);
        hole[static_cast<size_t>(y) * w + x] = std::hypot((x - 150) / 1.5, y - 95) < 45 ? 255 : 0;
      }
    std::vector<uint8_t> filled = truth;
    fillPlate(filled, hole, w, h);
    double error = 0, count = 0;
    for (size_t i = 0; i < hole.size(); ++i)
      if (hole[i]) {
        for (int c = 0; c < 3; ++c) error += std::abs(filled[i * 4 + c] - truth[i * 4 + c]);
        count += 3;
      }
    EXPECT_LT(error / count, 6.0);
  }
}

TEST(Refined, MovedPlateExtendsItsOwnBorderAndMatchesTheFitAtRest) {
  const int w = 64, h = 40;
  std::vector<uint8_t> plate(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < plate.size(); ++i)
    plate[i] = static_cast<uint8_t>(i % 4 == 3 ? 255 : i * 37 % 251);
  std::vector<uint8_t> out(plate.size(), 7);
  resamplePlate(plate.data(), w, h, plateMap(w, h, w, h, 1.0, 0, 0, CameraMotion{}), out.data(), w,
                h, 0, h);
  EXPECT_EQ(out, plate);  // the plate's alpha is 255, as where a pixel lies on the plate
  // The camera moved 10.5 px right: the left strip repeats the plate's first column and
  // is marked as off the plate.
  CameraMotion m;
  m.dx = 10.5;
  resamplePlate(plate.data(), w, h, plateMap(w, h, w, h, 1.0, 0, 0, m), out.data(), w, h, 0, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 9; ++x)
      for (int c = 0; c < 4; ++c)
        ASSERT_EQ(out[(static_cast<size_t>(y) * w + x) * 4 + c],
                  c == 3 ? 0 : plate[static_cast<size_t>(y) * w * 4 + c]);
}

TEST(Refined, HairLikeEdgeTakesTheNewBackgroundsColour) {
  // A solid subject on the left, then a column where it covers 40 % of the backdrop and a
  // faint flank at 10 % (under the threshold); from it hangs a strand of dark hair at half
  // cover, reaching well past the solid edge.
  const int w = 40, h = 20;
  const uint8_t hair[3] = {30, 20, 10};
  const uint8_t F[3] = {200, 150, 120}, oldB[3] = {20, 200, 40}, newB[3] = {60, 60, 200};
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4), backdrop(frame.size()),
      plate(frame.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (static_cast<size_t>(y) * w + x) * 4;
      const double a = x < 20 ? 1.0 : x == 20 ? 0.4 : x == 21 ? 0.1 : 0.0;
      const bool strand = y == 4 && x > 20 && x < 36;
      for (int c = 0; c < 3; ++c) {
        frame[i + c] = byte(strand ? 0.5 * hair[c] + 0.5 * oldB[c] : a * F[c] + (1 - a) * oldB[c]);
        backdrop[i + c] = oldB[c];
        plate[i + c] = newB[c];
      }
      frame[i + 3] = backdrop[i + 3] = plate[i + 3] = 255;
    }
  const std::vector<uint8_t> key =
      differenceKey(frame.data(), backdrop.data(), nullptr, nullptr, w, h, 20);
  const size_t edge = 10 * w + 20;
  EXPECT_NEAR(key[edge], 0.6 * 255, 4);
  EXPECT_EQ(key[10 * w + 5], 0);
  EXPECT_EQ(key[10 * w + 30], 255);
  // The flank is weighed, a little less than it shows (noise alone must not pass for it).
  EXPECT_LT(key[10 * w + 21], 250);
  EXPECT_GT(key[10 * w + 21], 0.9 * 255);
  // Far from the solid subject the strand is still partly subject.
  EXPECT_GT(key[4 * w + 32], 20);
  EXPECT_LT(key[4 * w + 32], 200);
  RefinedLayers L;
  L.width = w;
  L.height = h;
  L.source = frame.data();
  L.key = key.data();
  L.mask = key.data();
  L.plate = plate.data();
  L.backdrop = backdrop.data();
  std::vector<uint8_t> out(frame.size());
  L.output = out.data();
  compositeRefinedRows(L, 0, h);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[edge * 4 + c], 0.4 * F[c] + 0.6 * newB[c], 3) << c;
}

TEST(Refined, FreeStrandsFaintFlankIsWeighedUnlessDeepInTheKeptSubject) {
  // A solid block on the left; from it a strand of dark hair at half cover runs right, and
  // two rows below it a flank at 10 % cover, too faint to key by itself.
  const int w = 48, h = 24;
  const uint8_t hair[3] = {30, 20, 10}, oldB[3] = {20, 200, 40};
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4), backdrop(frame.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (static_cast<size_t>(y) * w + x) * 4;
      const double a = x < 10 ? 1.0 : y == 10 && x < 40 ? 0.5 : y == 12 && x < 40 ? 0.1 : 0.0;
      for (int c = 0; c < 3; ++c) {
        frame[i + c] = byte(a * hair[c] + (1 - a) * oldB[c]);
        backdrop[i + c] = oldB[c];
      }
      frame[i + 3] = backdrop[i + 3] = 255;
    }
  const size_t flank = 12 * w + 30;
  struct Case {
    const char* where;
    int coreFirstRow, coreLastRow;  // the kept subject's rows, under the flank or not
    bool weighed;
  };
  for (const Case& c : {Case{"known backdrop", 0, 0, true},
                        Case{"a kept strand, a fill near the backdrop", 11, 14, true},
                        Case{"deep inside the kept subject", 0, h, false}}) {
    std::vector<uint8_t> core(static_cast<size_t>(w) * h, 0);
    for (int y = c.coreFirstRow; y < c.coreLastRow; ++y)
      std::fill_n(core.begin() + static_cast<size_t>(y) * w, w, 255);
    const std::vector<uint8_t> none(core.size(), 0);
    const ColourOdds odds = colourOdds(frame.data(), backdrop.data(), none, none, w, h);
    UncoveredBackdrop uncovered;
    uncovered.core = core.data();
    uncovered.width = w;
    uncovered.height = h;
    uncovered.odds = &odds;
    const std::vector<uint8_t> key =
        differenceKey(frame.data(), backdrop.data(), nullptr, nullptr, w, h, 20, {}, &uncovered);
    if (c.weighed) {
      EXPECT_LT(key[flank], 250) << c.where;
      EXPECT_GT(key[flank], 0.8 * 255) << c.where;
    } else {
      EXPECT_EQ(key[flank], 255) << c.where;
    }
  }
}

TEST(Refined, DarkStrandByAFaceIsReadByItsOwnColour) {
  // A face on the left, a dark strand along its edge: over grey the strand departs the other
  // way to the face; over a bright window the same way, but further than the face does.
  const uint8_t face[3] = {210, 160, 130}, hair[3] = {70, 45, 30};
  struct Case {
    const char* backdrop;
    uint8_t colour[3];
    double cover;
    int keyLow, keyHigh;
  };
  for (const Case& c : {Case{"grey", {120, 120, 120}, 0.7, 52, 102},
                        Case{"bright window", {239, 219, 149}, 0.4, 60, 160}}) {
    const int w = 30, h = 12;
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4), backdrop(frame.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const size_t i = (static_cast<size_t>(y) * w + x) * 4;
        for (int k = 0; k < 3; ++k) {
          const double strand = c.cover * hair[k] + (1 - c.cover) * c.colour[k];
          frame[i + k] = x < 10 ? face[k] : x == 10 ? byte(strand) : c.colour[k];
          backdrop[i + k] = c.colour[k];
        }
        frame[i + 3] = backdrop[i + 3] = 255;
      }
    const std::vector<uint8_t> key =
        differenceKey(frame.data(), backdrop.data(), nullptr, nullptr, w, h, 20);
    // Read against the face the strand would be taken for black hair at half its cover, or
    // over the window for wholly subject.
    EXPECT_GE(key[6 * w + 10], c.keyLow) << c.backdrop;
    EXPECT_LE(key[6 * w + 10], c.keyHigh) << c.backdrop;
  }
}

// The key of a frame against the plates made from a generate-time grab and returned image;
// told: the uncovered backdrop is also told by its colour.
std::vector<uint8_t> keyAfterTheWalk(const std::vector<uint8_t>& grab,
                                     const std::vector<uint8_t>& frame,
                                     const std::vector<uint8_t>& returned, int w, int h,
                                     bool told) {
  const Plates P = buildPlates(returned.data(), w, h, grab.data(), w, h, kPlateThreshold);
  const ColourOdds odds = colourOdds(returned.data(), P.backdrop.data(), P.footprint, P.kept, w, h);
  UncoveredBackdrop uncovered;
  uncovered.core = P.kept.data();
  uncovered.width = w;
  uncovered.height = h;
  uncovered.odds = &odds;
  return differenceKey(frame.data(), P.backdrop.data(), returned.data(), P.footprint.data(), w, h,
                       20, {}, told ? &uncovered : nullptr);
}

TEST(Refined, BackdropAWalkingSubjectUncoversIsNotTakenForIt) {
  // A red block on a grey textured backdrop at generate time; in the frame it has walked
  // 12 px to the right, uncovering backdrop that the plate knows only as a fill.
  const int w = 96, h = 64;
  const Texture tex(7);
  const auto grey = [&](int x, int y) { return byte(tex.at(x, y)); };
  const uint8_t red[3] = {200, 60, 80}, blue[3] = {60, 60, 200};
  std::vector<uint8_t> grab(static_cast<size_t>(w) * h * 4), frame(grab.size()),
      returned(grab.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (static_cast<size_t>(y) * w + x) * 4;
      const bool was = y >= 16 && y < 48 && x >= 30 && x < 50, is = was || (x >= 50 && x < 62);
      for (int c = 0; c < 3; ++c) {
        grab[i + c] = was ? red[c] : grey(x, y);
        frame[i + c] = is && x >= 42 ? red[c] : grey(x, y);
        returned[i + c] = was ? red[c] : blue[c];
      }
      grab[i + 3] = frame[i + 3] = returned[i + 3] = 255;
    }
  const auto subjectIn = [&](const std::vector<uint8_t>& key, int x0, int x1) {
    int n = 0;
    for (int y = 20; y < 44; ++y)
      for (int x = x0; x < x1; ++x) n += key[static_cast<size_t>(y) * w + x] < 128;
    return n;
  };
  const std::vector<uint8_t> told = keyAfterTheWalk(grab, frame, returned, w, h, true);
  const std::vector<uint8_t> untold = keyAfterTheWalk(grab, frame, returned, w, h, false);
  const int uncoveredArea = 24 * 8, subjectArea = 24 * 16;
  EXPECT_GT(subjectIn(untold, 32, 40), uncoveredArea / 4);  // what the colours put right
  EXPECT_EQ(subjectIn(told, 32, 40), 0);
  EXPECT_EQ(subjectIn(told, 44, 60), subjectArea);
}

TEST(Refined, UncoveredStainNearTheFillIsBackdropUnlessTheSubjectShowsItsColour) {
  // A red block on flat grey at generate time walks 16 px right, uncovering two stains no
  // colour count knows: one faint (just over the key's cut from the fill), one strong.
  const int w = 64, h = 48;
  const uint8_t red[3] = {200, 60, 80}, blue[3] = {60, 60, 200}, grey[3] = {120, 120, 120};
  std::vector<uint8_t> grab(static_cast<size_t>(w) * h * 4), frame(grab.size()),
      returned(grab.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (static_cast<size_t>(y) * w + x) * 4;
      const bool rows = y >= 12 && y < 36, was = rows && x >= 20 && x < 40,
                 is = rows && x >= 36 && x < 56;
      const int stain = rows && x >= 21 && x < 26 ? 25 : rows && x >= 28 && x < 35 ? 60 : 0;
      for (int c = 0; c < 3; ++c) {
        grab[i + c] = was ? red[c] : grey[c];
        frame[i + c] = is ? red[c] : byte(grey[c] + (c == 2 ? stain : 0));
        returned[i + c] = was ? red[c] : blue[c];
      }
      grab[i + 3] = frame[i + 3] = returned[i + 3] = 255;
    }
  const std::vector<uint8_t> key = keyAfterTheWalk(grab, frame, returned, w, h, true);
  EXPECT_EQ(key[24 * w + 23], 255);  // the faint stain: texture the fill missed
  EXPECT_LT(key[24 * w + 31], 128);  // the strong one stays subject
  EXPECT_EQ(key[24 * w + 46], 0);    // the block itself
}

// Bands run on two threads at once, odd and even, as a host's pool would.
void twoThreads(int count, const std::function<void(int)>& body) {
  std::thread other([&] {
    for (int i = 1; i < count; i += 2) body(i);
  });
  for (int i = 0; i < count; i += 2) body(i);
  other.join();
}

// The banded, threaded frame with its moved plates kept between frames is the plain one to
// the byte: camera move, moved plates, key and composite, over a still, a panning and a
// zooming camera, each frame twice so the kept plates, move and key are met again, and the
// same frame with a patch of backdrop changed or at another threshold, which must not be.
TEST(Refined, ThreadedCachedFrameMatchesThePlainOneByteForByte) {
  const int w = 480, h = 270;
  const Texture tex(3), other(11);
  const std::vector<uint8_t> grab = shot(tex, w, h, 1.0, 0, 0, 160, 140, 0, 1);
  std::vector<uint8_t> footprint(static_cast<size_t>(w) * h), plate(400 * 225 * 4);
  for (size_t i = 0; i < footprint.size(); ++i)
    footprint[i] =
        std::hypot(static_cast<double>(i % w) - 160, static_cast<double>(i / w) - 140) < h * 0.2 + 3
            ? 255
            : 0;
  for (size_t i = 0; i < plate.size(); ++i)
    plate[i] = byte(other.at(i / 4 % 400, i / 1600) + i % 4);
  const MotionReference ref = prepareMotionReference(grab.data(), footprint, w, h);
  RefinedInputs in;
  in.plate = plate.data();
  in.plateWidth = 400;
  in.plateHeight = 225;
  in.backdrop = grab.data();
  in.backdropWidth = w;
  in.backdropHeight = h;
  in.reference = &ref;
  in.returned = grab.data();
  in.footprint = footprint.data();
  in.bgScale = 1.1;
  in.panX = 3.0;
  in.innerFeather = 2;
  const struct {
    double scale, dx, dy, walk, noise;
    bool touched;
    int threshold;
  } frames[] = {{1.0, 0, 0, 0, 2.0, false, 51},         {1.0, 0, 0, 0, 2.0, false, 51},
                {1.0, 4.6, -2.3, 30, 1.0, false, 51},   {1.0, 4.6, -2.3, 30, 1.0, false, 51},
                {1.015, -1.2, 0.8, 10, 1.0, false, 51}, {1.0, 0, 0, 0, 2.0, false, 51},
                {1.0, 0, 0, 0, 2.0, true, 51},          {1.0, 0, 0, 0, 2.0, true, 120}};
  RefinedPlateCache moved;
  for (const auto& f : frames) {
    std::vector<uint8_t> now = shot(tex, w, h, f.scale, f.dx, f.dy, 160 + f.walk, 140, f.noise, 5);
    // A patch 30 levels off the backdrop: subject at the default threshold, not at 120.
    for (int i = 0; f.touched && i < 36; ++i)
      for (int c = 0; c < 3; ++c) now[((40 + i / 6) * w + 400 + i % 6) * 4 + c] += 30;
    in.threshold = f.threshold;
    RefinedInputs kept = in;
    kept.cache = &moved;
    std::vector<uint8_t> plain(now.size()), threaded(now.size());
    CameraMotion mp, mt;
    renderRefined(in, now.data(), w, h, plain.data(), &mp);
    renderRefined(kept, now.data(), w, h, threaded.data(), &mt, twoThreads);
    EXPECT_EQ(mp.scale, mt.scale);
    EXPECT_EQ(mp.dx, mt.dx);
    EXPECT_EQ(mp.dy, mt.dy);
    EXPECT_TRUE(plain == threaded) << "frame moved by " << f.dx << "," << f.dy;
  }
}

}  // namespace
