// The globals plugin/Talvane.cpp and the bundle's generated unit define, for
// the test executable that links the render library directly. No suites: the
// functions tested here either take everything as arguments or, like the
// compositing driver, fall back to the calling thread without them.
#include <atomic>
#include <cstdint>

#include "plugin/plugin.h"

#ifndef TALVANE_TEST_SERVICE_URL
#error "TALVANE_TEST_SERVICE_URL must name the loopback service"
#endif

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffectSuite = nullptr;
const OfxPropertySuiteV1* gPropSuite = nullptr;
const OfxParameterSuiteV1* gParamSuite = nullptr;
const OfxMessageSuiteV1* gMessageSuite = nullptr;
const OfxMultiThreadSuiteV1* gMTSuite = nullptr;
std::atomic<uint64_t> gNextId{1};

const char kServiceBaseUrl[] = TALVANE_TEST_SERVICE_URL;
const int kGenerateConnectSeconds = 2;
const int kGenerateTotalSeconds = 6;

Instance* lookupInstance(OfxImageEffectHandle) { return nullptr; }
