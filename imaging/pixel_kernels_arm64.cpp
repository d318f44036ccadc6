// The kernels in NEON (every arm64 processor has it).
//
// Each step is the single-precision operation of the rule, in the rule's order,
// so results equal the plain twins bit for bit. NEON's max would pass a NaN
// through, so the lower clamp is a compare and select ("v > 0 ? v : 0", NaN ->
// 0); vcvtq truncates toward zero; multiply and add stay separate (no fused
// multiply-add: -ffp-contract=off).
#include "imaging/isa.h"

#if TALVANE_ISA_ARM64

#include <arm_neon.h>

#include <cstring>

#include "imaging/imaging.h"

namespace {

inline int32x4_t floatsToInts(float32x4_t v) {
  const float32x4_t zero = vdupq_n_f32(0.0f);
  const float32x4_t c = vminq_f32(vbslq_f32(vcgtq_f32(v, zero), v, zero), vdupq_n_f32(1.0f));
  return vcvtq_s32_f32(vaddq_f32(vmulq_f32(c, vdupq_n_f32(255.0f)), vdupq_n_f32(0.5f)));
}

inline float32x4_t lowFloats(uint16x8_t v) { return vcvtq_f32_u32(vmovl_u16(vget_low_u16(v))); }
inline float32x4_t highFloats(uint16x8_t v) { return vcvtq_f32_u32(vmovl_u16(vget_high_u16(v))); }

// One channel of eight pixels: trunc(bg * a + src * (1 - a)).
inline uint8x8_t mixChannel(uint8x8_t src, uint8x8_t bg, float32x4_t aLo, float32x4_t aHi) {
  const float32x4_t one = vdupq_n_f32(1.0f);
  const uint16x8_t s = vmovl_u8(src);
  const uint16x8_t b = vmovl_u8(bg);
  const float32x4_t lo =
      vaddq_f32(vmulq_f32(lowFloats(b), aLo), vmulq_f32(lowFloats(s), vsubq_f32(one, aLo)));
  const float32x4_t hi =
      vaddq_f32(vmulq_f32(highFloats(b), aHi), vmulq_f32(highFloats(s), vsubq_f32(one, aHi)));
  const int16x8_t both = vcombine_s16(vmovn_s32(vcvtq_s32_f32(lo)), vmovn_s32(vcvtq_s32_f32(hi)));
  return vqmovun_s16(both);
}

}  // namespace

void floatsToBytes(const unsigned char* src, uint8_t* dst, int count) {
  int k = 0;
  for (; k + 16 <= count; k += 16) {
    float32x4_t v[4];
    std::memcpy(v, src + 4 * k, 64);
    const int16x8_t lo = vcombine_s16(vmovn_s32(floatsToInts(v[0])), vmovn_s32(floatsToInts(v[1])));
    const int16x8_t hi = vcombine_s16(vmovn_s32(floatsToInts(v[2])), vmovn_s32(floatsToInts(v[3])));
    vst1q_u8(dst + k, vcombine_u8(vqmovun_s16(lo), vqmovun_s16(hi)));
  }
  for (; k < count; ++k) {
    float v;
    std::memcpy(&v, src + 4 * k, 4);
    dst[k] = floatToByte(v);
  }
}

void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count) {
  const uint8x8_t opaque = vdup_n_u8(255);
  const float32x4_t k255 = vdupq_n_f32(255.0f);
  const float32x4_t blend4 = vdupq_n_f32(blend);
  const bool blendIsOne = blend == 1.0f;
  int k = 0;
  // Eight pixels at a time, split into planes; groups where every opacity is 0
  // (mask or coverage 0) or every opacity is 1 are copies, since bg*0 + src*1 ==
  // src and bg*1 + src*0 == bg.
  for (; k + 8 <= count; k += 8) {
    const uint8x8_t m = mask ? vld1_u8(mask + k) : opaque;
    const uint8x8_t c = vld1_u8(cov + k);
    uint8x8x4_t s = vld4_u8(src + 4 * k);
    const uint8x8_t none = vorr_u8(vceq_u8(m, vdup_n_u8(0)), vceq_u8(c, vdup_n_u8(0)));
    if (vminv_u8(none) == 255) {
      s.val[3] = opaque;
      vst4_u8(out + 4 * k, s);
      continue;
    }
    uint8x8x4_t b = vld4_u8(bg + 4 * k);
    if (blendIsOne && vminv_u8(vand_u8(m, c)) == 255) {
      b.val[3] = opaque;
      vst4_u8(out + 4 * k, b);
      continue;
    }
    const uint16x8_t m16 = vmovl_u8(m);
    const uint16x8_t c16 = vmovl_u8(c);
    const float32x4_t aLo = vmulq_f32(
        vmulq_f32(vdivq_f32(lowFloats(c16), k255), vdivq_f32(lowFloats(m16), k255)), blend4);
    const float32x4_t aHi = vmulq_f32(
        vmulq_f32(vdivq_f32(highFloats(c16), k255), vdivq_f32(highFloats(m16), k255)), blend4);
    uint8x8x4_t o;
    for (int ch = 0; ch < 3; ++ch) o.val[ch] = mixChannel(s.val[ch], b.val[ch], aLo, aHi);
    o.val[3] = opaque;
    vst4_u8(out + 4 * k, o);
  }
  for (; k < count; ++k) {
    blendPixel(src + 4 * k, bg + 4 * k, mask ? mask[k] : 255, cov[k], blend, out + 4 * k);
  }
}

void alphaRange(const uint8_t* rgba, int64_t count, int& lowest, int& highest) {
  uint8x16_t lo = vdupq_n_u8(255);
  uint8x16_t hi = vdupq_n_u8(0);
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const uint8x16_t a = vld4q_u8(rgba + 4 * i).val[3];
    lo = vminq_u8(lo, a);
    hi = vmaxq_u8(hi, a);
  }
  int low = vminvq_u8(lo);
  int high = vmaxvq_u8(hi);
  for (; i < count; ++i) {
    const int a = rgba[4 * i + 3];
    low = a < low ? a : low;
    high = a > high ? a : high;
  }
  lowest = low;
  highest = high;
}

#endif  // TALVANE_ISA_ARM64
