// trackOffset on random squares, sizes and ranges equals the search written
// out plainly here: every coarse candidate on the step-4 lattice, then the
// 9 x 9 neighbourhood of the coarse winner, strict improvement only, cost as
// the truncated mean absolute difference in units of 1/10000.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fuzz/check.h"
#include "imaging/imaging.h"

namespace {

constexpr int64_t kWorst = std::numeric_limits<int64_t>::max();

int64_t cost(const std::vector<uint8_t>& a, const std::vector<uint8_t>& q, int s, int64_t dx,
             int64_t dy) {
  const int64_t y0 = dy > 0 ? dy : 0, y1 = s + dy < s ? s + dy : s;
  const int64_t x0 = dx > 0 ? dx : 0, x1 = s + dx < s ? s + dx : s;
  if (y1 <= y0 || x1 <= x0) return kWorst;
  uint64_t sum = 0;
  for (int64_t y = y0; y < y1; ++y)
    for (int64_t x = x0; x < x1; ++x)
      sum +=
          uint64_t(std::abs(int(a[size_t((y - dy) * s + (x - dx))]) - int(q[size_t(y * s + x)])));
  return int64_t(sum * 10000u) / ((y1 - y0) * (x1 - x0));
}

void reference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& q, int s, int range,
               int64_t& bx, int64_t& by) {
  bx = by = 0;
  if (s <= 0 || a.size() != size_t(s) * size_t(s) || q.size() != size_t(s) * size_t(s)) return;
  int64_t best = kWorst;
  if (range >= 0) {
    for (int64_t dy = -range; dy <= range; dy += 4)
      for (int64_t dx = -range; dx <= range; dx += 4) {
        const int64_t c = cost(a, q, s, dx, dy);
        if (c < best) best = c, bx = dx, by = dy;
      }
  }
  const int64_t cx = bx, cy = by;
  for (int64_t dy = cy - 4; dy <= cy + 4; ++dy)
    for (int64_t dx = cx - 4; dx <= cx + 4; ++dx) {
      const int64_t c = cost(a, q, s, dx, dy);
      if (c < best) best = c, bx = dx, by = dy;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int s = in.ConsumeIntegralInRange<int>(-1, 40);
  const int range = in.ConsumeIntegralInRange<int>(-6, 60);
  const size_t n = s > 0 ? size_t(s) * size_t(s) : 0;
  // Occasionally a square of the wrong size.
  const size_t anchorSize = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? n + 1 : n;
  const bool smooth = in.ConsumeBool();
  std::vector<uint8_t> anchor = in.ConsumeBytes<uint8_t>(anchorSize);
  anchor.resize(anchorSize, 0);
  std::vector<uint8_t> current;
  if (smooth && s > 0 && anchorSize == n) {
    // The anchor moved by a small shift, so the search has a true answer to find.
    const int sx = in.ConsumeIntegralInRange<int>(-8, 8),
              sy = in.ConsumeIntegralInRange<int>(-8, 8);
    current.assign(n, 0);
    for (int y = 0; y < s; ++y)
      for (int x = 0; x < s; ++x) {
        const int ax = x - sx, ay = y - sy;
        current[size_t(y * s + x)] = ax >= 0 && ax < s && ay >= 0 && ay < s
                                         ? anchor[size_t(ay * s + ax)]
                                         : in.ConsumeIntegral<uint8_t>();
      }
  } else {
    current = in.ConsumeBytes<uint8_t>(n);
    current.resize(n, 0);
  }

  const uint64_t packed = trackOffset(anchor, current, s, range);
  int64_t bx = 0, by = 0;
  reference(anchor, current, s, range, bx, by);
  FUZZ_CHECK(offsetDx(packed) == bx);
  FUZZ_CHECK(offsetDy(packed) == by);
  return 0;
}
