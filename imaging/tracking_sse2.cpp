// SSE2 block SAD: _mm_sad_epu8 sums sixteen byte differences into two 64-bit lanes.
#include "imaging/sad.h"

#include <emmintrin.h>

namespace {
// Loading 16 bytes at offset t selects lanes 16 - t .. 15: the last t bytes of a window.
alignas(16) const uint8_t kTailMask[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                           0,    0,    0,    0,    0,    0,    0,    0,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
}  // namespace

uint64_t sadBlock(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  if (cols < 16) return sadBlockPlain(a, q, stride, rows, cols);
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
