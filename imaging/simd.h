// Sixteen-byte vectors for the mask kernels, written once with the compiler's portable
// vector extensions (GCC and Clang): they become SSE2 on x86-64, NEON on arm64 and plain
// scalar code elsewhere. Internal to imaging/.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace simd {

typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef uint32_t U32x8 __attribute__((vector_size(32)));

inline U8x16 load(const uint8_t* p) {
  U8x16 v;
  std::memcpy(&v, p, 16);
  return v;
}
inline void store(uint8_t* p, U8x16 v) { std::memcpy(p, &v, 16); }
inline U8x16 splat(uint8_t b) { return U8x16{} + b; }

inline U8x16 vmax(U8x16 a, U8x16 b) { return a > b ? a : b; }
inline U8x16 vmin(U8x16 a, U8x16 b) { return a < b ? a : b; }

// Zero-extend the low / high eight bytes to 16-bit lanes (little-endian targets).
inline U16x8 widenLo(U8x16 v) {
  return (U16x8)__builtin_shufflevector(v, U8x16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22,
                                        7, 23);
}
inline U16x8 widenHi(U8x16 v) {
  return (U16x8)__builtin_shufflevector(v, U8x16{}, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29,
                                        14, 30, 15, 31);
}
// Low byte of each 16-bit lane; callers guarantee the values are below 256.
inline U8x16 narrow(U16x8 lo, U16x8 hi) {
  return __builtin_shufflevector((U8x16)lo, (U8x16)hi, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22,
                                 24, 26, 28, 30);
}

// High half of the unsigned 16 x 16 -> 32-bit product.
inline U16x8 mulhi(U16x8 a, uint16_t m) {
#if defined(__SSE2__)
  return (U16x8)_mm_mulhi_epu16((__m128i)a, _mm_set1_epi16(static_cast<short>(m)));
#else
  U32x8 w = __builtin_convertvector(a, U32x8) * static_cast<uint32_t>(m);
  return __builtin_convertvector(w >> 16, U16x8);
#endif
}

// Transpose a 16 x 16 byte block held as 16 row vectors. Interleaving row i with row i + 8
// rotates the 8-bit (row, column) index left by one; four rounds swap row and column.
// Fully unrolled so that the block stays in registers.
inline void transpose(U8x16 r[16]) {
#pragma GCC unroll 4
  for (int round = 0; round < 4; ++round) {
    U8x16 t[16];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = __builtin_shufflevector(r[i], r[i + 8], 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21,
                                         6, 22, 7, 23);
      t[2 * i + 1] = __builtin_shufflevector(r[i], r[i + 8], 8, 24, 9, 25, 10, 26, 11, 27, 12, 28,
                                             13, 29, 14, 30, 15, 31);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) r[i] = t[i];
  }
}

}  // namespace simd
