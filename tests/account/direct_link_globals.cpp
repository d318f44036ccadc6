// The globals plugin/Talvane.cpp and the bundle's generated unit define, for
// test executables that link the account logic directly. The suites point at
// our host's own suites (see each test's SetUp), so parameter writes land in
// real host parameters that record every change and refuse freed handles.
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
const int kGenerateConnectSeconds = 10;
const int kGenerateTotalSeconds = 300;
