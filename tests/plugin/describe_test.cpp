// The effect as a host sees it after describe: its properties, its clips per
// context and its parameters, checked against the product's parameter table.
#include <cfloat>
#include <cmath>

#include "core/core.h"
#include "tests/plugin/bundle_fixture.h"

namespace {

std::vector<std::string> strings(OfxPropertySetHandle props, const char* name) {
  std::vector<std::string> values;
  for (int i = 0; i < hostPropDimension(props, name); ++i)
    values.push_back(hostPropString(props, name, i));
  return values;
}

using Strings = std::vector<std::string>;

class Describe : public BundleTest {};

TEST_F(Describe, EffectPropertiesNameTheEffectItsContextsAndDepths) {
  OfxPropertySetHandle fx = hostEffectProps(host_);
  EXPECT_EQ(hostPropString(fx, kOfxPropLabel), "Talvane");
  EXPECT_EQ(hostPropString(fx, kOfxImageEffectPluginPropGrouping), "AI Tools");
  EXPECT_EQ(strings(fx, kOfxImageEffectPropSupportedContexts),
            (Strings{kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter}));
  EXPECT_EQ(strings(fx, kOfxImageEffectPropSupportedPixelDepths),
            (Strings{kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}));
  EXPECT_EQ(hostPropType(fx, kOfxImageEffectPropSupportsTiles), "int");
  EXPECT_EQ(hostPropInt(fx, kOfxImageEffectPropSupportsTiles), 0);
  EXPECT_EQ(hostPropInt(fx, kOfxImageEffectPluginPropFieldRenderTwiceAlways), 0);
  // Frame variance belongs to the clip-preferences action; hosts refuse it here.
  EXPECT_FALSE(hostPropExists(fx, kOfxImageEffectFrameVarying));
  // Render thread safety stays at the standard's default: one render per instance.
  EXPECT_EQ(hostPropString(fx, kOfxImageEffectPluginRenderThreadSafety),
            kOfxImageEffectRenderInstanceSafe);
}

// The first render of a pressed frame consumes the generate request; a host
// splitting that frame into windows would show the rest of it without it.
TEST_F(Describe, AsksTheHostNotToSplitFramesAcrossThreads) {
  OfxPropertySetHandle fx = hostEffectProps(host_);
  EXPECT_EQ(hostPropType(fx, kOfxImageEffectPluginPropHostFrameThreading), "int");
  EXPECT_EQ(hostPropInt(fx, kOfxImageEffectPluginPropHostFrameThreading), 0);
}

TEST_F(Describe, FilterContextHasSourceAndOutputOnly) {
  EXPECT_EQ(hostClipNames(host_, kOfxImageEffectContextFilter), (Strings{"Source", "Output"}));
}

TEST_F(Describe, GeneralContextAddsAnOptionalMaskClip) {
  const std::string general = kOfxImageEffectContextGeneral;
  EXPECT_EQ(hostClipNames(host_, general), (Strings{"Source", "Mask", "Output"}));
  OfxPropertySetHandle mask = hostClipDescriptorProps(host_, general, "Mask");
  EXPECT_EQ(hostPropInt(mask, kOfxImageClipPropOptional), 1);
  EXPECT_EQ(hostPropInt(mask, kOfxImageClipPropIsMask), 1);
  EXPECT_EQ(strings(mask, kOfxImageEffectPropSupportedComponents),
            (Strings{kOfxImageComponentAlpha, kOfxImageComponentRGBA}));
}

TEST_F(Describe, SourceAndOutputTakeRgbaOrRgbAndAreRequired) {
  for (const char* context : {kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter}) {
    for (const char* clip : {"Source", "Output"}) {
      OfxPropertySetHandle props = hostClipDescriptorProps(host_, context, clip);
      ASSERT_NE(props, nullptr) << context << " " << clip;
      EXPECT_EQ(strings(props, kOfxImageEffectPropSupportedComponents),
                (Strings{kOfxImageComponentRGBA, kOfxImageComponentRGB}))
          << context << " " << clip;
      EXPECT_EQ(hostPropInt(props, kOfxImageClipPropOptional), 0) << context << " " << clip;
      EXPECT_EQ(hostPropInt(props, kOfxImageClipPropIsMask), 0) << context << " " << clip;
    }
  }
}

TEST_F(Describe, MissingContextArgumentDescribesTheFilterSet) {
  ASSERT_EQ(hostDescribeInContext(host_, nullptr), kOfxStatOK);
  EXPECT_EQ(hostClipNames(host_, ""), (Strings{"Source", "Output"}));
  EXPECT_EQ(hostParamNames(host_, ""), hostParamNames(host_, kOfxImageEffectContextGeneral));
  EXPECT_EQ(hostParamNames(host_, "").size(), 22u);
}

TEST_F(Describe, AnUnknownContextCountsAsFilter) {
  ASSERT_EQ(hostDescribeInContext(host_, "OfxImageEffectContextPaint"), kOfxStatOK);
  EXPECT_EQ(hostClipNames(host_, "OfxImageEffectContextPaint"), (Strings{"Source", "Output"}));
}

// ---- The parameters ---------------------------------------------------------------------

// The product's own parameter table (core/params.cpp) is what the host must see.
TEST_F(Describe, DefinesEveryParameterOfTheTableInItsOrder) {
  Strings expected;
  for (const ParamRow& row : kParams) expected.push_back(row.name);
  ASSERT_EQ(expected.size(), 22u);
  EXPECT_EQ(hostParamNames(host_, kOfxImageEffectContextGeneral), expected);
  EXPECT_EQ(hostParamNames(host_, kOfxImageEffectContextFilter), expected);
}

class ParamTable : public BundleTest, public ::testing::WithParamInterface<ParamRow> {};

TEST_P(ParamTable, HostSeesTheRowsProperties) {
  const ParamRow& row = GetParam();
  OfxPropertySetHandle p = hostParamDescriptorProps(host_, kOfxImageEffectContextGeneral, row.name);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(hostPropString(p, "OfxParamPropType"), row.type);
  EXPECT_EQ(hostPropString(p, kOfxPropLabel), row.label);
  const std::string hint = row.hint ? row.hint : "";
  if (hint.find('{') == std::string::npos) {
    EXPECT_EQ(hostPropString(p, kOfxParamPropHint), hint);
  }
  EXPECT_EQ(hostPropString(p, kOfxParamPropParent), row.parent ? row.parent : "");
  EXPECT_EQ(hostPropInt(p, kOfxParamPropSecret), (row.flags & kParamSecret) ? 1 : 0);
  EXPECT_EQ(hostPropInt(p, kOfxParamPropEvaluateOnChange), (row.flags & kParamNoEvaluate) ? 0 : 1);
  EXPECT_EQ(hostPropInt(p, kOfxParamPropAnimates), (row.flags & kParamNoAnimate) ? 0 : 1);
  EXPECT_EQ(hostPropInt(p, kOfxParamPropPersistant), 1) << "saved with the project";

  const std::string type = row.type;
  if (type == kOfxParamTypeDouble) {
    // A value given with the wrong setter would be refused and leave the
    // host's default in place, so kind and value are both checked.
    EXPECT_EQ(hostPropType(p, kOfxParamPropDefault), "double");
    EXPECT_EQ(hostPropDouble(p, kOfxParamPropDefault), row.number);
    ASSERT_TRUE(row.flags & kParamHasRange);
    EXPECT_EQ(hostPropDouble(p, kOfxParamPropMin), row.range.min);
    EXPECT_EQ(hostPropDouble(p, kOfxParamPropMax), row.range.max);
    EXPECT_EQ(hostPropDouble(p, kOfxParamPropDisplayMin), row.range.displayMin);
    EXPECT_EQ(hostPropDouble(p, kOfxParamPropDisplayMax), row.range.displayMax);
  } else if (type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice) {
    EXPECT_EQ(hostPropType(p, kOfxParamPropDefault), "int");
    EXPECT_EQ(hostPropInt(p, kOfxParamPropDefault), static_cast<int>(row.number));
  } else if (type == kOfxParamTypeString) {
    EXPECT_EQ(hostPropType(p, kOfxParamPropDefault), "string");
    EXPECT_EQ(hostPropString(p, kOfxParamPropDefault), row.text);
    EXPECT_EQ(hostPropString(p, kOfxParamPropStringMode),
              (row.flags & kParamLabelText) ? kOfxParamStringIsLabel : kOfxParamStringIsSingleLine);
  } else {
    EXPECT_FALSE(hostPropExists(p, kOfxParamPropDefault)) << "buttons and groups hold no value";
  }
}

INSTANTIATE_TEST_SUITE_P(Panel, ParamTable, ::testing::ValuesIn(kParams),
                         [](const ::testing::TestParamInfo<ParamRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Describe, AccountGroupStartsClosed) {
  OfxPropertySetHandle p =
      hostParamDescriptorProps(host_, kOfxImageEffectContextGeneral, "accountGroup");
  EXPECT_EQ(hostPropInt(p, kOfxParamPropGroupOpen), 0);
}

TEST_F(Describe, MaskSourceOffersExactlyAutoAndNone) {
  OfxPropertySetHandle p =
      hostParamDescriptorProps(host_, kOfxImageEffectContextGeneral, "maskSource");
  EXPECT_EQ(strings(p, kOfxParamPropChoiceOption), (Strings{"Auto", "None (Pure AI Background)"}));
}

// The buy page is on the service the bundle talks to.
TEST_F(Describe, BuyTokensHintNamesTheServiceBuyPage) {
  std::string domain = TALVANE_TEST_SERVICE_URL;
  domain.erase(0, domain.find("://") + 3);
  OfxPropertySetHandle p =
      hostParamDescriptorProps(host_, kOfxImageEffectContextGeneral, "buyTokens");
  const std::string hint = hostPropString(p, kOfxParamPropHint);
  EXPECT_NE(hint.find(domain + "/buy"), std::string::npos) << hint;
  EXPECT_NE(hint.find("browser"), std::string::npos) << hint;
  EXPECT_EQ(hint.find("http"), std::string::npos) << "the domain, not the URL: " << hint;
}

}  // namespace
