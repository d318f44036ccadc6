// x86-64 block SAD: _mm_sad_epu8 sums sixteen byte differences into two 64-bit lanes, or,
// where the processor has AVX2, _mm256_sad_epu8 thirty-two into four. Integer sums, so both
// equal the plain loop exactly.
#include "imaging/isa.h"

#if TALVANE_ISA_X86_64

#include "imaging/sad.h"

#include <immintrin.h>

namespace {
// Loading 16 bytes at offset t selects lanes 16 - t .. 15: the last t bytes of a window.
alignas(16) const uint8_t kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

uint64_t sadBlockSse2(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  const int body = cols & ~15;
  const int tail = cols - body;
  // The tail re-reads the end of the row and masks out the bytes the body already counted.
  const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask + tail));
  __m128i acc = _mm_setzero_si128();
  for (int y = 0; y < rows; ++y) {
    const uint8_t* ar = a + static_cast<long>(y) * stride;
    const uint8_t* qr = q + static_cast<long>(y) * stride;
    for (int x = 0; x < body; x += 16) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ar + x));
      const __m128i vq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qr + x));
      acc = _mm_add_epi64(acc, _mm_sad_epu8(va, vq));
    }
    if (tail) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ar + cols - 16));
      const __m128i vq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qr + cols - 16));
      acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(va, mask), _mm_and_si128(vq, mask)));
    }
  }
  return static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
}

// Thirty-two bytes at a time, then at most one sixteen-byte step, then the masked tail.
__attribute__((target("avx2"))) uint64_t sadBlockAvx2(const uint8_t* a, const uint8_t* q,
                                                      int stride, int rows, int cols) {
  const int wide = cols & ~31;
  const int body = cols & ~15;
  const int tail = cols - body;
  const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask + tail));
  __m256i acc = _mm256_setzero_si256();
  __m128i acc16 = _mm_setzero_si128();
  for (int y = 0; y < rows; ++y) {
    const uint8_t* ar = a + static_cast<long>(y) * stride;
    const uint8_t* qr = q + static_cast<long>(y) * stride;
    for (int x = 0; x < wide; x += 32) {
      const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ar + x));
      const __m256i vq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qr + x));
      acc = _mm256_add_epi64(acc, _mm256_sad_epu8(va, vq));
    }
    if (body > wide) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ar + wide));
      const __m128i vq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qr + wide));
      acc16 = _mm_add_epi64(acc16, _mm_sad_epu8(va, vq));
    }
    if (tail) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ar + cols - 16));
      const __m128i vq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qr + cols - 16));
      acc16 = _mm_add_epi64(acc16, _mm_sad_epu8(_mm_and_si128(va, mask), _mm_and_si128(vq, mask)));
    }
  }
  acc16 = _mm_add_epi64(
      acc16, _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1)));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(acc16)) +
         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc16, acc16)));
}

bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

}  // namespace

uint64_t sadBlock(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  if (cols < 16) return sadBlockPlain(a, q, stride, rows, cols);
  return haveAvx2() ? sadBlockAvx2(a, q, stride, rows, cols)
                    : sadBlockSse2(a, q, stride, rows, cols);
}

#endif  // TALVANE_ISA_X86_64
