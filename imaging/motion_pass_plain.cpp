// The refinement's pass, one sample at a time: the definition the four-lane pass keeps to.
#include <algorithm>
#include <cmath>

#include "imaging/imaging.h"
#include "imaging/motion_pass.h"

void refinementSumsPlain(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                         int firstRow, int lastRow, RefinementSums& out) {
  constexpr int kLanes = 4;
  const int w = cur.width, h = cur.height;
  double lanes[kRefinementSums][kLanes] = {};
  double *H00 = lanes[0], *H01 = lanes[1], *H02 = lanes[2], *H11 = lanes[3], *H12 = lanes[4],
         *H22 = lanes[5], *g0 = lanes[6], *g1 = lanes[7], *g2 = lanes[8], *sumR2 = lanes[9],
         *count = lanes[10];
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
      float residual;
      if (pass.keptResiduals != nullptr) {
        residual = pass.keptResiduals[k];
      } else {
        const int ix = static_cast<int>(qx);
        const float ax = static_cast<float>(qx - ix);
        const float* r0 = row0 + ix;
        const float* r1 = row1 + ix;
        const float v =
            (1 - ay) * ((1 - ax) * r0[0] + ax * r0[1]) + ay * ((1 - ax) * r1[0] + ax * r1[1]);
        residual = v - ref.sampleLuma[k];
        if (pass.keepResiduals != nullptr) pass.keepResiduals[k] = residual;
      }
      const double r = residual;
      if (pass.measure)
        ++out.residuals[std::min<size_t>(static_cast<size_t>(std::fabs(r) * kResidualBinsPerLevel),
                                         kResidualBins - 1)];
      if (pass.spreadOnly) continue;
      // Gradients of the reference alone. The current frame's, read at the nearest pixel,
      // share its noise with the interpolated sample, and on a faint backdrop that shared
      // noise pulls every step toward a whole pixel.
      const double gx = ref.sampleGx[k], gy = ref.sampleGy[k];
      // An edge not yet aligned leaves a residual as large as its gradient times the
      // misalignment: that much is allowed on top of the noise's cut.
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
  storeRefinementTotals(lanes, out);
}

void storeRefinementTotals(const double lanes[kRefinementSums][4], RefinementSums& out) {
  double t[kRefinementSums];
  for (int i = 0; i < kRefinementSums; ++i)
    t[i] = (lanes[i][0] + lanes[i][1]) + (lanes[i][2] + lanes[i][3]);
  out.H[0][0] = t[0];
  out.H[0][1] = out.H[1][0] = t[1];
  out.H[0][2] = out.H[2][0] = t[2];
  out.H[1][1] = t[3];
  out.H[1][2] = out.H[2][1] = t[4];
  out.H[2][2] = t[5];
  out.g[0] = t[6];
  out.g[1] = t[7];
  out.g[2] = t[8];
  out.sumR2 = t[9];
  out.count = t[10];
}

void searchCostsPlain(const MotionLevel& ref, const std::vector<int>& known, const MotionLevel& cur,
                      int dy, int radius, double* costs) {
  motion_pass::searchCostsWith(
      ref, known, cur, dy, radius, costs,
      [](const float* weight, const float* r, const float* c, int x0, int x1, float lane[8]) {
        const int whole = x0 + (x1 - x0) / 8 * 8;
        for (int x = x0; x < x1; ++x)
          lane[x < whole ? (x - x0) % 8 : 0] += weight[x] * std::fabs(r[x] - c[x]);
      });
}
