// The camera refinement's pass four samples a step, in the compiler's portable vectors
// (see refinementSums in imaging.h): a sample's tests become lane masks and a dropped
// sample weighs zero, so the loop has no branch per sample. A zero product added to a lane
// leaves it as it was, so the lanes hold the plain pass's sums to the bit. The body is
// always inlined, so that each instruction-set file compiles it for its own vector unit.
// Internal to imaging/.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "imaging/imaging.h"

// The pass's eleven sums in their lanes, in this order: H00, H01, H02, H11, H12, H22, g0,
// g1, g2, sumR2, count. storeRefinementTotals adds each sum's lanes, (0 + 1) + (2 + 3),
// into out (motion_pass_plain.cpp).
constexpr int kRefinementSums = 11;
void storeRefinementTotals(const double lanes[kRefinementSums][4], RefinementSums& out);

namespace motion_pass {
// Each file that includes this compiles its own copy, for its own vector unit.
namespace {

typedef double D4 __attribute__((vector_size(32)));
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef int64_t L4 __attribute__((vector_size(32)));

// Helpers take and give vectors through references: by value, 32-byte vectors would cross
// function boundaries by a different convention with and without AVX.
inline __attribute__((always_inline)) void setMagnitude(D4& out, const D4& v) {
  out = (D4)((L4)v & INT64_MAX);
}
inline __attribute__((always_inline)) void keepOnly(D4& v, const L4& mask) {
  v = (D4)((L4)v & mask);
}
inline __attribute__((always_inline)) double total(const D4& v) {
  return (v[0] + v[1]) + (v[2] + v[3]);
}

template <bool kScaled>
inline __attribute__((always_inline)) void refinementLanes(const MotionLevel& ref,
                                                           const MotionLevel& cur,
                                                           const RefinementPass& pass, int firstRow,
                                                           int lastRow, RefinementSums& out) {
  const int w = cur.width, h = cur.height;
  const double ox = pass.ox, s = pass.s, cx = pass.cx, lastX = w - 2.0;
  // Summed in locals and stored once: bands side by side in memory would otherwise share
  // cache lines between threads on every sample.
  D4 H00{}, H01{}, H02{}, H11{}, H12{}, H22{}, g0{}, g1{}, g2{}, sumR2{}, count{};
  uint32_t* residuals = nullptr;
  if (pass.measure) {
    out.residuals.assign(kResidualBins, 0);
    residuals = out.residuals.data();
  }
  const L4 laneIndex = {0, 1, 2, 3};
  float* const keep = pass.keepResiduals;
  const float* const kept = pass.keptResiduals;
  for (int y = firstRow; y < lastRow; ++y) {
    const double qy = pass.oy + s * y;
    if (qy < 1.0 || qy > h - 2.0) continue;
    const int iy = static_cast<int>(qy);
    const float ay = static_cast<float>(qy - iy);
    const float* row0 = cur.luma.data() + static_cast<size_t>(iy) * w;
    const float* row1 = row0 + w;
    const double yc = y - pass.cy;
    const uint32_t start = ref.rowStart[y], end = ref.rowStart[y + 1];
    for (uint32_t k = start; k < end; k += 4) {
      // The row's last step may hold fewer than four samples: the rest are zeros, left out.
      const uint32_t n = std::min<uint32_t>(4, end - k);
      I4 xi{};
      F4 luma{}, gxf{}, gyf{};
      if (n == 4) {
        std::memcpy(&xi, ref.sampleX.data() + k, sizeof xi);
        std::memcpy(&luma, ref.sampleLuma.data() + k, sizeof luma);
        std::memcpy(&gxf, ref.sampleGx.data() + k, sizeof gxf);
        std::memcpy(&gyf, ref.sampleGy.data() + k, sizeof gyf);
      } else {
        for (uint32_t j = 0; j < n; ++j) {
          xi[j] = ref.sampleX[k + j];
          luma[j] = ref.sampleLuma[k + j];
          gxf[j] = ref.sampleGx[k + j];
          gyf[j] = ref.sampleGy[k + j];
        }
      }
      const D4 xd = __builtin_convertvector(xi, D4);
      const D4 qx = ox + s * xd;
      const L4 in = (qx >= 1.0) & (qx <= lastX) & (laneIndex < static_cast<int64_t>(n));
      F4 residual{};
      if (kept != nullptr) {
        // Lanes past the row's end stay 0: weighing nothing, they add nothing either way.
        if (n == 4) {
          std::memcpy(&residual, kept + k, sizeof residual);
        } else {
          for (uint32_t j = 0; j < n; ++j) residual[j] = kept[k + j];
        }
      } else {
        // A lane off the level reads at column 1, in bounds, and is dropped below.
        D4 at = qx, one = D4{} + 1.0;
        keepOnly(at, in);
        keepOnly(one, ~in);
        at += one;
        const I4 ix = __builtin_convertvector(at, I4);
        const F4 ax = __builtin_convertvector(at - __builtin_convertvector(ix, D4), F4);
        F4 a, b, c, d;
        for (int j = 0; j < 4; ++j) {
          a[j] = row0[ix[j]];
          b[j] = row0[ix[j] + 1];
          c[j] = row1[ix[j]];
          d[j] = row1[ix[j] + 1];
        }
        const F4 v = (1 - ay) * ((1 - ax) * a + ax * b) + ay * ((1 - ax) * c + ax * d);
        residual = v - luma;
        if (keep != nullptr) {
          if (n == 4) {
            std::memcpy(keep + k, &residual, sizeof residual);
          } else {
            for (uint32_t j = 0; j < n; ++j) keep[k + j] = residual[j];
          }
        }
      }
      const D4 r = __builtin_convertvector(residual, D4);
      D4 size;
      setMagnitude(size, r);
      if (residuals) {
        // A lane's bin, the last holding everything past it; a lane off the level adds 0.
        const D4 scaledSize = size * kResidualBinsPerLevel, last = D4{} + (kResidualBins - 1);
        const L4 below = scaledSize < last;
        D4 bin = scaledSize, over = last;
        keepOnly(bin, below);
        keepOnly(over, ~below);
        const I4 index = __builtin_convertvector(bin + over, I4);
        for (int j = 0; j < 4; ++j) residuals[index[j]] += static_cast<uint32_t>(in[j] & 1);
      }
      if (pass.spreadOnly) continue;
      const D4 gx = __builtin_convertvector(gxf, D4), gy = __builtin_convertvector(gyf, D4);
      D4 gxSize, gySize;
      setMagnitude(gxSize, gx);
      setMagnitude(gySize, gy);
      const D4 cut = pass.cut + pass.slack * (gxSize + gySize);
      const L4 use = in & (size < cut);
      D4 wt = D4{} + 1.0;
      if (pass.sigma > 0.0) {
        const D4 u = r / cut;
        wt = (1 - u * u) * (1 - u * u);
      }
      keepOnly(wt, use);
      const D4 wj0 = wt * gx, wj1 = wt * gy;
      g0 += wj0 * r;
      g1 += wj1 * r;
      H00 += wj0 * gx;
      H01 += wj0 * gy;
      H11 += wj1 * gy;
      if (kScaled) {
        const D4 j2 = gx * (xd - cx) + gy * yc;
        const D4 wj2 = wt * j2;
        g2 += wj2 * r;
        H02 += wj0 * j2;
        H12 += wj1 * j2;
        H22 += wj2 * j2;
      }
      sumR2 += wt * r * r;
      count += wt;
    }
  }
  const D4 lanes[kRefinementSums] = {H00, H01, H02, H11, H12, H22, g0, g1, g2, sumR2, count};
  double totals[kRefinementSums][4];
  std::memcpy(totals, lanes, sizeof totals);
  storeRefinementTotals(totals, out);
}

typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));

// The search's costs for dy and every dx. rowLanes(weight, r, c, x0, x1, lane) adds a row's
// pixels x0 .. x1 - 1 into eight lanes by column, the row's tail into the first; the lanes
// are added in a fixed order.
template <class RowLanes>
inline __attribute__((always_inline)) void searchCostsWith(const MotionLevel& ref,
                                                           const std::vector<int>& known,
                                                           const MotionLevel& cur, int dy,
                                                           int radius, double* costs,
                                                           const RowLanes& rowLanes) {
  const double full = static_cast<double>(ref.width) * ref.height;
  for (int dx = -radius; dx <= radius; ++dx) {
    double sum = 0.0;
    int64_t count = 0;
    const int x0 = std::max(0, -dx), x1 = std::min(ref.width, cur.width - dx);
    const int y0 = std::max(0, -dy), y1 = std::min(ref.height, cur.height - dy);
    for (int y = y0; y < y1; ++y) {
      // The weights are 0 or 1: a weighted sum leaves the footprint out.
      float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      rowLanes(ref.weight.data() + static_cast<size_t>(y) * ref.width,
               ref.luma.data() + static_cast<size_t>(y) * ref.width,
               cur.luma.data() + static_cast<size_t>(y + dy) * cur.width + dx, x0, x1, lane);
      sum +=
          ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
      // The count of the row's pixels off the footprint, one subtraction.
      const int* k = known.data() + static_cast<size_t>(y) * (ref.width + 1);
      count += k[x1] - k[x0];
    }
    // Small overlaps are not trusted: they win by chance.
    costs[dx + radius] =
        static_cast<double>(count) < full * 0.25 ? 1e30 : sum / static_cast<double>(count);
  }
}

// The search's costs, eight columns a step in one vector.
inline __attribute__((always_inline)) void searchCostLanes(const MotionLevel& ref,
                                                           const std::vector<int>& known,
                                                           const MotionLevel& cur, int dy,
                                                           int radius, double* costs) {
  searchCostsWith(
      ref, known, cur, dy, radius, costs,
      [](const float* weight, const float* r, const float* c, int x0, int x1, float lane[8])
          __attribute__((always_inline)) {
            F8 lanes{};
            int x = x0;
            for (; x + 8 <= x1; x += 8) {
              F8 wv, rv, cv;
              std::memcpy(&wv, weight + x, sizeof wv);
              std::memcpy(&rv, r + x, sizeof rv);
              std::memcpy(&cv, c + x, sizeof cv);
              const F8 size = (F8)((I8)(rv - cv) & INT32_MAX);
              lanes += wv * size;
            }
            std::memcpy(lane, &lanes, 8 * sizeof(float));
            for (; x < x1; ++x) lane[0] += weight[x] * std::fabs(r[x] - c[x]);
          });
}

}  // namespace
}  // namespace motion_pass

// The portable build of the pass (motion_pass.cpp); refinementSums chooses it or a wider
// one (motion_pass_x86.cpp, motion_pass_generic.cpp).
void refinementSumsPortable(const MotionLevel& ref, const MotionLevel& cur,
                            const RefinementPass& pass, int firstRow, int lastRow,
                            RefinementSums& out);
void searchCostsPortable(const MotionLevel& ref, const std::vector<int>& known,
                         const MotionLevel& cur, int dy, int radius, double* costs);
