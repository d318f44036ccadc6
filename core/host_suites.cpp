// The host suites, fetched once by the load action and only read afterwards,
// and the way back from an effect handle to its record.
#include "core/core.h"

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffectSuite = nullptr;
const OfxPropertySuiteV1* gPropSuite = nullptr;
const OfxParameterSuiteV1* gParamSuite = nullptr;
const OfxMessageSuiteV1* gMessageSuite = nullptr;
const OfxMultiThreadSuiteV1* gMTSuite = nullptr;

std::atomic<uint64_t> gNextId{1};

Instance* lookupInstance(OfxImageEffectHandle effect) {
  if (!effect || !gEffectSuite || !gPropSuite) return nullptr;
  OfxPropertySetHandle props = nullptr;
  if (gEffectSuite->getPropertySet(effect, &props) != kOfxStatOK || !props) return nullptr;
  void* data = nullptr;
  if (gPropSuite->propGetPointer(props, kOfxPropInstanceData, 0, &data) != kOfxStatOK)
    return nullptr;
  return static_cast<Instance*>(data);
}
