// The kernels as plain loops, for instruction sets without a file of their own;
// the compiler vectorises what it can.
#include "imaging/isa.h"

#if TALVANE_ISA_GENERIC

#include <cstring>

#include "imaging/imaging.h"

void floatsToBytes(const unsigned char* src, uint8_t* dst, int count) {
  for (int k = 0; k < count; ++k) {
    float v;
    std::memcpy(&v, src + 4 * k, 4);
    dst[k] = floatToByte(v);
  }
}

void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count) {
  for (int k = 0; k < count; ++k) {
    blendPixel(src + 4 * k, bg + 4 * k, mask ? mask[k] : 255, cov[k], blend, out + 4 * k);
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

#endif  // TALVANE_ISA_GENERIC
