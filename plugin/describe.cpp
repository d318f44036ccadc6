// What the host is told the effect is: its properties, its clips per context
// and its parameters, one per row of the parameter table. Everything is
// static; the only thing read back is the context being described.
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "plugin/plugin.h"

namespace {

// Setters that skip a property set the host did not hand out.
void setString(OfxPropertySetHandle props, const char* name, int index, const char* value) {
  if (props) gPropSuite->propSetString(props, name, index, value);
}
void setInt(OfxPropertySetHandle props, const char* name, int index, int value) {
  if (props) gPropSuite->propSetInt(props, name, index, value);
}
void setDouble(OfxPropertySetHandle props, const char* name, int index, double value) {
  if (props) gPropSuite->propSetDouble(props, name, index, value);
}

OfxPropertySetHandle defineClip(OfxImageEffectHandle effect, const char* name,
                                const char* component0, const char* component1) {
  OfxPropertySetHandle props = nullptr;
  if (gEffectSuite->clipDefine(effect, name, &props) != kOfxStatOK) props = nullptr;
  setString(props, kOfxImageEffectPropSupportedComponents, 0, component0);
  setString(props, kOfxImageEffectPropSupportedComponents, 1, component1);
  return props;
}

// A row's hint with "{domain}" replaced by the service's address without the
// scheme ("https://api.example.com" names "api.example.com").
std::string expandHint(const char* hint) {
  std::string text = hint;
  const size_t at = text.find("{domain}");
  if (at == std::string::npos) return text;
  std::string domain = kServiceBaseUrl;
  const size_t scheme = domain.find("://");
  if (scheme != std::string::npos) domain.erase(0, scheme + 3);
  return text.replace(at, 8, domain);
}

// Defines one parameter with every property its row gives.
void defineParam(OfxParamSetHandle params, const ParamRow& row) {
  OfxPropertySetHandle p = nullptr;
  if (gParamSuite->paramDefine(params, row.type, row.name, &p) != kOfxStatOK) return;
  setString(p, kOfxPropLabel, 0, row.label);
  if (row.hint) setString(p, kOfxParamPropHint, 0, expandHint(row.hint).c_str());
  if (row.parent) setString(p, kOfxParamPropParent, 0, row.parent);
  if (row.flags & kParamGroupClosed) setInt(p, kOfxParamPropGroupOpen, 0, 0);
  if (row.flags & kParamSecret) setInt(p, kOfxParamPropSecret, 0, 1);
  if (row.flags & kParamNoEvaluate) setInt(p, kOfxParamPropEvaluateOnChange, 0, 0);
  if (row.flags & kParamNoAnimate) setInt(p, kOfxParamPropAnimates, 0, 0);
  if (row.flags & kParamLabelText) setString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsLabel);
  if (row.flags & kParamSingleLine)
    setString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsSingleLine);
  if (row.flags & kParamHasDefault) {
    const std::string type = row.type;
    if (type == kOfxParamTypeString) setString(p, kOfxParamPropDefault, 0, row.text);
    else if (type == kOfxParamTypeDouble) setDouble(p, kOfxParamPropDefault, 0, row.number);
    else setInt(p, kOfxParamPropDefault, 0, static_cast<int>(row.number));
  }
  if (row.flags & kParamHasRange) {
    setDouble(p, kOfxParamPropMin, 0, row.range.min);
    setDouble(p, kOfxParamPropMax, 0, row.range.max);
    setDouble(p, kOfxParamPropDisplayMin, 0, row.range.displayMin);
    setDouble(p, kOfxParamPropDisplayMax, 0, row.range.displayMax);
  }
  for (int i = 0; i < 2; ++i)
    if (row.options[i]) setString(p, kOfxParamPropChoiceOption, i, row.options[i]);
}

}  // namespace

void describeAction(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  if (gEffectSuite->getPropertySet(effect, &props) != kOfxStatOK) props = nullptr;
  setString(props, kOfxPropLabel, 0, "Talvane");
  setString(props, kOfxImageEffectPluginPropGrouping, 0, "AI Tools");
  setString(props, kOfxImageEffectPropSupportedContexts, 0, kOfxImageEffectContextGeneral);
  setString(props, kOfxImageEffectPropSupportedContexts, 1, kOfxImageEffectContextFilter);
  setInt(props, kOfxImageEffectPropSupportsTiles, 0, 0);
  setInt(props, kOfxImageEffectPluginPropFieldRenderTwiceAlways, 0, 0);
  setString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  setString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthShort);
  setString(props, kOfxImageEffectPropSupportedPixelDepths, 2, kOfxBitDepthFloat);
  // The first render of a pressed frame takes the generate request and shows
  // the banner over the whole frame, so the host must not split a frame into
  // windows; the effect spreads its own work over the multithread suite.
  setInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0, 0);
}

void describeInContextAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  char* context = nullptr;
  if (inArgs &&
      gPropSuite->propGetString(inArgs, kOfxImageEffectPropContext, 0, &context) != kOfxStatOK)
    context = nullptr;
  const bool general = context && std::strcmp(context, kOfxImageEffectContextGeneral) == 0;

  defineClip(effect, kOfxImageEffectSimpleSourceClipName, kOfxImageComponentRGBA,
             kOfxImageComponentRGB);
  if (general) {
    OfxPropertySetHandle mask =
        defineClip(effect, "Mask", kOfxImageComponentAlpha, kOfxImageComponentRGBA);
    setInt(mask, kOfxImageClipPropOptional, 0, 1);
    setInt(mask, kOfxImageClipPropIsMask, 0, 1);
    dbg("describeInContext: General context — Mask matte clip defined");
  }
  defineClip(effect, kOfxImageEffectOutputClipName, kOfxImageComponentRGBA, kOfxImageComponentRGB);

  OfxParamSetHandle params = nullptr;
  if (gEffectSuite->getParamSet(effect, &params) != kOfxStatOK) return;
  for (const ParamRow& row : kParams) defineParam(params, row);
}
