#include "tests/render/render_fixture.h"

#include <stb_image_write.h>
#include <utime.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "backend/backend.h"
#include "core/core.h"

void RenderTest::SetUp() {
  // The bundle decides its debug switch at its first log line, after this.
  setenv("TALVANE_DEBUG", "1", 1);
  BundleTest::SetUp();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(makeWorkDir());
  inst_ = create();
  ASSERT_NE(inst_, nullptr);
  hostSetValue(inst_, "trackMotion", 0.0);
}

void RenderTest::setFrame(const std::vector<uint8_t>& rgba, int width, int height,
                          const char* depth, const char* components, int padding,
                          bool topRowFirst) {
  width_ = width;
  height_ = height;
  const OfxRectI bounds{0, 0, width, height};
  source_ = hostMakeImage(depth, components, bounds, padding, topRowFirst);
  output_ = hostMakeImage(depth, components, bounds, padding, topRowFirst);
  hostFillFromRGBA8(*source_, rgba);
  hostSetClipImage(inst_, "Source", source_);
  hostSetClipImage(inst_, "Output", output_);
}

std::vector<uint8_t> RenderTest::render(double t) {
  EXPECT_EQ(hostRender(inst_, t), kOfxStatOK);
  EXPECT_EQ(hostImagesHeld(inst_), 0);
  EXPECT_TRUE(hostImageIntact(*output_)) << "a byte outside the output's pixels changed";
  return hostToRGBA8(*output_);
}

namespace {
void setTime(const std::string& path, long mtime) {
  if (mtime == 0) return;
  utimbuf t{mtime, mtime};
  utime(path.c_str(), &t);
}
}  // namespace

void RenderTest::writeBackground(const std::string& prompt, const std::vector<uint8_t>& rgba,
                                 int width, int height, long mtime) {
  const std::string path = cacheFile(effectKey(), prompt);
  ASSERT_NE(stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4), 0);
  setTime(path, mtime);
}

void RenderTest::writeDifference(const std::string& prompt, const std::vector<uint8_t>& gray,
                                 int width, int height, long mtime) {
  const std::string path = rawdiffFile(effectKey(), prompt);
  ASSERT_NE(stbi_write_png(path.c_str(), width, height, 1, gray.data(), width), 0);
  setTime(path, mtime);
}

std::string RenderTest::debugLog() const {
  std::ifstream in(tempDir() + "/ofx_debug.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int RenderTest::countLines(const std::string& line) const {
  std::istringstream in(debugLog());
  int n = 0;
  for (std::string l; std::getline(in, l);) n += l == line;
  return n;
}

std::string RenderTest::effectKey() const {
  // The record the bundle attached to the instance; its key names the working files.
  const auto* record =
      static_cast<const Instance*>(hostPropPointer(hostInstanceProps(inst_), kOfxPropInstanceData));
  return record ? record->key : std::string();
}

std::vector<uint8_t> solid(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = r;
    px[i + 1] = g;
    px[i + 2] = b;
    px[i + 3] = a;
  }
  return px;
}

std::vector<uint8_t> textured(int width, int height) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double v =
          128 + 60 * std::sin(x * 0.11) * std::cos(y * 0.07) + 40 * std::sin((x + 2 * y) * 0.05);
      uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(255 - v);
      p[2] = static_cast<uint8_t>((x * 3 + y) % 256);
      p[3] = 255;
    }
  }
  return px;
}

Rgb pixelAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
  const uint8_t* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
  return Rgb{p[0], p[1], p[2]};
}

int alphaAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
  return rgba[(static_cast<size_t>(y) * width + x) * 4 + 3];
}

std::vector<int> rowsOf(const std::vector<uint8_t>& rgba, int width, int height, Rgb c) {
  std::vector<int> rows;
  for (int y = 0; y < height; ++y) {
    bool all = true;
    for (int x = 0; x < width && all; ++x) {
      all = pixelAt(rgba, width, x, y) == c && alphaAt(rgba, width, x, y) == 255;
    }
    if (all) rows.push_back(y);
  }
  return rows;
}

int barRows(int height) { return std::max(6, height / 32); }

bool samePixelBytes(HostImage& a, HostImage& b) {
  const int w = hostImageWidth(a);
  const int h = hostImageHeight(a);
  if (w != hostImageWidth(b) || h != hostImageHeight(b)) return false;
  const size_t n = static_cast<size_t>(w) * hostPixelBytes(a);
  for (int y = a.bounds.y1; y < a.bounds.y2; ++y) {
    if (std::memcmp(hostPixel(a, a.bounds.x1, y), hostPixel(b, b.bounds.x1, y), n) != 0)
      return false;
  }
  return true;
}
