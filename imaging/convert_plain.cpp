// The conversion rules one component at a time, exactly as defined: the
// reference the fast conversions in convert.cpp are held to.
#include <cmath>
#include <cstring>

#include "imaging/imaging.h"

namespace {

uint8_t toByte(const unsigned char* p, int bytes) {
  if (bytes == 4) {
    float v;
    std::memcpy(&v, p, 4);
    if (std::isnan(v) || v < 0.0f) return 0;
    if (v > 1.0f) return 255;
    return static_cast<uint8_t>(static_cast<int>(v * 255.0f + 0.5f));
  }
  if (bytes == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<uint8_t>(v >> 8);
  }
  return *p;
}

void fromByte(uint8_t b, unsigned char* p, int bytes) {
  if (bytes == 4) {
    const float v = static_cast<float>(b) / 255.0f;
    std::memcpy(p, &v, 4);
  } else if (bytes == 2) {
    const uint16_t v = static_cast<uint16_t>(b * 256);
    std::memcpy(p, &v, 2);
  } else {
    *p = b;
  }
}

}  // namespace

std::vector<uint8_t> extractRGBAPlain(const HostView& src, RowOrder order) {
  const int width = src.width();
  const int height = src.height();
  const int components = src.components;
  if (width <= 0 || height <= 0) return {};
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4, 0);
  const int bytes = bytesPerComponent(src.depth);
  for (int y = 0; y < height; ++y) {
    const int r = order == RowOrder::BottomUp ? height - 1 - y : y;
    const unsigned char* row =
        static_cast<const unsigned char*>(src.data) + static_cast<int64_t>(r) * src.rowBytes;
    for (int x = 0; x < width; ++x) {
      uint8_t* d = &out[(static_cast<size_t>(y) * width + x) * 4];
      for (int c = 0; c < 4; ++c) {
        if (c == 3 && components == 3) {
          d[c] = 255;
        } else {
          d[c] = toByte(row + (static_cast<int64_t>(x) * components + c) * bytes, bytes);
        }
      }
    }
  }
  return out;
}

void writeRGBAPlain(const uint8_t* rgba, const HostView& dst, RowOrder order) {
  const int width = dst.width();
  const int height = dst.height();
  const int components = dst.components;
  if (width <= 0 || height <= 0) return;
  const int bytes = bytesPerComponent(dst.depth);
  for (int y = 0; y < height; ++y) {
    const int r = order == RowOrder::BottomUp ? height - 1 - y : y;
    unsigned char* row =
        static_cast<unsigned char*>(dst.data) + static_cast<int64_t>(r) * dst.rowBytes;
    for (int x = 0; x < width; ++x) {
      const uint8_t* s = rgba + (static_cast<size_t>(y) * width + x) * 4;
      for (int c = 0; c < components; ++c) {
        fromByte(s[c], row + (static_cast<int64_t>(x) * components + c) * bytes, bytes);
      }
    }
  }
}
