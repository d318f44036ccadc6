// Through the real bundle: the difference mask's resize and missing-file rules, Classic's
// tracking inside a whole render, and the Refined composite on a shot with known truth.
#include <gtest/gtest.h>

#include <cmath>

#include "backend/backend.h"
#include "imaging/imaging.h"
#include "tests/render/render_fixture.h"
#include "tests/support/quality_shots.h"

namespace {

constexpr int kW = 128;
constexpr int kH = 72;

class RenderModes : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    if (HasFatalFailure()) return;
    setFrame(solid(kW, kH, 50, 60, 70), kW, kH);
    hostSetValue(inst_, "outFeather", 0.0);
  }

  // The files a generation on the shot's frame 0 leaves, under the shot's name as prompt.
  void writeShot(const ShotSpec& shot) {
    const std::string id = effectKey();
    const std::vector<uint8_t> returned = shotReturned(shot);
    ASSERT_TRUE(
        writePng(grabbedFile(id), shotFrame(shot, 0).source.data(), shot.width, shot.height, 4));
    writeBackground(shot.name, returned, shot.width, shot.height);
    ASSERT_TRUE(
        writeRawdiff(grabbedFile(id), cacheFile(id, shot.name), rawdiffFile(id, shot.name)));
    ASSERT_TRUE(writePlates(grabbedFile(id), cacheFile(id, shot.name), plateFile(id, shot.name),
                            backdropFile(id, shot.name), kPlateThreshold));
  }
};

ShotSpec smallPan() {
  ShotSpec shot;
  shot.name = "pan";
  shot.width = 320;
  shot.height = 180;
  shot.frames = 5;
  shot.panX = 1.3;
  shot.panY = 0.4;
  return shot;
}

// Left half background (255), right half subject (0), at any size.
std::vector<uint8_t> halfDifference(int w, int h) {
  std::vector<uint8_t> d(static_cast<size_t>(w) * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w / 2; ++x) d[static_cast<size_t>(y) * w + x] = 255;
  return d;
}

}  // namespace

TEST_F(RenderModes, DifferenceOfAnotherSizeIsBroughtToTheFramesSize) {
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
  writeDifference("sea", halfDifference(kW / 4, kH / 4), kW / 4, kH / 4);
  hostSetValue(inst_, "prompt", std::string("sea"));
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 2, kH / 2), (Rgb{0, 0, 255}));
  EXPECT_EQ(pixelAt(out, kW, kW / 2 - 4, kH / 2), (Rgb{0, 0, 255}));
  EXPECT_EQ(pixelAt(out, kW, kW / 2 + 4, kH / 2), (Rgb{50, 60, 70}));
  EXPECT_EQ(pixelAt(out, kW, kW - 2, kH / 2), (Rgb{50, 60, 70}));
}

TEST_F(RenderModes, PromptWithoutDifferenceGetsTheWholeBackgroundNotTheLastPromptsMask) {
  // Same size and modification time, so only the file's name tells them apart.
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH, 1700000000);
  writeDifference("sea", halfDifference(kW, kH), kW, kH, 1700000000);
  writeBackground("sky", solid(kW, kH, 250, 250, 250), kW, kH, 1700000000);
  hostSetValue(inst_, "prompt", std::string("sea"));
  EXPECT_EQ(pixelAt(render(0), kW, kW - 2, kH / 2), (Rgb{50, 60, 70}));
  hostSetValue(inst_, "prompt", std::string("sky"));
  EXPECT_EQ(pixelAt(render(0), kW, kW - 2, kH / 2), (Rgb{250, 250, 250}));
  hostSetValue(inst_, "prompt", std::string("sea"));
  EXPECT_EQ(pixelAt(render(0), kW, kW - 2, kH / 2), (Rgb{50, 60, 70}));
}

TEST_F(RenderModes, ClassicTrackingMovesTheBackgroundByWholePixelsOfTheCameraMove) {
  // The anchor is as wide as the frame, so one anchor pixel is one frame pixel.
  const std::vector<uint8_t> grabbed = textured(kW, kH);
  ASSERT_TRUE(writePng(grabbedFile(effectKey()), grabbed.data(), kW, kH, 4));
  ASSERT_TRUE(writeAnchor(grabbedFile(effectKey()), anchorFile(effectKey(), "sea"), kW));
  std::vector<uint8_t> background(static_cast<size_t>(kW) * kH * 4, 255);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) background[(static_cast<size_t>(y) * kW + x) * 4] = uint8_t(x);
  writeBackground("sea", background, kW, kH);
  writeDifference("sea", std::vector<uint8_t>(static_cast<size_t>(kW) * kH, 255), kW, kH);
  // The camera moved: the frame's content lies 6 pixels further right.
  std::vector<uint8_t> frame(grabbed.size());
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 4; ++c)
        frame[(static_cast<size_t>(y) * kW + x) * 4 + c] =
            grabbed[(static_cast<size_t>(y) * kW + std::max(x - 6, 0)) * 4 + c];
  setFrame(frame, kW, kH);
  hostSetValue(inst_, "prompt", std::string("sea"));
  hostSetValue(inst_, "trackMotion", 1.0);
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 40, kH / 2).r, 34);
  EXPECT_EQ(pixelAt(out, kW, 100, kH / 2).r, 94);
}

// A small shot with known truth, rendered in both modes: Refined leaves no old backdrop at
// the border, no second subject, follows the camera and removes the edge's spill.
TEST_F(RenderModes, RefinedBeatsClassicOnAPanningShot) {
  const ShotSpec shot = smallPan();
  writeShot(shot);
  hostSetValue(inst_, "prompt", std::string("pan"));
  hostSetValue(inst_, "outFeather", 5.0);
  ShotFigures figures[2];
  for (int mode = 0; mode < 2; ++mode) {
    hostSetValue(inst_, "compositeMode", static_cast<double>(mode));
    std::vector<FrameFigures> frames;
    for (int k = 0; k < shot.frames; ++k) {
      const ShotFrame f = shotFrame(shot, k);
      setFrame(f.source, 320, 180);
      frames.push_back(measureFrame(shot, f, render(k)));
    }
    figures[mode] = summarise(frames);
  }
  const ShotFigures& classic = figures[0];
  const ShotFigures& refined = figures[1];
  EXPECT_GT(refined.psnr, classic.psnr + 2.0);
  EXPECT_LT(refined.oldLeakBorder, 0.5);
  EXPECT_LT(refined.oldLeak, 0.5);
  EXPECT_LT(refined.secondSubject, 1.0);
  EXPECT_LT(refined.positionError, 0.25);
  EXPECT_GT(classic.positionError, 2.0);
  EXPECT_LT(std::fabs(refined.spill), 0.5 * std::fabs(classic.spill));
}

// The camera's move and the key kept for a frame belong to the backdrop they were made
// against: the same frame under another background is worked out again.
TEST_F(RenderModes, RefinedFrameUnderANewBackgroundIsWorkedOutAfresh) {
  const ShotSpec pan = smallPan();
  ShotSpec green = pan;
  green.name = "green";
  green.backdrop = Backdrop::GreenScreen;
  writeShot(pan);
  writeShot(green);
  hostSetValue(inst_, "compositeMode", 1.0);
  const std::vector<uint8_t> frame = shotFrame(pan, 2).source;
  setFrame(frame, 320, 180);
  hostSetValue(inst_, "prompt", std::string("pan"));
  render(2);
  hostSetValue(inst_, "prompt", std::string("green"));
  const std::vector<uint8_t> again = render(2);
  setFrame(shotFrame(pan, 3).source, 320, 180);
  render(3);
  setFrame(frame, 320, 180);
  EXPECT_TRUE(render(2) == again);
}
