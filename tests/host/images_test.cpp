// Host images in every layout the standard allows, and the clips that hand
// them to the plug-in.
#include <cstring>

#include "tests/plugin/bundle_fixture.h"

namespace {

struct Layout {
  const char* depth;
  const char* components;
  int padding;
  bool topRowFirst;
};

std::string nameOf(const Layout& l) {
  std::string depth = l.depth + std::strlen("OfxBitDepth");
  std::string components = l.components + std::strlen("OfxImageComponent");
  return depth + components + "Pad" + std::to_string(l.padding) +
         (l.topRowFirst ? "TopDown" : "BottomUp");
}

class ImageLayout : public ::testing::TestWithParam<Layout> {};

std::vector<uint8_t> pattern(int w, int h) {
  std::vector<uint8_t> rgba(size_t(w) * h * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 37 + 11);
  return rgba;
}

TEST_P(ImageLayout, Rgba8RoundTripsAndStaysInsideItsRows) {
  const Layout& l = GetParam();
  auto image =
      hostMakeImage(l.depth, l.components, OfxRectI{-5, 10, 8, 17}, l.padding, l.topRowFirst);
  const int w = 13, h = 7;
  ASSERT_EQ(hostImageWidth(*image), w);
  ASSERT_EQ(hostImageHeight(*image), h);
  std::vector<uint8_t> rgba = pattern(w, h);
  hostFillFromRGBA8(*image, rgba);
  std::vector<uint8_t> back = hostToRGBA8(*image);
  if (std::string(l.components) == kOfxImageComponentRGB)
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
  EXPECT_EQ(back, rgba);
  EXPECT_TRUE(hostImageIntact(*image));

  const int stride = w * hostPixelBytes(*image) + l.padding;
  EXPECT_EQ(image->rowBytes, l.topRowFirst ? -stride : stride);
  // Rows go up from (x1, y1) by rowBytes, whichever way they are stored.
  EXPECT_EQ(hostPixel(*image, -5, 11) - hostPixel(*image, -5, 10), image->rowBytes);
  EXPECT_EQ(hostPixel(*image, -4, 10) - hostPixel(*image, -5, 10), hostPixelBytes(*image));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ImageLayout,
    ::testing::Values(Layout{kOfxBitDepthByte, kOfxImageComponentRGBA, 0, false},
                      Layout{kOfxBitDepthByte, kOfxImageComponentRGB, 3, false},
                      Layout{kOfxBitDepthShort, kOfxImageComponentRGBA, 6, true},
                      Layout{kOfxBitDepthShort, kOfxImageComponentRGB, 0, true},
                      Layout{kOfxBitDepthFloat, kOfxImageComponentRGBA, 16, false},
                      Layout{kOfxBitDepthFloat, kOfxImageComponentRGB, 4, true}),
    [](const ::testing::TestParamInfo<Layout>& info) { return nameOf(info.param); });

TEST(HostImageValues, DepthsScaleByteValuesAsHostsStoreThem) {
  std::vector<uint8_t> one = {51, 0, 255, 128};
  auto s = hostMakeImage(kOfxBitDepthShort, kOfxImageComponentRGBA, OfxRectI{0, 0, 1, 1});
  auto f = hostMakeImage(kOfxBitDepthFloat, kOfxImageComponentRGBA, OfxRectI{0, 0, 1, 1});
  hostFillFromRGBA8(*s, one);
  hostFillFromRGBA8(*f, one);
  uint16_t red16;
  float red32, alpha32;
  std::memcpy(&red16, hostPixel(*s, 0, 0), 2);
  std::memcpy(&red32, hostPixel(*f, 0, 0), 4);
  std::memcpy(&alpha32, hostPixel(*f, 0, 0) + 12, 4);
  EXPECT_EQ(red16, 51 * 257);
  EXPECT_FLOAT_EQ(red32, 0.2f);
  EXPECT_FLOAT_EQ(alpha32, 128 / 255.0f);
}

TEST(HostImageValues, FirstRowOfTheRgba8BufferIsTheTopRow) {
  auto image = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, 1, 2});
  hostFillFromRGBA8(*image, {10, 10, 10, 10, 20, 20, 20, 20});
  EXPECT_EQ(hostPixel(*image, 0, 1)[0], 10) << "y grows upwards";
  EXPECT_EQ(hostPixel(*image, 0, 0)[0], 20);
}

TEST(HostImageValues, FloatsOutsideZeroToOneClampWhenRead) {
  auto image = hostMakeImage(kOfxBitDepthFloat, kOfxImageComponentRGB, OfxRectI{0, 0, 1, 1});
  float px[3] = {-0.5f, 2.0f, 0.5f};
  std::memcpy(hostPixel(*image, 0, 0), px, sizeof px);
  EXPECT_EQ(hostToRGBA8(*image), (std::vector<uint8_t>{0, 255, 128, 255}));
}

TEST(HostImageGuards, CatchWritesIntoPaddingOrPastEitherEnd) {
  auto padded = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, 4, 3}, 8);
  ASSERT_TRUE(hostImageIntact(*padded));
  hostPixel(*padded, 3, 1)[4] = 0;  // first padding byte after row 1
  EXPECT_FALSE(hostImageIntact(*padded));

  auto before = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, 4, 3});
  hostPixel(*before, 0, 0)[-1] = 0;
  EXPECT_FALSE(hostImageIntact(*before));

  auto after =
      hostMakeImage(kOfxBitDepthShort, kOfxImageComponentRGB, OfxRectI{0, 0, 4, 3}, 0, true);
  hostPixel(*after, 3, 0)[6] = 0;  // one past the last byte of the bottom row, stored last
  EXPECT_FALSE(hostImageIntact(*after));
}

// ---- Clips hand images to the plug-in -----------------------------------------------

class Clips : public BundleTest {
 protected:
  OfxImageClipHandle clip(HostInstance* instance, const char* name) {
    OfxImageClipHandle handle = nullptr;
    EXPECT_EQ(hostEffectSuite()->clipGetHandle(hostEffectHandle(instance), name, &handle, nullptr),
              kOfxStatOK);
    return handle;
  }
};

TEST_F(Clips, ImagePropertiesDescribeTheHostMemory) {
  HostInstance* instance = create();
  auto image =
      hostMakeImage(kOfxBitDepthShort, kOfxImageComponentRGB, OfxRectI{2, 3, 12, 9}, 4, true);
  hostSetClipImage(instance, "Source", image);
  OfxPropertySetHandle props = nullptr;
  ASSERT_EQ(hostEffectSuite()->clipGetImage(clip(instance, "Source"), 0.0, nullptr, &props),
            kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(instance), 1);
  EXPECT_EQ(hostPropPointer(props, kOfxImagePropData), hostPixel(*image, 2, 3));
  EXPECT_EQ(hostPropInt(props, kOfxImagePropRowBytes), -(10 * 6 + 4));
  int bounds[4];
  ASSERT_EQ(hostPropertySuite()->propGetIntN(props, kOfxImagePropBounds, 4, bounds), kOfxStatOK);
  EXPECT_EQ(std::vector<int>(bounds, bounds + 4), (std::vector<int>{2, 3, 12, 9}));
  EXPECT_EQ(hostPropString(props, kOfxImageEffectPropPixelDepth), kOfxBitDepthShort);
  EXPECT_EQ(hostPropString(props, kOfxImageEffectPropComponents), kOfxImageComponentRGB);
  EXPECT_EQ(hostEffectSuite()->clipReleaseImage(props), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(instance), 0);
}

TEST_F(Clips, AClipWithoutAnImageFailsToGiveOne) {
  HostInstance* instance = create();
  OfxPropertySetHandle props = reinterpret_cast<OfxPropertySetHandle>(&instance);
  EXPECT_EQ(hostEffectSuite()->clipGetImage(clip(instance, "Output"), 0.0, nullptr, &props),
            kOfxStatFailed);
  EXPECT_EQ(props, nullptr);
  EXPECT_EQ(hostPropString(hostClipProps(instance, "Output"), kOfxImageEffectPropPixelDepth),
            kOfxBitDepthNone);
}

TEST_F(Clips, ClipPropertiesFollowTheConnectedImage) {
  HostInstance* instance = create();
  hostSetClipImage(instance, "Source",
                   hostMakeImage(kOfxBitDepthFloat, kOfxImageComponentRGBA, OfxRectI{0, 0, 2, 2}));
  OfxPropertySetHandle props = hostClipProps(instance, "Source");
  EXPECT_EQ(hostPropString(props, kOfxImageEffectPropPixelDepth), kOfxBitDepthFloat);
  EXPECT_EQ(hostPropString(props, kOfxImageEffectPropComponents), kOfxImageComponentRGBA);
  EXPECT_EQ(hostPropInt(props, "OfxImageClipPropConnected"), 1);
}

TEST_F(Clips, ReleasingAnImageTwiceIsABadHandle) {
  expectNoBadHandles_ = false;
  HostInstance* instance = create();
  hostSetClipImage(instance, "Source",
                   hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, 2, 2}));
  OfxPropertySetHandle props = nullptr;
  ASSERT_EQ(hostEffectSuite()->clipGetImage(clip(instance, "Source"), 0.0, nullptr, &props),
            kOfxStatOK);
  EXPECT_EQ(hostEffectSuite()->clipReleaseImage(props), kOfxStatOK);
  EXPECT_EQ(hostEffectSuite()->clipReleaseImage(props), kOfxStatErrBadHandle);
  EXPECT_EQ(hostBadHandleCount(host_), 1u);
}

TEST_F(Clips, UnknownClipNamesAreUnknown) {
  HostInstance* instance = create();
  OfxImageClipHandle handle = nullptr;
  EXPECT_EQ(hostEffectSuite()->clipGetHandle(hostEffectHandle(instance), "Matte", &handle, nullptr),
            kOfxStatErrUnknown);
  EXPECT_EQ(handle, nullptr);
}

}  // namespace
