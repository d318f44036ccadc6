// The real test bundle in our host with one instance, a debug log, and helpers
// to set frames, write the working files a generation leaves, and read the
// output back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/plugin/bundle_fixture.h"

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

constexpr Rgb kRed{230, 40, 40};
constexpr Rgb kGreen{40, 200, 60};
constexpr Rgb kAmber{230, 200, 0};
constexpr Rgb kOrange{230, 120, 0};
constexpr Rgb kLightRed{230, 80, 80};

class RenderTest : public BundleTest {
 protected:
  void SetUp() override;

  // Source and output of the same layout; source filled from rgba (top row first).
  void setFrame(const std::vector<uint8_t>& rgba, int width, int height,
                const char* depth = kOfxBitDepthByte,
                const char* components = kOfxImageComponentRGBA, int padding = 0,
                bool topRowFirst = false);
  // Renders at time t and returns the output as RGBA8, top row first.
  std::vector<uint8_t> render(double t);

  // The files a successful generation leaves, under this instance and prompt.
  void writeBackground(const std::string& prompt, const std::vector<uint8_t>& rgba, int width,
                       int height, long mtime = 0);
  void writeDifference(const std::string& prompt, const std::vector<uint8_t>& gray, int width,
                       int height, long mtime = 0);

  std::string debugLog() const;
  int countLines(const std::string& line) const;  // whole lines equal to line

  std::string effectKey() const;  // the key that names this instance's working files

  HostInstance* inst_ = nullptr;
  std::shared_ptr<HostImage> source_;
  std::shared_ptr<HostImage> output_;
  int width_ = 0;
  int height_ = 0;
};

// width * height pixels of one colour.
std::vector<uint8_t> solid(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255);
// A smooth texture block matching can lock onto.
std::vector<uint8_t> textured(int width, int height);
Rgb pixelAt(const std::vector<uint8_t>& rgba, int width, int x, int y);
int alphaAt(const std::vector<uint8_t>& rgba, int width, int x, int y);
// Rows (top row first) whose every pixel is colour c with alpha 255.
std::vector<int> rowsOf(const std::vector<uint8_t>& rgba, int width, int height, Rgb c);
// Bar thickness: max(6, height / 32).
int barRows(int height);
// True when the byte image of the output pixels equals the source's, row by row.
bool samePixelBytes(HostImage& a, HostImage& b);
