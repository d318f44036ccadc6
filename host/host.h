// A small OpenFX host: loads one plug-in bundle into this process and drives
// it through the standard actions, serving the five suites the effect uses.
// Integration tests, the command-line renderer and the benchmarks all run the
// real bundle through it.
//
//   Loading      hostOpen dlopens the bundle (RTLD_NOW | RTLD_LOCAL), asks for
//                plug-in 0 and hands it the OfxHost; hostClose dlcloses.
//                One Host is open per process at a time: the plug-in's own
//                globals are per process too.
//   Actions      hostLoad, hostDescribe, hostDescribeInContext, hostUnload,
//                hostCreateInstance, hostDestroyInstance, hostInstanceChanged
//                (bracketed by begin/end as real hosts do), hostRender, and
//                hostAction for anything else.
//   Suites       property, image effect, parameter, message, multithread;
//                HostConfig can withhold each one and script the message
//                reply and the thread pool.
//   Inspection   every descriptor, clip, parameter and image is a property
//                set the tests read with the hostProp* helpers or with the
//                property suite itself; the host records every message and
//                every parameter value the plug-in sets.
//   Images       HostImage: 8-bit, 16-bit or float, RGBA or RGB, any bounds,
//                padded or negative row bytes, guard bytes around the pixels
//                so a write outside the image is caught.
//
// Threading: every function here and every suite function may be called from
// any thread; one mutex inside the host guards its state, and it is never held
// while the plug-in runs. Strings the suites hand to the plug-in live in a
// per-thread buffer until that thread's next string call, which is the
// standard's promise and no more.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ofx/ofx.h"

struct Host;          // one loaded bundle and everything the host made for it
struct HostInstance;  // one effect instance

// ---- Configuration ------------------------------------------------------------

struct HostConfig {
  // Suites fetchSuite hands out; a withheld suite is answered with null.
  bool propertySuite = true;
  bool effectSuite = true;
  bool parameterSuite = true;
  bool messageSuite = true;
  bool multiThreadSuite = true;

  // Status message() returns for "OfxMessageQuestion"; other types get OK.
  OfxStatus questionReply = kOfxStatReplyNo;

  // Multithread suite: the CPU count it reports, and whether multiThread
  // refuses (kOfxStatFailed) so the plug-in's inline fallback runs.
  unsigned numCPUs = 4;
  bool multiThreadFails = false;

  // dlclose the binary in hostClose. Off when plug-in threads may still run.
  bool unloadBinary = true;
};

// ---- Loading and actions --------------------------------------------------------

// Loads a bundle, given its "X.ofx.bundle" folder or the binary itself, then
// calls OfxGetNumberOfPlugins, OfxGetPlugin(0) and setHost. Sends no action.
// Null with the reason in `error` on failure (also while another Host is open).
Host* hostOpen(const std::string& path, const HostConfig& config, std::string* error);
// Frees every instance still alive (without actions) and the descriptors,
// then dlcloses if the config says so. Send unload first.
void hostClose(Host* host);

const OfxPlugin* hostPlugin(Host* host);
// The binary's own entry points, for tests of their answers.
int hostNumberOfPlugins(Host* host);
const OfxPlugin* hostGetPlugin(Host* host, int nth);
// The OfxHost record given to setHost, e.g. to call fetchSuite directly.
OfxHost* hostOfxHost(Host* host);

// Sends any action straight to the plug-in's main entry.
OfxStatus hostAction(Host* host, const char* action, const void* handle,
                     OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);
OfxStatus hostLoad(Host* host);
OfxStatus hostDescribe(Host* host);
// context null sends the action with null inArgs; its result is kept under "".
OfxStatus hostDescribeInContext(Host* host, const char* context);
OfxStatus hostUnload(Host* host);

// ---- Descriptors (after describe) -----------------------------------------------

OfxPropertySetHandle hostEffectProps(Host* host);
// Names in definition order for the context as described ("" for null inArgs);
// empty when that context was not described.
std::vector<std::string> hostClipNames(Host* host, const std::string& context);
std::vector<std::string> hostParamNames(Host* host, const std::string& context);
OfxPropertySetHandle hostClipDescriptorProps(Host* host, const std::string& context,
                                             const std::string& clip);
OfxPropertySetHandle hostParamDescriptorProps(Host* host, const std::string& context,
                                              const std::string& param);

// ---- Instances -----------------------------------------------------------------

// Builds an instance from the described context (its clips and parameters,
// values at their defaults, then the text values in `saved`, as a host
// loading a project restores them) and sends create instance; status gets its
// result. The instance exists whatever the result; destroy it with
// hostDestroyInstance.
using SavedValues = std::vector<std::pair<std::string, std::string>>;
HostInstance* hostCreateInstance(Host* host, const std::string& context, OfxStatus* status,
                                 const SavedValues& saved = {});
// Sends destroy instance, then frees the instance. Returns the action's result.
OfxStatus hostDestroyInstance(HostInstance* instance);

OfxImageEffectHandle hostEffectHandle(HostInstance* instance);
OfxPropertySetHandle hostInstanceProps(HostInstance* instance);
OfxParamHandle hostParam(HostInstance* instance, const std::string& name);  // null if none
OfxPropertySetHandle hostParamProps(HostInstance* instance, const std::string& name);
OfxPropertySetHandle hostClipProps(HostInstance* instance, const std::string& clip);

// Begin, changed and end instance changed for a parameter, as a host sends
// them when the user edits it. Returns the instance-changed result.
OfxStatus hostInstanceChanged(HostInstance* instance, const std::string& param, OfxTime time,
                              const char* reason = kOfxChangeUserEdited);
// Sends sync private data, which the plug-in also takes as a moment to bring
// its account panel up to date.
OfxStatus hostSyncPrivateData(HostInstance* instance);
// The label a new instance shows while the plug-in's account worker has not
// answered yet.
inline constexpr char kHostCheckingAccountLabel[] = "Checking account...";
// Sends sync private data until the account panel shows an answer (true), at
// most `seconds`.
bool hostWaitForAccount(HostInstance* instance, double seconds);
// Sends render for `time` with the output's bounds (else the source's) as
// the render window. Returns the action's result.
OfxStatus hostRender(HostInstance* instance, OfxTime time);

// ---- Parameter values, as the user sets them in the host ---------------------------

// A number goes to a Double, Integer, Boolean or Choice parameter (converted
// to its kind); text to a String one. Setting a constant value drops its keys.
// False for an unknown name or a value of the wrong kind. Nothing is sent to
// the plug-in: call hostInstanceChanged for that.
bool hostSetValue(HostInstance* instance, const std::string& name, double value);
bool hostSetValue(HostInstance* instance, const std::string& name, const std::string& value);
// Adds a keyframe; between keys a Double is interpolated linearly, any other
// kind holds the earlier key; outside the keys the nearest key holds.
bool hostSetValueAtTime(HostInstance* instance, const std::string& name, OfxTime time,
                        double value);
bool hostSetValueAtTime(HostInstance* instance, const std::string& name, OfxTime time,
                        const std::string& value);

double hostGetDouble(HostInstance* instance, const std::string& name, OfxTime time = 0);
int hostGetInt(HostInstance* instance, const std::string& name, OfxTime time = 0);
std::string hostGetString(HostInstance* instance, const std::string& name, OfxTime time = 0);

// Every value the plug-in set through paramSetValue or paramSetValueAtTime.
// (They are recorded, not echoed back to the plug-in as instance changed.)
struct ParamChange {
  std::string param;
  std::string text;     // the string set, or the number printed with %.17g
  double number = 0.0;  // the number set (0 for text)
  bool atTime = false;  // paramSetValueAtTime
  OfxTime time = 0.0;   // its time
};
std::vector<ParamChange> hostParamChanges(HostInstance* instance);
// Called after each such change, on the plug-in's thread, outside the host's lock.
void hostOnParamChange(Host* host, std::function<void(HostInstance*, const ParamChange&)> callback);

// ---- Messages and threads ---------------------------------------------------------

struct HostMessage {
  void* handle = nullptr;
  std::string type;  // "OfxMessageQuestion", ...
  std::string id;
  std::string text;  // after printf formatting
  OfxStatus reply = kOfxStatOK;
};
std::vector<HostMessage> hostMessages(Host* host);

struct HostThreadStats {
  unsigned calls = 0;        // multiThread calls, refused ones included
  unsigned refused = 0;      // calls answered kOfxStatFailed or kOfxStatErrExists
  unsigned lastThreads = 0;  // threads the last accepted call ran
};
HostThreadStats hostThreadStats(Host* host);

// Suite calls that named a handle the host never made or already freed.
unsigned hostBadHandleCount(Host* host);

// ---- Images ------------------------------------------------------------------------

struct HostImage {
  std::string depth;       // kOfxBitDepthByte, kOfxBitDepthShort or kOfxBitDepthFloat
  std::string components;  // kOfxImageComponentRGBA or kOfxImageComponentRGB
  OfxRectI bounds{0, 0, 0, 0};
  int rowBytes = 0;             // from row y to row y + 1; negative when stored top row first
  std::vector<uint8_t> memory;  // guard bytes, rows (with their padding), guard bytes
  size_t origin = 0;            // offset in memory of pixel (bounds.x1, bounds.y1)
  int padding = 0;              // bytes after each row's pixels
};

// Pixels zeroed; padding and guards filled with a fixed pattern.
std::shared_ptr<HostImage> hostMakeImage(const char* depth, const char* components, OfxRectI bounds,
                                         int rowPadding = 0, bool topRowFirst = false);
int hostImageWidth(const HostImage& image);
int hostImageHeight(const HostImage& image);
int hostPixelBytes(const HostImage& image);
// Address of the pixel at (x, y) in the image's pixel coordinates.
uint8_t* hostPixel(HostImage& image, int x, int y);
// RGBA8 buffer: width × height × 4 bytes, top row first. Byte values become
// v × 257 (16-bit) or v / 255 (float); back, 16-bit is rounded from v / 257
// and float clamped to 0..1 and rounded from v × 255. RGB images drop alpha
// going in and read as alpha 255 coming out.
void hostFillFromRGBA8(HostImage& image, const std::vector<uint8_t>& rgba);
std::vector<uint8_t> hostToRGBA8(const HostImage& image);
// False when a byte of the row padding or of the guards changed.
bool hostImageIntact(const HostImage& image);

// The image the clip answers clipGetImage with at any time; null makes
// clipGetImage fail, as for an unconnected clip or a host out of memory.
void hostSetClipImage(HostInstance* instance, const std::string& clip,
                      std::shared_ptr<HostImage> image);
// Images fetched with clipGetImage and not yet released.
int hostImagesHeld(HostInstance* instance);

// ---- Property sets ---------------------------------------------------------------------

// The host's suites, whatever the config withholds from the plug-in.
const OfxPropertySuiteV1* hostPropertySuite();
const OfxParameterSuiteV1* hostParameterSuite();
const OfxImageEffectSuiteV1* hostEffectSuite();
const OfxMessageSuiteV1* hostMessageSuite();
const OfxMultiThreadSuiteV1* hostMultiThreadSuite();

// A free-standing property set, e.g. for action arguments.
OfxPropertySetHandle hostNewPropertySet();
void hostFreePropertySet(OfxPropertySetHandle props);

// Readers for tests: false/empty/0 when the property or index is missing.
bool hostPropExists(OfxPropertySetHandle props, const char* name);
int hostPropDimension(OfxPropertySetHandle props, const char* name);  // -1 if missing
std::string hostPropString(OfxPropertySetHandle props, const char* name, int index = 0);
int hostPropInt(OfxPropertySetHandle props, const char* name, int index = 0);
double hostPropDouble(OfxPropertySetHandle props, const char* name, int index = 0);
void* hostPropPointer(OfxPropertySetHandle props, const char* name, int index = 0);
// "string", "int", "double", "pointer", or "" when missing.
std::string hostPropType(OfxPropertySetHandle props, const char* name);
