#include "tests/hardening/hardening_fixture.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "backend/backend.h"
#include "stb_image_write.h"
#include "tests/hardening/process_counts.h"

const std::string kTestService = TALVANE_TEST_SERVICE_URL;

namespace {

struct BarColour {
  Bars bars;
  uint8_t r, g, b;
};
constexpr BarColour kBarColours[] = {{Bars::Red, 230, 40, 40},
                                     {Bars::Green, 40, 200, 60},
                                     {Bars::Amber, 230, 200, 0},
                                     {Bars::Orange, 230, 120, 0},
                                     {Bars::LightRed, 230, 80, 80}};

// The colour every pixel of row y has, or nullptr-like false.
bool rowColour(const std::vector<uint8_t>& rgba, int width, int y, uint8_t rgb[3]) {
  const uint8_t* row = rgba.data() + size_t(y) * size_t(width) * 4;
  for (int x = 0; x < width; ++x) {
    const uint8_t* p = row + x * 4;
    if (p[0] != row[0] || p[1] != row[1] || p[2] != row[2] || p[3] != 255) return false;
  }
  rgb[0] = row[0];
  rgb[1] = row[1];
  rgb[2] = row[2];
  return true;
}

Bars barsOf(const std::vector<uint8_t>& rgba, int width, int height) {
  if (width <= 0 || height <= 0) return Bars::None;
  uint8_t top[3], bottom[3];
  if (!rowColour(rgba, width, 0, top) || !rowColour(rgba, width, height - 1, bottom))
    return Bars::None;
  for (const BarColour& c : kBarColours)
    if (top[0] == c.r && top[1] == c.g && top[2] == c.b && bottom[0] == c.r && bottom[1] == c.g &&
        bottom[2] == c.b)
      return c.bars;
  return Bars::None;
}

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
}

}  // namespace

const char* barsName(Bars bars) {
  switch (bars) {
    case Bars::None:
      return "none";
    case Bars::Red:
      return "red";
    case Bars::Green:
      return "green";
    case Bars::Amber:
      return "amber";
    case Bars::Orange:
      return "orange";
    case Bars::LightRed:
      return "light red";
    case Bars::Other:
      return "other";
  }
  return "?";
}

std::vector<uint8_t> texturedFrame(int width, int height, int seed) {
  std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = rgba.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
      p[0] = uint8_t(60 + ((x * 37 + y * 11 + seed * 13) % 120));
      p[1] = uint8_t(80 + ((x * 5 + y * 29 + seed * 7) % 100));
      p[2] = uint8_t(40 + (((x ^ y) * 17 + seed) % 90));
      p[3] = 255;
    }
  return rgba;
}

std::string solidPng(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = r;
    rgb[i + 1] = g;
    rgb[i + 2] = b;
  }
  std::string png;
  stbi_write_png_to_func(appendBytes, &png, width, height, 3, rgb.data(), width * 3);
  return png;
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

namespace {

ProcessCounts countsOrFail() {
  ProcessCounts counts;
  if (!readProcessCounts(counts))
    ADD_FAILURE() << "this process's threads and resident memory cannot be read here";
  return counts;
}

}  // namespace

int processThreads() { return countsOrFail().threads; }

int waitForThreads(int count, double seconds) {
  waitUntil([count] { return processThreads() <= count; }, seconds);
  return processThreads();
}

int settledThreads() {
  int last = processThreads();
  auto stillSince = std::chrono::steady_clock::now();
  waitUntil(
      [&] {
        const int now = processThreads();
        if (now != last) {
          last = now;
          stillSince = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - stillSince > std::chrono::milliseconds(300);
      },
      5.0);
  return last;
}

long residentBytes() { return countsOrFail().residentBytes; }

bool memoryIsInstrumented() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

void HardeningTest::SetUp() {
  BundleTest::SetUp();
  service_.reply("GET", "/v1/me", Reply{200, R"({"email":"ann@example.com","balance":7})"});
}

HostInstance* HardeningTest::createWithFrame(int width, int height, int seed) {
  HostInstance* instance = create();
  attachFrame(instance, width, height, seed);
  return instance;
}

void HardeningTest::attachFrame(HostInstance* instance, int width, int height, int seed) {
  Frame frame{
      instance,
      hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, width, height}),
      hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, OfxRectI{0, 0, width, height})};
  hostFillFromRGBA8(*frame.source, texturedFrame(width, height, seed));
  hostSetClipImage(instance, "Source", frame.source);
  hostSetClipImage(instance, "Output", frame.output);
  frames_.push_back(frame);
}

void HardeningTest::storeToken(const std::string& token) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kTestService, token));
}

Bars HardeningTest::startGeneration(HostInstance* instance, const std::string& prompt,
                                    double time) {
  hostSetValue(instance, "prompt", prompt);
  hostInstanceChanged(instance, "prompt", time);
  hostInstanceChanged(instance, "generate", time);
  return render(instance, time);
}

Bars HardeningTest::render(HostInstance* instance, double time) {
  EXPECT_EQ(hostRender(instance, time), kOfxStatOK);
  const Frame* f = frameOf(instance);
  if (!f) return Bars::Other;
  return barsOf(hostToRGBA8(*f->output), hostImageWidth(*f->output), hostImageHeight(*f->output));
}

Bars HardeningTest::renderUntilNotRed(HostInstance* instance, double time, double seconds) {
  Bars bars = Bars::Red;
  waitUntil(
      [&] {
        bars = render(instance, time);
        if (bars == Bars::Red) std::this_thread::sleep_for(std::chrono::milliseconds(40));
        return bars != Bars::Red;
      },
      seconds);
  return bars;
}

const HardeningTest::Frame* HardeningTest::frameOf(HostInstance* instance) const {
  // Newest first: a destroyed instance's address may come back for a new one.
  for (auto f = frames_.rbegin(); f != frames_.rend(); ++f)
    if (f->instance == instance) return &*f;
  return nullptr;
}

std::vector<uint8_t> HardeningTest::output(HostInstance* instance) const {
  const Frame* f = frameOf(instance);
  return f ? hostToRGBA8(*f->output) : std::vector<uint8_t>();
}

std::vector<uint8_t> HardeningTest::source(HostInstance* instance) const {
  const Frame* f = frameOf(instance);
  return f ? hostToRGBA8(*f->source) : std::vector<uint8_t>();
}

std::string HardeningTest::debugLog() const {
  std::ifstream in(workDir() + "/ofx_debug.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> HardeningTest::workFiles(const std::string& prefix) const {
  std::vector<std::string> names;
  if (DIR* dir = opendir(workDir().c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}
