// The refinement's pass, one sample at a time: the definition the four-lane pass keeps to.
#include <algorithm>
#include <cmath>

#include "imaging/imaging.h"

void refinementSumsPlain(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                         int firstRow, int lastRow, RefinementSums& out) {
  constexpr int kLanes = 4;
  const int w = cur.width, h = cur.height;
  double H00[kLanes] = {}, H01[kLanes] = {}, H02[kLanes] = {}, H11[kLanes] = {}, H12[kLanes] = {},
         H22[kLanes] = {}, g0[kLanes] = {}, g1[kLanes] = {}, g2[kLanes] = {}, sumR2[kLanes] = {},
         count[kLanes] = {};
  if (pass.measure) out.residuals.assign(kResidualBins, 0);
  for (int y = firstRow; y < lastRow; ++y) {
    const double qy = pass.oy + pass.s * y;
    if (qy < 1.0 || qy > h - 2.0) continue;
    const int iy = static_cast<int>(qy);
    const float ay = static_cast<float>(qy - iy);
    const float* row0 = cur.luma.data() + static_cast<size_t>(iy) * w;
    const float* row1 = row0 + w;
    for (uint32_t k = ref.rowStart[y]; k < ref.rowStart[y + 1]; ++k) {
      const int lane = static_cast<int>((k - ref.rowStart[y]) % kLanes);
      const double qx = pass.ox + pass.s * ref.sampleX[k];
      if (qx < 1.0 || qx > w - 2.0) continue;
      const int ix = static_cast<int>(qx);
      const float ax = static_cast<float>(qx - ix);
      const float* r0 = row0 + ix;
      const float* r1 = row1 + ix;
      const float v =
          (1 - ay) * ((1 - ax) * r0[0] + ax * r0[1]) + ay * ((1 - ax) * r1[0] + ax * r1[1]);
      const double r = v - ref.sampleLuma[k];
      if (pass.measure)
        ++out.residuals[std::min<size_t>(static_cast<size_t>(std::fabs(r) * kResidualBinsPerLevel),
                                         kResidualBins - 1)];
      if (pass.spreadOnly) continue;
      const double gx = ref.sampleGx[k], gy = ref.sampleGy[k];
      const double cut = pass.cut + pass.slack * (std::fabs(gx) + std::fabs(gy));
      if (std::fabs(r) >= cut) continue;
      double wt = 1.0;
      if (pass.sigma > 0.0) {
        const double u = r / cut;
        wt = (1 - u * u) * (1 - u * u);
      }
      const double wj0 = wt * gx, wj1 = wt * gy;
      g0[lane] += wj0 * r;
      g1[lane] += wj1 * r;
      H00[lane] += wj0 * gx;
      H01[lane] += wj0 * gy;
      H11[lane] += wj1 * gy;
      if (pass.scaled) {
        const double j2 = gx * (ref.sampleX[k] - pass.cx) + gy * (y - pass.cy);
        const double wj2 = wt * j2;
        g2[lane] += wj2 * r;
        H02[lane] += wj0 * j2;
        H12[lane] += wj1 * j2;
        H22[lane] += wj2 * j2;
      }
      sumR2[lane] += wt * r * r;
      count[lane] += wt;
    }
  }
  const auto total = [](const double* lane) { return (lane[0] + lane[1]) + (lane[2] + lane[3]); };
  out.H[0][0] = total(H00);
  out.H[0][1] = out.H[1][0] = total(H01);
  out.H[0][2] = out.H[2][0] = total(H02);
  out.H[1][1] = total(H11);
  out.H[1][2] = out.H[2][1] = total(H12);
  out.H[2][2] = total(H22);
  out.g[0] = total(g0);
  out.g[1] = total(g1);
  out.g[2] = total(g2);
  out.sumR2 = total(sumR2);
  out.count = total(count);
}
