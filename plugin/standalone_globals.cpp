// The globals plugin/Talvane.cpp and a bundle's generated unit define, for
// executables that link the render or account library without a bundle
// around them (unit tests, fuzz targets). The suites start null; a test that
// needs a host points them at our host's own suites.
#include <atomic>
#include <cstdint>

#include "plugin/plugin.h"

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffectSuite = nullptr;
const OfxPropertySuiteV1* gPropSuite = nullptr;
const OfxParameterSuiteV1* gParamSuite = nullptr;
const OfxMessageSuiteV1* gMessageSuite = nullptr;
const OfxMultiThreadSuiteV1* gMTSuite = nullptr;
std::atomic<uint64_t> gNextId{1};

const char kServiceBaseUrl[] = TALVANE_STANDALONE_URL;
const int kGenerateConnectSeconds = TALVANE_STANDALONE_CONNECT;
const int kGenerateTotalSeconds = TALVANE_STANDALONE_TOTAL;

Instance* lookupInstance(OfxImageEffectHandle) { return nullptr; }
