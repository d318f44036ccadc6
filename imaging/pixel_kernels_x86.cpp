// The kernels in SSE2 (every x86-64 processor has it); compiled to nothing elsewhere.
//
// Each step is the single-precision operation of the rule, in the rule's order,
// so results equal the plain twins bit for bit: maxps(v, 0) is exactly
// "v > 0 ? v : 0" (NaN -> 0), cvttps truncates toward zero, and multiply and
// add stay separate instructions.
#include "imaging/isa.h"

#if TALVANE_ISA_X86_64

#include <emmintrin.h>

#include <cstring>

#include "imaging/imaging.h"

namespace {

inline __m128i floatsToInts(__m128 v) {
  const __m128 c = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(c, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
}

// a for four pixels from their mask and coverage bytes (low four bytes of m, c).
inline __m128 alphaOf(__m128i m, __m128i c, __m128 blend) {
  const __m128i zero = _mm_setzero_si128();
  const __m128 mf = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(m, zero), zero));
  const __m128 cf = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(c, zero), zero));
  const __m128 k255 = _mm_set1_ps(255.0f);
  return _mm_mul_ps(_mm_mul_ps(_mm_div_ps(cf, k255), _mm_div_ps(mf, k255)), blend);
}

inline __m128i mixPixel(__m128i s, __m128i b, __m128 a) {
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 bf = _mm_cvtepi32_ps(b);
  const __m128 sf = _mm_cvtepi32_ps(s);
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(bf, a), _mm_mul_ps(sf, _mm_sub_ps(one, a))));
}

// Four RGBA8 pixels; a holds one opacity per pixel.
inline __m128i blendFour(__m128i src, __m128i bg, __m128 a, __m128i alpha) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i sLo = _mm_unpacklo_epi8(src, zero);
  const __m128i sHi = _mm_unpackhi_epi8(src, zero);
  const __m128i bLo = _mm_unpacklo_epi8(bg, zero);
  const __m128i bHi = _mm_unpackhi_epi8(bg, zero);
  const __m128i p0 = mixPixel(_mm_unpacklo_epi16(sLo, zero), _mm_unpacklo_epi16(bLo, zero),
                              _mm_shuffle_ps(a, a, 0x00));
  const __m128i p1 = mixPixel(_mm_unpackhi_epi16(sLo, zero), _mm_unpackhi_epi16(bLo, zero),
                              _mm_shuffle_ps(a, a, 0x55));
  const __m128i p2 = mixPixel(_mm_unpacklo_epi16(sHi, zero), _mm_unpacklo_epi16(bHi, zero),
                              _mm_shuffle_ps(a, a, 0xaa));
  const __m128i p3 = mixPixel(_mm_unpackhi_epi16(sHi, zero), _mm_unpackhi_epi16(bHi, zero),
                              _mm_shuffle_ps(a, a, 0xff));
  const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(p0, p1), _mm_packs_epi32(p2, p3));
  return _mm_or_si128(packed, alpha);
}

inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i load4(const uint8_t* p) {
  int v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

}  // namespace

void floatsToBytes(const unsigned char* src, uint8_t* dst, int count) {
  int k = 0;
  for (; k + 16 <= count; k += 16) {
    const float* f = reinterpret_cast<const float*>(src) + k;
    const __m128i i0 = floatsToInts(_mm_loadu_ps(f));
    const __m128i i1 = floatsToInts(_mm_loadu_ps(f + 4));
    const __m128i i2 = floatsToInts(_mm_loadu_ps(f + 8));
    const __m128i i3 = floatsToInts(_mm_loadu_ps(f + 12));
    store16(dst + k, _mm_packus_epi16(_mm_packs_epi32(i0, i1), _mm_packs_epi32(i2, i3)));
  }
  for (; k < count; ++k) {
    float v;
    std::memcpy(&v, src + 4 * k, 4);
    dst[k] = floatToByte(v);
  }
}

void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count) {
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi8(static_cast<char>(0xff));
  const __m128 blend4 = _mm_set1_ps(blend);
  const bool blendIsOne = blend == 1.0f;
  int k = 0;
  // Sixteen pixels at a time; runs where every opacity is 0 (mask or coverage 0)
  // or every opacity is 1 are copies, since bg*0 + src*1 == src and bg*1 + src*0 == bg.
  for (; k + 16 <= count; k += 16) {
    const __m128i m = mask ? load16(mask + k) : full;
    const __m128i c = load16(cov + k);
    const __m128i none = _mm_or_si128(_mm_cmpeq_epi8(m, zero), _mm_cmpeq_epi8(c, zero));
    if (_mm_movemask_epi8(none) == 0xffff) {
      for (int q = 0; q < 4; ++q)
        store16(out + 4 * (k + 4 * q), _mm_or_si128(load16(src + 4 * (k + 4 * q)), alpha));
      continue;
    }
    if (blendIsOne && _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(m, full),
                                                      _mm_cmpeq_epi8(c, full))) == 0xffff) {
      for (int q = 0; q < 4; ++q)
        store16(out + 4 * (k + 4 * q), _mm_or_si128(load16(bg + 4 * (k + 4 * q)), alpha));
      continue;
    }
    // Byte q*4 of each vector moves to the bottom for the q-th group of four pixels.
    const __m128i m4[4] = {m, _mm_srli_si128(m, 4), _mm_srli_si128(m, 8), _mm_srli_si128(m, 12)};
    const __m128i c4[4] = {c, _mm_srli_si128(c, 4), _mm_srli_si128(c, 8), _mm_srli_si128(c, 12)};
    for (int q = 0; q < 4; ++q) {
      const int p = k + 4 * q;
      store16(out + 4 * p, blendFour(load16(src + 4 * p), load16(bg + 4 * p),
                                     alphaOf(m4[q], c4[q], blend4), alpha));
    }
  }
  for (; k + 4 <= count; k += 4) {
    const __m128i m = mask ? load4(mask + k) : full;
    store16(out + 4 * k, blendFour(load16(src + 4 * k), load16(bg + 4 * k),
                                   alphaOf(m, load4(cov + k), blend4), alpha));
  }
  for (; k < count; ++k) {
    blendPixel(src + 4 * k, bg + 4 * k, mask ? mask[k] : 255, cov[k], blend, out + 4 * k);
  }
}

void alphaRange(const uint8_t* rgba, int64_t count, int& lowest, int& highest) {
  // Colour bytes are forced to 255 for the minimum and to 0 for the maximum, so
  // whole 16-byte loads can be reduced byte-wise.
  const __m128i alphaBytes = _mm_set1_epi32(static_cast<int>(0xff000000u));
  const __m128i colourBytes = _mm_set1_epi32(0x00ffffff);
  __m128i lo = _mm_set1_epi8(static_cast<char>(0xff));
  __m128i hi = _mm_setzero_si128();
  int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128i p = load16(rgba + 4 * i);
    lo = _mm_min_epu8(lo, _mm_or_si128(p, colourBytes));
    hi = _mm_max_epu8(hi, _mm_and_si128(p, alphaBytes));
  }
  alignas(16) uint8_t l[16];
  alignas(16) uint8_t h[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(l), lo);
  _mm_store_si128(reinterpret_cast<__m128i*>(h), hi);
  int low = 255;
  int high = 0;
  for (int k = 3; k < 16; k += 4) {
    low = l[k] < low ? l[k] : low;
    high = h[k] > high ? h[k] : high;
  }
  for (; i < count; ++i) {
    const int a = rgba[4 * i + 3];
    low = a < low ? a : low;
    high = a > high ? a : high;
  }
  lowest = low;
  highest = high;
}

#endif  // TALVANE_ISA_X86_64
