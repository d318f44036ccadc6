// The globals the bundle's own units define (plugin/Talvane.cpp and the
// generated service constants), for fuzz targets that link the render or
// account library alone. No host: nothing here reaches a suite.
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

// A closed local port: nothing a target does may reach a network.
const char kServiceBaseUrl[] = "http://127.0.0.1:9";
const int kGenerateConnectSeconds = 1;
const int kGenerateTotalSeconds = 1;

Instance* lookupInstance(OfxImageEffectHandle) { return nullptr; }
