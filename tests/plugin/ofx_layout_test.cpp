// Our OpenFX declarations are the ABI real hosts call through: a member out
// of place would send every later call to the wrong function. These layouts
// are the published ones on a 64-bit platform.
#include <gtest/gtest.h>

#include <cstddef>

#include "ofx/ofx.h"

namespace {

constexpr size_t kPtr = sizeof(void*);

static_assert(sizeof(void*) == 8, "the layouts below are those of a 64-bit platform");
static_assert(sizeof(OfxPlugin) == 48, "OfxPlugin is 48 bytes");
static_assert(offsetof(OfxPlugin, pluginApi) == 0);
static_assert(offsetof(OfxPlugin, apiVersion) == 8);
static_assert(offsetof(OfxPlugin, pluginIdentifier) == 16);
static_assert(offsetof(OfxPlugin, pluginVersionMajor) == 24);
static_assert(offsetof(OfxPlugin, pluginVersionMinor) == 28);
static_assert(offsetof(OfxPlugin, setHost) == 32);
static_assert(offsetof(OfxPlugin, mainEntry) == 40);
static_assert(sizeof(OfxHost) == 2 * kPtr);
static_assert(offsetof(OfxHost, fetchSuite) == kPtr);

static_assert(sizeof(OfxRectI) == 16 && sizeof(OfxRectD) == 32 && sizeof(OfxPointD) == 16);

// A suite is nothing but its function pointers, in order.
static_assert(sizeof(OfxPropertySuiteV1) == 18 * kPtr);
static_assert(sizeof(OfxImageEffectSuiteV1) == 13 * kPtr);
static_assert(sizeof(OfxParameterSuiteV1) == 18 * kPtr);
static_assert(sizeof(OfxMessageSuiteV1) == 1 * kPtr);
static_assert(sizeof(OfxMultiThreadSuiteV1) == 9 * kPtr);

// Members whose place the effect relies on, spot-checked against their rows.
static_assert(offsetof(OfxPropertySuiteV1, propSetPointer) == 0 * kPtr);
static_assert(offsetof(OfxPropertySuiteV1, propSetInt) == 3 * kPtr);
static_assert(offsetof(OfxPropertySuiteV1, propGetPointer) == 8 * kPtr);
static_assert(offsetof(OfxPropertySuiteV1, propGetString) == 9 * kPtr);
static_assert(offsetof(OfxPropertySuiteV1, propGetIntN) == 15 * kPtr);
static_assert(offsetof(OfxPropertySuiteV1, propGetDimension) == 17 * kPtr);
static_assert(offsetof(OfxImageEffectSuiteV1, clipDefine) == 2 * kPtr);
static_assert(offsetof(OfxImageEffectSuiteV1, clipGetImage) == 5 * kPtr);
static_assert(offsetof(OfxImageEffectSuiteV1, clipReleaseImage) == 6 * kPtr);
static_assert(offsetof(OfxImageEffectSuiteV1, abort) == 8 * kPtr);
static_assert(offsetof(OfxImageEffectSuiteV1, imageMemoryUnlock) == 12 * kPtr);
static_assert(offsetof(OfxParameterSuiteV1, paramGetHandle) == 1 * kPtr);
static_assert(offsetof(OfxParameterSuiteV1, paramGetPropertySet) == 3 * kPtr);
static_assert(offsetof(OfxParameterSuiteV1, paramGetValueAtTime) == 5 * kPtr);
static_assert(offsetof(OfxParameterSuiteV1, paramSetValue) == 8 * kPtr);
static_assert(offsetof(OfxParameterSuiteV1, paramEditEnd) == 17 * kPtr);
static_assert(offsetof(OfxMultiThreadSuiteV1, multiThread) == 0 * kPtr);
static_assert(offsetof(OfxMultiThreadSuiteV1, multiThreadNumCPUs) == 1 * kPtr);
static_assert(offsetof(OfxMultiThreadSuiteV1, mutexUnLock) == 7 * kPtr);
static_assert(offsetof(OfxMultiThreadSuiteV1, mutexTryLock) == 8 * kPtr);

TEST(OfxLayout, StatusCodesHaveTheirPublishedValues) {
  EXPECT_EQ(kOfxStatOK, 0);
  EXPECT_EQ(kOfxStatFailed, 1);
  EXPECT_EQ(kOfxStatErrUnknown, 3);
  EXPECT_EQ(kOfxStatErrMissingHostFeature, 4);
  EXPECT_EQ(kOfxStatErrBadHandle, 9);
  EXPECT_EQ(kOfxStatErrBadIndex, 10);
  EXPECT_EQ(kOfxStatReplyYes, 12);
  EXPECT_EQ(kOfxStatReplyDefault, 14);
  EXPECT_STREQ(kOfxImageEffectPluginApi, "OfxImageEffectPluginAPI");
  EXPECT_STREQ(kOfxImagePreMultiplied, "OfxImageAlphaPremultiplied");
  EXPECT_STREQ(kOfxImageFieldNone, "OfxFieldNone");
}

}  // namespace
