// NEON block SAD: vabdq_u8 differences, widened by pairwise adds (8 -> 16 -> 32 -> 64 bits)
// so no lane can overflow whatever the block size.
#include "imaging/isa.h"

#if TALVANE_ISA_ARM64

#include "imaging/sad.h"

#include <arm_neon.h>

namespace {
// Loading 16 bytes at offset t selects lanes 16 - t .. 15: the last t bytes of a window.
alignas(16) const uint8_t kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
// A 16-bit lane takes two differences per vector: 128 vectors keep it below 65536.
constexpr int kVectorsPer16 = 128;
}  // namespace

uint64_t sadBlock(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  if (cols < 16) return sadBlockPlain(a, q, stride, rows, cols);
  const int body = cols & ~15;
  const int tail = cols - body;
  // The tail re-reads the end of the row and masks out the bytes the body already counted.
  const uint8x16_t mask = vld1q_u8(kTailMask + tail);
  uint64x2_t acc64 = vdupq_n_u64(0);
  for (int y = 0; y < rows; ++y) {
    const uint8_t* ar = a + static_cast<long>(y) * stride;
    const uint8_t* qr = q + static_cast<long>(y) * stride;
    uint32x4_t acc32 = vdupq_n_u32(0);
    uint16x8_t acc16 = vdupq_n_u16(0);
    int inLane = 0;
    for (int x = 0; x < body; x += 16) {
      acc16 = vpadalq_u8(acc16, vabdq_u8(vld1q_u8(ar + x), vld1q_u8(qr + x)));
      if (++inLane == kVectorsPer16) {
        acc32 = vpadalq_u16(acc32, acc16);
        acc16 = vdupq_n_u16(0);
        inLane = 0;
      }
    }
    if (tail) {
      const uint8x16_t va = vandq_u8(vld1q_u8(ar + cols - 16), mask);
      const uint8x16_t vq = vandq_u8(vld1q_u8(qr + cols - 16), mask);
      acc16 = vpadalq_u8(acc16, vabdq_u8(va, vq));
    }
    acc32 = vpadalq_u16(acc32, acc16);
    acc64 = vpadalq_u32(acc64, acc32);
  }
  return vgetq_lane_u64(acc64, 0) + vgetq_lane_u64(acc64, 1);
}

#endif  // TALVANE_ISA_ARM64
