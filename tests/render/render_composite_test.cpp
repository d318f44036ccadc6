// Compositing a cached background through the real bundle: what shows where,
// and what is rebuilt when a parameter changes.
#include <gtest/gtest.h>

#include <cstring>

#include "backend/backend.h"
#include "tests/render/render_fixture.h"

namespace {

constexpr int kW = 48;
constexpr int kH = 40;

class RenderComposite : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    if (HasFatalFailure()) return;
    setFrame(solid(kW, kH, 50, 60, 70), kW, kH);
  }
  int fits() const { return countLines("pipeline: fitted background"); }
  int maskBuilds() const { return countLines("pipeline: built difference mask"); }
};

// Left half background (difference 255), right half subject (0).
std::vector<uint8_t> halfDifference() {
  std::vector<uint8_t> d(static_cast<size_t>(kW) * kH, 0);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW / 2; ++x) d[static_cast<size_t>(y) * kW + x] = 255;
  return d;
}

}  // namespace

TEST_F(RenderComposite, MaskNoneShowsTheBackgroundAtBlendWhereverItCovers) {
  std::vector<uint8_t> px = solid(kW, kH, 100, 100, 100, 255);
  px[3] = 0;  // a source matte does not matter with mask None
  setFrame(px, kW, kH);
  writeBackground("sky", solid(kW, kH, 200, 200, 200, 0), kW, kH);
  hostSetValue(inst_, "prompt", std::string("sky"));
  hostSetValue(inst_, "maskSource", 1.0);
  hostSetValue(inst_, "blend", 0.5);
  hostSetValue(inst_, "bgScale", 0.5);  // covers x 12..35, y 10..29
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 20, 20), (Rgb{150, 150, 150}));
  EXPECT_EQ(pixelAt(out, kW, 2, 2), (Rgb{100, 100, 100}));
  EXPECT_EQ(pixelAt(out, kW, 40, 35), (Rgb{100, 100, 100}));
  for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255) << "pixel " << i / 4;
}

TEST_F(RenderComposite, DifferenceMaskKeepsTheSubjectAndFeathersTheEdge) {
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
  writeDifference("sea", halfDifference(), kW, kH);
  hostSetValue(inst_, "prompt", std::string("sea"));
  hostSetValue(inst_, "outFeather", 0.0);
  std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 0, 20), (Rgb{0, 0, 255}));
  EXPECT_EQ(pixelAt(out, kW, kW / 2 - 1, 20), (Rgb{0, 0, 255}));
  EXPECT_EQ(pixelAt(out, kW, kW / 2, 20), (Rgb{50, 60, 70}));
  hostSetValue(inst_, "outFeather", 5.0);
  out = render(0);
  // The first subject pixel outside the region gets 231/255 of the background.
  EXPECT_EQ(pixelAt(out, kW, kW / 2, 20).b,
            static_cast<int>(255 * (231 / 255.0f) + 70 * (1 - 231 / 255.0f)));
}

TEST_F(RenderComposite, BlendChangeRebuildsNothingScaleRefitsThresholdRebuildsOnce) {
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
  writeDifference("sea", halfDifference(), kW, kH);
  hostSetValue(inst_, "prompt", std::string("sea"));
  render(0);
  EXPECT_EQ(fits(), 1);
  EXPECT_EQ(maskBuilds(), 1);
  hostSetValue(inst_, "blend", 0.4);
  render(0);
  render(0);
  EXPECT_EQ(fits(), 1);
  EXPECT_EQ(maskBuilds(), 1);
  hostSetValue(inst_, "bgScale", 1.5);
  render(0);
  render(0);
  EXPECT_EQ(fits(), 2);
  EXPECT_EQ(maskBuilds(), 1);
  hostSetValue(inst_, "threshold", 35.0);
  render(0);
  render(0);
  EXPECT_EQ(fits(), 2);
  EXPECT_EQ(maskBuilds(), 2);
  hostSetValue(inst_, "invertMask", 1.0);  // no effect on this path but one rebuild
  render(0);
  render(0);
  EXPECT_EQ(maskBuilds(), 3);
  hostSetValue(inst_, "trackMotion", 1.0);  // no anchor: no shift, nothing rebuilt
  render(0);
  EXPECT_EQ(fits(), 2);
  EXPECT_EQ(maskBuilds(), 3);
}

TEST_F(RenderComposite, PromptSwitchPassesThroughAndSwitchingBackShowsTheEarlierBackground) {
  // Both backgrounds carry the same size and modification time.
  writeBackground("red", solid(kW, kH, 255, 0, 0), kW, kH, 1700000000);
  writeBackground("green", solid(kW, kH, 0, 255, 0), kW, kH, 1700000000);
  hostSetValue(inst_, "maskSource", 1.0);
  hostSetValue(inst_, "prompt", std::string("red"));
  EXPECT_EQ(pixelAt(render(0), kW, 1, 1), (Rgb{255, 0, 0}));
  hostSetValue(inst_, "prompt", std::string("never generated"));
  render(0);
  EXPECT_TRUE(samePixelBytes(*source_, *output_));
  hostSetValue(inst_, "prompt", std::string("green"));
  EXPECT_EQ(pixelAt(render(0), kW, 1, 1), (Rgb{0, 255, 0}));
  hostSetValue(inst_, "prompt", std::string("red"));
  EXPECT_EQ(pixelAt(render(0), kW, 1, 1), (Rgb{255, 0, 0}));
}

TEST_F(RenderComposite, SourceMatteIsTheMaskAndInvertFlipsIt) {
  // Left half alpha 255 (background there), right half alpha 0.
  std::vector<uint8_t> px = solid(kW, kH, 50, 60, 70, 255);
  for (int y = 0; y < kH; ++y)
    for (int x = kW / 2; x < kW; ++x) px[(static_cast<size_t>(y) * kW + x) * 4 + 3] = 0;
  setFrame(px, kW, kH);
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
  hostSetValue(inst_, "prompt", std::string("sea"));
  hostSetValue(inst_, "outFeather", 0.0);
  std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 2, 5), (Rgb{0, 0, 255}));
  EXPECT_EQ(pixelAt(out, kW, kW - 2, 5), (Rgb{50, 60, 70}));
  hostSetValue(inst_, "invertMask", 1.0);
  out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 2, 5), (Rgb{50, 60, 70}));
  EXPECT_EQ(pixelAt(out, kW, kW - 2, 5), (Rgb{0, 0, 255}));
  EXPECT_EQ(maskBuilds(), 0);  // the matte path never uses the difference cache
}

TEST_F(RenderComposite, FloatAndShortFramesCompositeInTheirOwnDepth) {
  for (const char* depth : {kOfxBitDepthFloat, kOfxBitDepthShort}) {
    setFrame(solid(kW, kH, 50, 60, 70), kW, kH, depth, kOfxImageComponentRGBA, 8, true);
    writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
    hostSetValue(inst_, "prompt", std::string("sea"));
    hostSetValue(inst_, "maskSource", 1.0);
    const std::vector<uint8_t> out = render(0);
    // The host reads 16-bit back as v / 257, and 255 was written as 255 << 8 = 65280.
    const int blue = std::strcmp(depth, kOfxBitDepthShort) == 0 ? 254 : 255;
    EXPECT_EQ(pixelAt(out, kW, 7, 7), (Rgb{0, 0, blue})) << depth;
  }
  uint16_t blue;
  std::memcpy(&blue, hostPixel(*output_, 7, 7) + 4, 2);
  EXPECT_EQ(blue, 65280);
}

TEST_F(RenderComposite, RgbFramesCompositeWithoutAlpha) {
  setFrame(solid(kW, kH, 50, 60, 70), kW, kH, kOfxBitDepthByte, kOfxImageComponentRGB, 3);
  writeBackground("sea", solid(kW, kH, 0, 0, 255), kW, kH);
  hostSetValue(inst_, "prompt", std::string("sea"));
  hostSetValue(inst_, "maskSource", 1.0);
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(pixelAt(out, kW, 7, 7), (Rgb{0, 0, 255}));
  EXPECT_EQ(hostPixel(*output_, 7, 7)[3], hostPixel(*output_, 8, 7)[0])
      << "an alpha byte was written";
}
