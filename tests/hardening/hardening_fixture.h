// The real test bundle in our host against a real loopback service on the
// bundle's port, with the helpers the fault, soak and unload tests share:
// frames, a stored token, the status bars an output shows, the process's
// threads and resident memory, and bounded waits.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/plugin/bundle_fixture.h"

// The bundle's service URL and its generation limits (plugin/CMakeLists.txt:
// the test bundle connects within 2 s and gives up after 6 s).
extern const std::string kTestService;
constexpr double kGenerateLimitSeconds = 6.0;

// What the bars of a rendered frame say.
enum class Bars { None, Red, Green, Amber, Orange, LightRed, Other };
const char* barsName(Bars bars);

// A textured opaque frame, top row first; `seed` shifts the texture.
std::vector<uint8_t> texturedFrame(int width, int height, int seed = 0);
// A PNG file's bytes: width x height pixels of one colour.
std::string solidPng(int width, int height, uint8_t r, uint8_t g, uint8_t b);

// Polls `done` every few milliseconds until it holds or `seconds` pass.
bool waitUntil(const std::function<bool()>& done, double seconds);

// Threads of this process (process_counts.h); a failure when unreadable.
int processThreads();
// Waits (bounded) until at most `count` threads remain; the final count.
int waitForThreads(int count, double seconds);
// The thread count once it has held still for a moment (at most 5 s): the
// loopback server starts its pool, and a sanitizer its helper, shortly after
// the first threads appear.
int settledThreads();
// Resident set size in bytes (process_counts.h); a failure when unreadable.
long residentBytes();

// True in builds whose sanitizer keeps freed memory (ASan's quarantine) or
// shadows it, where resident size says nothing about leaks.
bool memoryIsInstrumented();

class HardeningTest : public BundleTest {
 protected:
  void SetUp() override;

  // An instance with a `width` x `height` frame on its Source and Output.
  HostInstance* createWithFrame(int width, int height, int seed = 0);
  // Gives an instance made some other way the same textured frame and output.
  void attachFrame(HostInstance* instance, int width, int height, int seed = 0);
  // Stores an access token the bundle will find (same token store, same HOME).
  void storeToken(const std::string& token = "tok-hardening");
  // Sets the prompt, presses Generate Background at `time` and renders there.
  Bars startGeneration(HostInstance* instance, const std::string& prompt, double time);
  // Renders at `time` and reads the bars of the output.
  Bars render(HostInstance* instance, double time);
  // Renders every 50 ms until the bars are no longer red; the first other
  // bars, or Red when `seconds` passed first.
  Bars renderUntilNotRed(HostInstance* instance, double time, double seconds);
  // The output of the last render, RGBA8 top row first.
  std::vector<uint8_t> output(HostInstance* instance) const;
  std::vector<uint8_t> source(HostInstance* instance) const;

  std::string debugLog() const;
  std::string workDir() const { return home_.workDir(); }
  // Files in the working directory whose names start with `prefix`.
  std::vector<std::string> workFiles(const std::string& prefix) const;

  struct Frame {
    HostInstance* instance;
    std::shared_ptr<HostImage> source;
    std::shared_ptr<HostImage> output;
  };
  // The frame of the instance (the newest with that address), or null.
  const Frame* frameOf(HostInstance* instance) const;
  std::vector<Frame> frames_;
};
