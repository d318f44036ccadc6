// Frames that pass through the real bundle: byte-exact copies in every depth
// and layout, the matte rule, and frames the render must not convert or write.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "tests/render/render_fixture.h"

namespace {

struct Layout {
  const char* depth;
  const char* components;
  int padding;
  bool topRowFirst;
};

std::vector<uint8_t> noise(int width, int height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
  for (uint8_t& b : px) b = static_cast<uint8_t>(rng());
  return px;
}

}  // namespace

using RenderPassThrough = RenderTest;

TEST_F(RenderPassThrough, WithoutPromptTheOutputIsTheSourceByteForByte) {
  const Layout layouts[] = {
      {kOfxBitDepthByte, kOfxImageComponentRGBA, 0, false},
      {kOfxBitDepthShort, kOfxImageComponentRGBA, 0, false},
      {kOfxBitDepthFloat, kOfxImageComponentRGBA, 0, false},
      {kOfxBitDepthByte, kOfxImageComponentRGBA, 12, false},
      {kOfxBitDepthShort, kOfxImageComponentRGBA, 6, true},
      {kOfxBitDepthFloat, kOfxImageComponentRGBA, 16, true},
      {kOfxBitDepthByte, kOfxImageComponentRGB, 1, false},
      {kOfxBitDepthShort, kOfxImageComponentRGB, 2, true},
      {kOfxBitDepthFloat, kOfxImageComponentRGB, 0, true},
  };
  uint32_t seed = 1;
  for (const Layout& l : layouts) {
    setFrame(noise(13, 7, seed++), 13, 7, l.depth, l.components, l.padding, l.topRowFirst);
    if (std::strcmp(l.depth, kOfxBitDepthFloat) == 0) {
      // Values a conversion would change: out of range and not multiples of 1/255.
      float odd[3] = {-0.25f, 1.75f, 0.1234f};
      std::memcpy(hostPixel(*source_, 3, 2), odd, sizeof odd);
    }
    render(0);
    EXPECT_TRUE(samePixelBytes(*source_, *output_))
        << l.depth << " " << l.components << " padding " << l.padding
        << (l.topRowFirst ? " top row first" : "");
  }
}

TEST_F(RenderPassThrough, AlphaRangeOfFiveIsNoMatteAndSixIsAMatte) {
  std::vector<uint8_t> px = solid(8, 8, 10, 20, 30, 255);
  px[3] = 250;
  setFrame(px, 8, 8);
  render(0);
  EXPECT_EQ(countLines("matte detect: alpha [250..255] -> hasMatte=0"), 1);
  EXPECT_EQ(countLines("src has matte — unpremultiplied rgb"), 0);
  px[3] = 249;
  setFrame(px, 8, 8);
  render(0);
  EXPECT_EQ(countLines("matte detect: alpha [249..255] -> hasMatte=1"), 1);
  EXPECT_EQ(countLines("src has matte — unpremultiplied rgb"), 1);
}

TEST_F(RenderPassThrough, EmptyFrameReadsAsNoMatte) {
  setFrame({}, 0, 0);
  render(0);
  EXPECT_EQ(countLines("matte detect: alpha [255..0] -> hasMatte=0"), 1);
}

TEST_F(RenderPassThrough, FailedBarShowsTheUnpremultipliedSource) {
  // A generate press without a stored token fails in the same render, which then
  // writes the converted frame with amber bars: the rows between them show the
  // colour after unpremultiplying.
  const int w = 4, h = 20;
  std::vector<uint8_t> px = solid(w, h, 0, 0, 0, 255);
  auto set = [&](int x, int y, uint8_t r, uint8_t a) {
    uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
    p[0] = r;
    p[3] = a;
  };
  set(0, 10, 64, 128);  // 64 * 255 / 128 = 127.5 -> 128
  set(1, 10, 2, 1);     // 510 clamps to 255
  set(2, 10, 77, 0);    // alpha 0 and 255 stay as they are
  set(3, 10, 77, 255);
  setFrame(px, w, h);
  hostSetValue(inst_, "prompt", std::string("a quiet beach"));
  hostInstanceChanged(inst_, "generate", 5.0);
  // The worker finds no token and ends Failed; the next render shows it.
  std::vector<uint8_t> out = render(5.0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (rowsOf(out, w, h, kAmber).empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    out = render(5.0);
  }
  EXPECT_EQ(countLines("doGen: no keychain token — sign in first"), 1);
  EXPECT_EQ(pixelAt(out, w, 0, 10).r, 128);
  EXPECT_EQ(alphaAt(out, w, 0, 10), 128);
  EXPECT_EQ(pixelAt(out, w, 1, 10).r, 255);
  EXPECT_EQ(pixelAt(out, w, 2, 10).r, 77);
  EXPECT_EQ(pixelAt(out, w, 3, 10).r, 77);
  std::vector<int> bars = rowsOf(out, w, h, kAmber);
  EXPECT_EQ(bars, (std::vector<int>{0, 1, 2, 3, 4, 5, 14, 15, 16, 17, 18, 19}));
}

TEST_F(RenderPassThrough, NoSourceImageLeavesTheOutputUntouched) {
  setFrame(noise(5, 5, 3), 5, 5);
  hostFillFromRGBA8(*output_, solid(5, 5, 9, 9, 9, 9));
  const std::vector<uint8_t> before = hostToRGBA8(*output_);
  hostSetClipImage(inst_, "Source", nullptr);
  EXPECT_EQ(render(0), before);
}

TEST_F(RenderPassThrough, NoOutputImageReleasesTheSource) {
  setFrame(noise(5, 5, 3), 5, 5);
  hostSetClipImage(inst_, "Output", nullptr);
  EXPECT_EQ(hostRender(inst_, 0), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(inst_), 0);
}

TEST_F(RenderPassThrough, SmallerOutputGetsOnlyThePixelsItShares) {
  const std::vector<uint8_t> px = noise(10, 8, 4);
  setFrame(px, 10, 8);
  // Output covers x 2..5, y 3..9: it shares x 2..5, y 3..7 with the source.
  output_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{2, 3, 6, 10}, 4);
  hostSetClipImage(inst_, "Output", output_);
  render(0);
  for (int y = 3; y < 10; ++y) {
    for (int x = 2; x < 6; ++x) {
      const uint8_t* o = hostPixel(*output_, x, y);
      if (y < 8) {
        EXPECT_EQ(std::memcmp(o, hostPixel(*source_, x, y), 4), 0) << x << "," << y;
      } else {
        EXPECT_EQ(o[0] | o[1] | o[2] | o[3], 0)
            << "written outside the source at " << x << "," << y;
      }
    }
  }
}

TEST_F(RenderPassThrough, OutputOfAnotherDepthIsLeftAlone) {
  setFrame(noise(6, 4, 5), 6, 4);
  output_ = hostMakeImage(kOfxBitDepthFloat, kOfxImageComponentRGBA, OfxRectI{0, 0, 6, 4});
  hostSetClipImage(inst_, "Output", output_);
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0));
}

TEST_F(RenderPassThrough, OutputWithFewerComponentsIsLeftAlone) {
  setFrame(noise(6, 4, 6), 6, 4);
  output_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGB, OfxRectI{0, 0, 6, 4});
  hostSetClipImage(inst_, "Output", output_);
  const std::vector<uint8_t> out = render(0);
  EXPECT_EQ(out, solid(6, 4, 0, 0, 0, 255));
}

TEST_F(RenderPassThrough, FrameTooLargeForTheWorkingBufferIsNotConverted) {
#if defined(__SANITIZE_THREAD__)
  // Two 1.6 GB host images take minutes to fill under TSan; no threads here.
  GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
  // 32768 x 16385 pixels would need 2,147,614,720 bytes as RGBA8. RGB keeps the
  // host images at 1.6 GB each.
  const OfxRectI bounds{0, 0, 32768, 16385};
  source_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGB, bounds);
  output_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGB, bounds);
  hostPixel(*source_, 100, 100)[0] = 77;
  hostSetClipImage(inst_, "Source", source_);
  hostSetClipImage(inst_, "Output", output_);
  EXPECT_EQ(hostRender(inst_, 0), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(inst_), 0);
  EXPECT_EQ(hostPixel(*output_, 100, 100)[0], 0);
  EXPECT_EQ(countLines("render: frame 32768x16385 too large to convert, output left as it is"), 1);
  source_.reset();
  output_.reset();
  hostSetClipImage(inst_, "Source", nullptr);
  hostSetClipImage(inst_, "Output", nullptr);
}

// The cap is an address-space limit, which Linux enforces and macOS does not.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(RenderPassThrough, OutOfMemoryInsideTheRenderStaysInside) {
  // 4096 x 4096 RGB: 48 MB per host image, 64 MB for the working buffer. The
  // address space is capped just above what the process already uses.
  const OfxRectI bounds{0, 0, 4096, 4096};
  source_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGB, bounds);
  output_ = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGB, bounds);
  hostSetClipImage(inst_, "Source", source_);
  hostSetClipImage(inst_, "Output", output_);
  render(0);  // warm up everything the render touches once
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  ASSERT_GT(pages, 0) << "the process's size cannot be read";
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  rlimit capped = old;
  capped.rlim_cur =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + 24 * 1024 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  const OfxStatus status = hostRender(inst_, 0);
  setrlimit(RLIMIT_AS, &old);
  EXPECT_EQ(status, kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(inst_), 0);
  EXPECT_GE(countLines("render: aborted (std::bad_alloc)"), 1);
}
#endif
