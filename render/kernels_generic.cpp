// The kernels as plain loops, for instruction sets without a file of their own;
// the compiler vectorises what it can.
#include <cstring>

#include "render/render.h"

void floatsToBytes(const unsigned char* src, uint8_t* dst, int count) {
  for (int k = 0; k < count; ++k) {
    float v;
    std::memcpy(&v, src + 4 * k, 4);
    float c = v > 0.0f ? v : 0.0f;  // NaN fails the test and becomes 0
    c = c < 1.0f ? c : 1.0f;
    dst[k] = static_cast<uint8_t>(static_cast<int>(c * 255.0f + 0.5f));
  }
}

void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count) {
  for (int k = 0; k < count; ++k) {
    const uint8_t m = mask ? mask[k] : 255;
    const float a = (cov[k] / 255.0f) * (m / 255.0f) * blend;
    const uint8_t* s = src + 4 * k;
    const uint8_t* b = bg + 4 * k;
    const uint8_t r = static_cast<uint8_t>(static_cast<int>(b[0] * a + s[0] * (1.0f - a)));
    const uint8_t g = static_cast<uint8_t>(static_cast<int>(b[1] * a + s[1] * (1.0f - a)));
    const uint8_t bl = static_cast<uint8_t>(static_cast<int>(b[2] * a + s[2] * (1.0f - a)));
    out[4 * k + 0] = r;
    out[4 * k + 1] = g;
    out[4 * k + 2] = bl;
    out[4 * k + 3] = 255;
  }
}

void alphaRange(const uint8_t* rgba, int64_t count, int& lowest, int& highest) {
  int lo = 255;
  int hi = 0;
  for (int64_t i = 0; i < count; ++i) {
    const int a = rgba[4 * i + 3];
    lo = a < lo ? a : lo;
    hi = a > hi ? a : hi;
  }
  lowest = lo;
  highest = hi;
}
