// Host image <-> RGBA8 buffer, a row at a time.
//
// 8-bit rows are one block copy each. The 16-bit loops and the byte-to-float
// loop are plain loops the compiler vectorises (loads and stores go through
// memcpy: host rows need not be aligned for their component type); the
// float-to-byte clamp, which it won't vectorise on its own, is a kernel with one
// file per instruction set. convert_plain.cpp holds the rules one component at a
// time; property tests keep the two byte-identical.
#include <cstring>

#include "imaging/imaging.h"

namespace {

inline const unsigned char* hostRow(const void* base, int r, int rowBytes) {
  return static_cast<const unsigned char*>(base) + static_cast<int64_t>(r) * rowBytes;
}
inline unsigned char* hostRow(void* base, int r, int rowBytes) {
  return static_cast<unsigned char*>(base) + static_cast<int64_t>(r) * rowBytes;
}

// ---- one row, n components in, n components out (RGBA) ----

void shortsToBytes(const unsigned char* s, uint8_t* d, int n) {
  for (int k = 0; k < n; ++k) {
    uint16_t v;
    std::memcpy(&v, s + 2 * k, 2);
    d[k] = static_cast<uint8_t>(v >> 8);
  }
}

void bytesToFloats(const uint8_t* s, unsigned char* d, int n) {
  for (int k = 0; k < n; ++k) {
    const float v = static_cast<float>(s[k]) / 255.0f;
    std::memcpy(d + 4 * k, &v, 4);
  }
}

void bytesToShorts(const uint8_t* s, unsigned char* d, int n) {
  for (int k = 0; k < n; ++k) {
    const uint16_t v = static_cast<uint16_t>(s[k] << 8);
    std::memcpy(d + 2 * k, &v, 2);
  }
}

// ---- one row of RGB pixels ----

template <int Bytes>
uint8_t componentToByte(const unsigned char* p) {
  if (Bytes == 4) {
    float v;
    std::memcpy(&v, p, 4);
    return floatToByte(v);
  }
  if (Bytes == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<uint8_t>(v >> 8);
  }
  return *p;
}

template <int Bytes>
void byteToComponent(uint8_t b, unsigned char* p) {
  if (Bytes == 4) {
    const float v = static_cast<float>(b) / 255.0f;
    std::memcpy(p, &v, 4);
  } else if (Bytes == 2) {
    const uint16_t v = static_cast<uint16_t>(b << 8);
    std::memcpy(p, &v, 2);
  } else {
    *p = b;
  }
}

template <int Bytes>
void rgbRowToRGBA(const unsigned char* s, uint8_t* d, int width) {
  for (int x = 0; x < width; ++x) {
    d[4 * x + 0] = componentToByte<Bytes>(s + (3 * x + 0) * Bytes);
    d[4 * x + 1] = componentToByte<Bytes>(s + (3 * x + 1) * Bytes);
    d[4 * x + 2] = componentToByte<Bytes>(s + (3 * x + 2) * Bytes);
    d[4 * x + 3] = 255;
  }
}

template <int Bytes>
void rgbaRowToRGB(const uint8_t* s, unsigned char* d, int width) {
  for (int x = 0; x < width; ++x) {
    byteToComponent<Bytes>(s[4 * x + 0], d + (3 * x + 0) * Bytes);
    byteToComponent<Bytes>(s[4 * x + 1], d + (3 * x + 1) * Bytes);
    byteToComponent<Bytes>(s[4 * x + 2], d + (3 * x + 2) * Bytes);
  }
}

void extractRow(const unsigned char* s, uint8_t* d, int width, int components, int bytes) {
  if (components == 3) {
    if (bytes == 4) rgbRowToRGBA<4>(s, d, width);
    else if (bytes == 2) rgbRowToRGBA<2>(s, d, width);
    else rgbRowToRGBA<1>(s, d, width);
    return;
  }
  const int n = width * 4;
  if (bytes == 4) floatsToBytes(s, d, n);
  else if (bytes == 2) shortsToBytes(s, d, n);
  else std::memcpy(d, s, static_cast<size_t>(n));
}

void writeRow(const uint8_t* s, unsigned char* d, int width, int components, int bytes) {
  if (components == 3) {
    if (bytes == 4) rgbaRowToRGB<4>(s, d, width);
    else if (bytes == 2) rgbaRowToRGB<2>(s, d, width);
    else rgbaRowToRGB<1>(s, d, width);
    return;
  }
  const int n = width * 4;
  if (bytes == 4) bytesToFloats(s, d, n);
  else if (bytes == 2) bytesToShorts(s, d, n);
  else std::memcpy(d, s, static_cast<size_t>(n));
}

}  // namespace

int bytesPerComponent(Depth depth) {
  switch (depth) {
    case Depth::Float:
      return 4;
    case Depth::Short:
      return 2;
    default:
      return 1;
  }
}

HostView hostView(const void* data, int width, int height, int rowBytes, int components,
                  Depth depth) {
  HostView view;
  view.data = const_cast<void*>(data);
  view.rowBytes = rowBytes;
  view.x2 = width;
  view.y2 = height;
  view.components = components;
  view.depth = depth;
  return view;
}

bool frameFitsRGBA8(int width, int height) {
  if (width < 0 || height < 0) return false;
  return static_cast<int64_t>(width) * height * 4 <= 2147483647LL;
}

std::vector<uint8_t> extractRGBA(const HostView& src, RowOrder order) {
  std::vector<uint8_t> out;
  const int width = src.width();
  const int height = src.height();
  if (width <= 0 || height <= 0 || !frameFitsRGBA8(width, height)) return out;
  const int bytes = bytesPerComponent(src.depth);
  const size_t rowLen = static_cast<size_t>(width) * 4;
  out.reserve(rowLen * static_cast<size_t>(height));
  // Rows are appended one by one so the buffer is written once, not zeroed first
  // and then overwritten; a row of zeros in cache costs nothing next to the frame.
  for (int y = 0; y < height; ++y) {
    const int r = order == RowOrder::BottomUp ? height - 1 - y : y;
    const unsigned char* s = hostRow(src.data, r, src.rowBytes);
    if (bytes == 1 && src.components == 4) {
      out.insert(out.end(), s, s + rowLen);
    } else {
      out.resize(out.size() + rowLen);
      extractRow(s, out.data() + out.size() - rowLen, width, src.components, bytes);
    }
  }
  return out;
}

void writeRGBA(const uint8_t* rgba, const HostView& dst, RowOrder order) {
  const int width = dst.width();
  const int height = dst.height();
  if (width <= 0 || height <= 0) return;
  const int bytes = bytesPerComponent(dst.depth);
  const size_t rowLen = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height; ++y) {
    const int r = order == RowOrder::BottomUp ? height - 1 - y : y;
    writeRow(rgba + rowLen * static_cast<size_t>(y), hostRow(dst.data, r, dst.rowBytes), width,
             dst.components, bytes);
  }
}
