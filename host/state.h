// Private to host/: the objects behind the OpenFX handles and the host's
// process-wide state. The handle types of ofx/ofx.h are pointers to
// incomplete structs; the host completes them here, so a handle is simply the
// address of the object it names.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"

enum class PropKind { String, Int, Double, Pointer };

struct PropValue {
  std::string s;
  int i = 0;
  double d = 0.0;
  void* p = nullptr;
};

struct Property {
  PropKind kind = PropKind::String;
  std::vector<PropValue> values;
  std::vector<PropValue> initial;  // what propReset restores
};

struct OfxPropertySetStruct {
  std::map<std::string, Property> props;
  std::shared_ptr<HostImage> image;  // set on the property set of a fetched image
  HostInstance* owner = nullptr;     // the instance that fetched that image
};

// One value of a parameter: the field matching its kind is used.
struct ParamValue {
  double d = 0.0;
  int i = 0;
  std::string s;
};

struct OfxParamStruct {
  std::string name;
  std::string type;  // kOfxParamType*
  OfxPropertySetStruct props;
  ParamValue value;                    // the constant value
  std::map<OfxTime, ParamValue> keys;  // keyframes; when present they win
  HostInstance* instance = nullptr;    // null on descriptors
};

struct OfxParamSetStruct {
  OfxPropertySetStruct props;
  std::vector<std::unique_ptr<OfxParamStruct>> params;  // definition order
};

struct OfxImageClipStruct {
  std::string name;
  OfxPropertySetStruct props;
  std::shared_ptr<HostImage> image;
  HostInstance* instance = nullptr;  // null on descriptors
};

struct OfxImageEffectStruct {
  OfxPropertySetStruct props;
  OfxParamSetStruct params;
  std::vector<std::unique_ptr<OfxImageClipStruct>> clips;  // definition order
  HostInstance* instance = nullptr;                        // null on descriptors
};

struct OfxImageMemoryStruct {
  std::vector<uint8_t> bytes;
};

struct OfxMutex {
  std::recursive_mutex mutex;
};

struct HostInstance {
  Host* host = nullptr;
  OfxImageEffectStruct effect;
  std::vector<ParamChange> changes;
  std::set<OfxPropertySetStruct*> heldImages;
};

// The host's worker threads for the multithread suite (suites.cpp).
struct ThreadPool;
// Starts threads workers at once; more are started when a call asks for more.
std::shared_ptr<ThreadPool> startThreadPool(unsigned threads);

struct Host {
  HostConfig config;
  std::shared_ptr<ThreadPool> pool;  // started with the host, ended when it closes
  void* binary = nullptr;
  int (*getNumberOfPlugins)() = nullptr;
  OfxPlugin* (*getPlugin)(int) = nullptr;
  OfxPlugin* plugin = nullptr;
  OfxHost ofxHost{};
  OfxPropertySetStruct hostProps;
  OfxImageEffectStruct descriptor;
  std::map<std::string, std::unique_ptr<OfxImageEffectStruct>> contexts;
  std::set<HostInstance*> instances;
  std::vector<HostMessage> messages;
  HostThreadStats threads;
  unsigned badHandles = 0;
  std::function<void(HostInstance*, const ParamChange&)> onParamChange;
};

// The one lock guarding everything above, the live-handle registry and gHost.
std::mutex& hostMutex();
// The open Host, or null; read and written under hostMutex().
extern Host* gOpenHost;

// Registry of live handles, so a stale or foreign handle is refused with
// kOfxStatErrBadHandle (and counted) instead of being dereferenced.
void registerHandle(const void* handle);
void unregisterHandle(const void* handle);
// True when handle is live; otherwise counts a bad handle. Lock held.
bool liveHandle(const void* handle);

// Property definitions used when the host creates objects (lock held or the
// object not yet shared).
void defineString(OfxPropertySetStruct& set, const char* name, std::vector<std::string> values);
void defineInt(OfxPropertySetStruct& set, const char* name, std::vector<int> values);
void defineDouble(OfxPropertySetStruct& set, const char* name, std::vector<double> values);
void definePointer(OfxPropertySetStruct& set, const char* name, void* value);
// Registers a property set that is part of a larger object.
void registerPropertySet(OfxPropertySetStruct& set);
void unregisterPropertySet(OfxPropertySetStruct& set);

// Object lifetimes, lock held. Every handle made is registered.
OfxParamStruct* newParam(const std::string& type, const std::string& name);  // null: unknown type
OfxParamStruct* instanceParam(const OfxParamStruct& descriptor, HostInstance* instance);
OfxImageClipStruct* newClip(const std::string& name);
OfxImageClipStruct* instanceClip(const OfxImageClipStruct& descriptor, HostInstance* instance);
// Unregisters the effect and everything in it (its owners then delete them).
void unregisterEffect(OfxImageEffectStruct& effect);

// The per-thread buffer the suites return strings in.
const char* returnString(const std::string& text);

extern const OfxPropertySuiteV1 kPropertySuite;
extern const OfxImageEffectSuiteV1 kEffectSuite;
extern const OfxParameterSuiteV1 kParameterSuite;
extern const OfxMessageSuiteV1 kMessageSuite;
extern const OfxMultiThreadSuiteV1 kMultiThreadSuite;
// OfxHost.fetchSuite: the suite asked for, unless the open Host withholds it.
const void* fetchSuite(OfxPropertySetHandle host, const char* name, int version);
