// What the host is told the effect is: its properties, its clips per context
// and its twenty parameters. Everything is static; the only thing read back is
// the context being described. The parameter blocks stay in panel order, one
// block each, so each can be held against the panel it produces.
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

// Defines a parameter and sets the properties most of them share: the label,
// and the hint and parent group when given. Returns its property set.
OfxPropertySetHandle defineParam(OfxParamSetHandle params, const char* type, const char* name,
                                 const char* label, const char* hint, const char* parent) {
  OfxPropertySetHandle props = nullptr;
  if (gParamSuite->paramDefine(params, type, name, &props) != kOfxStatOK) props = nullptr;
  setString(props, kOfxPropLabel, 0, label);
  if (hint) setString(props, kOfxParamPropHint, 0, hint);
  if (parent) setString(props, kOfxParamPropParent, 0, parent);
  return props;
}

void setRange(OfxPropertySetHandle props, double min, double max, double displayMin,
              double displayMax) {
  setDouble(props, kOfxParamPropMin, 0, min);
  setDouble(props, kOfxParamPropMax, 0, max);
  setDouble(props, kOfxParamPropDisplayMin, 0, displayMin);
  setDouble(props, kOfxParamPropDisplayMax, 0, displayMax);
}

OfxPropertySetHandle defineClip(OfxImageEffectHandle effect, const char* name,
                                const char* component0, const char* component1) {
  OfxPropertySetHandle props = nullptr;
  if (gEffectSuite->clipDefine(effect, name, &props) != kOfxStatOK) props = nullptr;
  setString(props, kOfxImageEffectPropSupportedComponents, 0, component0);
  setString(props, kOfxImageEffectPropSupportedComponents, 1, component1);
  return props;
}

// The buy page lives on the service itself: its address without the scheme
// ("https://api.example.com" names "api.example.com").
std::string buyTokensHint() {
  std::string domain = kServiceBaseUrl;
  size_t scheme = domain.find("://");
  if (scheme != std::string::npos) domain.erase(0, scheme + 3);
  return "Open " + domain + "/buy in your browser to top up your token balance.";
}

void defineParams(OfxParamSetHandle params) {
  OfxPropertySetHandle p;

  // 1-7: the account panel.
  p = defineParam(params, kOfxParamTypeGroup, "accountGroup", "Account", nullptr, nullptr);
  setInt(p, kOfxParamPropGroupOpen, 0, 0);

  p = defineParam(params, kOfxParamTypeString, "accountInfo", "Account", nullptr, "accountGroup");
  setString(p, kOfxParamPropDefault, 0, "");
  setString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsLabel);
  setInt(p, kOfxParamPropEvaluateOnChange, 0, 0);

  defineParam(params, kOfxParamTypePushButton, "signIn", "Sign In",
              "Open browser to approve this device. Sign-in finishes automatically once you "
              "approve in the browser — no need to click anything else here.",
              "accountGroup");

  p = defineParam(params, kOfxParamTypePushButton, "signOut", "Sign Out",
                  "Forget the stored token on this machine.", "accountGroup");
  setInt(p, kOfxParamPropSecret, 0, 1);

  const std::string buyHint = buyTokensHint();
  p = defineParam(params, kOfxParamTypePushButton, "buyTokens", "Buy Tokens", buyHint.c_str(),
                  "accountGroup");
  setInt(p, kOfxParamPropSecret, 0, 1);

  p = defineParam(params, kOfxParamTypeString, "versionInfo", "Version", nullptr, "accountGroup");
  setString(p, kOfxParamPropDefault, 0, kPluginVersion);
  setString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsLabel);
  setInt(p, kOfxParamPropEvaluateOnChange, 0, 0);

  p = defineParam(params, kOfxParamTypePushButton, "updateAvailable", "Update Available — Download",
                  "Open the download page in your browser.", "accountGroup");
  setInt(p, kOfxParamPropSecret, 0, 1);

  // 8-20: top level.
  p = defineParam(params, kOfxParamTypeString, "prompt", "Background Prompt",
                  "Describe the new background (e.g. sunset sky, forest)", nullptr);
  setString(p, kOfxParamPropDefault, 0, "");
  setString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsSingleLine);

  defineParam(params, kOfxParamTypePushButton, "generate", "Generate Background",
              "Send grabbed frame to AI and replace background", nullptr);

  p = defineParam(params, kOfxParamTypeDouble, "blend", "Background Blend",
                  "Overall AI background opacity", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 1.0);
  setRange(p, 0.0, 1.0, 0.0, 1.0);

  p = defineParam(params, kOfxParamTypeChoice, "maskSource", "Mask Source",
                  "Auto: use the source-alpha matte if a Power Window or Magic Mask is wired "
                  "in, otherwise pixel-diff the current frame against the reference saved at "
                  "generate time. None: full AI background, no compositing.",
                  nullptr);
  setInt(p, kOfxParamPropDefault, 0, 0);
  setString(p, kOfxParamPropChoiceOption, 0, "Auto");
  setString(p, kOfxParamPropChoiceOption, 1, "None (Pure AI Background)");

  p = defineParam(params, kOfxParamTypeDouble, "threshold", "Mask Threshold",
                  "Auto-mask only — minimum pixel change to classify as background. Ignored "
                  "for From Source Alpha and None.",
                  nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 20.0);
  setRange(p, 0.0, 100.0, 0.0, 100.0);

  p = defineParam(params, kOfxParamTypeBoolean, "invertMask", "Invert Mask",
                  "OFF: white in the matte = where AI background shows. ON: white = subject to "
                  "protect, AI shows in black areas.",
                  nullptr);
  setInt(p, kOfxParamPropDefault, 0, 0);

  p = defineParam(params, kOfxParamTypeDouble, "maskGrow", "Mask Size",
                  "Shrink (negative) or expand (positive) the background mask.", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 0.0);
  setRange(p, -30.0, 30.0, -30.0, 30.0);

  p = defineParam(params, kOfxParamTypeDouble, "inFeather", "Inner Feather",
                  "Feather the background edge inward", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 0.0);
  setRange(p, 0.0, 30.0, 0.0, 30.0);

  p = defineParam(params, kOfxParamTypeDouble, "outFeather", "Outer Feather",
                  "Feather the background edge outward into the foreground", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 5.0);
  setRange(p, 0.0, 30.0, 0.0, 30.0);

  p = defineParam(params, kOfxParamTypeBoolean, "trackMotion", "Track Motion",
                  "OFF (default): mask stays anchored to the source frame at generate time. "
                  "ON: auto-shift the mask each frame to follow camera pan, hand-shake, or "
                  "subject drift (translation only) — costs ~1ms per frame.",
                  nullptr);
  setInt(p, kOfxParamPropDefault, 0, 0);

  p = defineParam(params, kOfxParamTypeDouble, "bgScale", "BG Scale",
                  "Scale the AI background. Increase before panning to avoid gaps.", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 1.0);
  setRange(p, 0.25, 4.0, 0.25, 4.0);

  p = defineParam(params, kOfxParamTypeDouble, "bgOffX", "BG X Pan",
                  "Horizontal pan as % of frame width. Positive = right.", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 0.0);
  setRange(p, -200.0, 200.0, -100.0, 100.0);

  p = defineParam(params, kOfxParamTypeDouble, "bgOffY", "BG Y Pan",
                  "Vertical pan as % of frame height. Positive = down.", nullptr);
  setDouble(p, kOfxParamPropDefault, 0, 0.0);
  setRange(p, -200.0, 200.0, -100.0, 100.0);
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
  setInt(props, kOfxImageEffectFrameVarying, 0, 0);
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
  defineParams(params);
}
