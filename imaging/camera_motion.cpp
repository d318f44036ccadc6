// Camera motion from the background alone: luma pyramids of the grab-time frame (the
// subject's footprint and its soft edge weighted out) and of the current frame; an
// exhaustive integer search on the smallest level, then robust Gauss-Newton refinement of
// translation and scale, on the reference's most detailed pixels, down to a level about a
// thousand pixels wide. A move the noise could explain is no move: a still camera reads
// exactly zero.
#include <algorithm>
#include <cmath>

#include "imaging/imaging.h"

namespace {

constexpr int kSearchWidth = 128;         // the smallest level is at most this wide
constexpr int kFinestWidth = 1100;        // refinement stops at the first level at most this wide
constexpr double kKeptDetail = 0.5;       // share of a level's gradient energy the samples hold
constexpr double kMostKept = 0.3;         // past this share of pixels, detail is mostly noise
constexpr int64_t kMostSamples = 300000;  // past this, a level is read on a checkerboard
constexpr double kLeastSpread = 0.5;      // the least spread of the residuals, luma levels
constexpr double kLeastSlack = 0.05;      // the least misalignment an edge is allowed, pixels

// Halves a level with the [1 3 3 1] / 8 filter in each direction (centred, like a 2x2
// box, between fine pixels 2x and 2x + 1), which keeps a fine repeating texture (windows
// of a facade) from aliasing into a false match on the coarse levels. The weight is the
// smallest under the filter, so a coarse pixel that touches the footprint is left out.
constexpr float kTaps[4] = {0.125f, 0.375f, 0.375f, 0.125f};

// One fine row halved across into out (w / 2 values), and its weights (ws) into outWeight.
void reduceAcross(const float* src, const float* ws, int w, float* out, float* outWeight) {
  const int cwd = w / 2;
  const auto edgePixel = [&](int x) {
    float v = 0.0f, m = 1.0f;
    for (int t = 0; t < 4; ++t) {
      const int sx = std::clamp(2 * x - 1 + t, 0, w - 1);
      v += kTaps[t] * src[sx];
      if (ws) m = std::min(m, ws[sx]);
    }
    out[x] = v;
    if (ws) outWeight[x] = m;
  };
  // Away from the row's ends no tap needs clamping: the same sums, without the tests.
  const int inner = std::min(cwd, (w - 3) / 2 + 1);
  if (ws || inner <= 1) {
    for (int x = 0; x < cwd; ++x) edgePixel(x);
    return;
  }
  edgePixel(0);
  for (int x = 1; x < inner; ++x) {
    const float* p = src + 2 * x - 1;
    float v = 0.0f;
    v += kTaps[0] * p[0];
    v += kTaps[1] * p[1];
    v += kTaps[2] * p[2];
    v += kTaps[3] * p[3];
    out[x] = v;
  }
  for (int x = inner; x < cwd; ++x) edgePixel(x);
}

// Every output row is made alone, so row bands run through parallel give the same bytes.
// rowOf(y, scratch) gives the fine level's row y, in scratch (w floats) or elsewhere. Each
// band keeps the four fine rows its next output row reads, halved across, in a ring (a fine
// row y in slot y % 4): consecutive output rows share two, and nothing the size of the level
// is written between the two directions.
template <class RowOf>
void reduceLevel(const RowOf& rowOf, const std::vector<float>* fw, int w, int h,
                 std::vector<float>& c, std::vector<float>* cw, const ParallelFor& parallel) {
  const int cwd = w / 2, cht = h / 2;
  c.assign(static_cast<size_t>(cwd) * cht, 0.0f);
  if (cw) cw->assign(c.size(), 0.0f);
  inRowBands(cht, parallel, [&](int firstRow, int lastRow) {
    std::vector<float> scratch(static_cast<size_t>(w));
    std::vector<float> ring(static_cast<size_t>(cwd) * 4), ringWeight(cw ? ring.size() : 0);
    int held[4] = {-1, -1, -1, -1};
    const auto across = [&](int fy, const float*& row, const float*& weight) {
      const int slot = fy & 3;
      float* out = ring.data() + static_cast<size_t>(slot) * cwd;
      float* outWeight = cw ? ringWeight.data() + static_cast<size_t>(slot) * cwd : nullptr;
      if (held[slot] != fy) {
        reduceAcross(rowOf(fy, scratch.data()),
                     cw ? fw->data() + static_cast<size_t>(fy) * w : nullptr, w, out, outWeight);
        held[slot] = fy;
      }
      row = out;
      weight = outWeight;
    };
    for (int y = firstRow; y < lastRow; ++y) {
      const float* src[4];
      const float* srcWeight[4];
      for (int t = 0; t < 4; ++t) across(std::clamp(2 * y - 1 + t, 0, h - 1), src[t], srcWeight[t]);
      float* out = c.data() + static_cast<size_t>(y) * cwd;
      // The four taps summed in their order (from 0, as a running sum would be).
      for (int x = 0; x < cwd; ++x) {
        float v = kTaps[0] * src[0][x];
        v += kTaps[1] * src[1][x];
        v += kTaps[2] * src[2][x];
        v += kTaps[3] * src[3][x];
        out[x] = v;
      }
      if (cw) {
        float* o = cw->data() + static_cast<size_t>(y) * cwd;
        for (int x = 0; x < cwd; ++x)
          o[x] = std::min(
              std::min(std::min(std::min(1.0f, srcWeight[0][x]), srcWeight[1][x]), srcWeight[2][x]),
              srcWeight[3][x]);
      }
    }
  });
}

void lumaRow(const uint8_t* rgba, int width, float* out) {
  for (int x = 0; x < width; ++x)
    out[x] = 0.299f * rgba[x * 4] + 0.587f * rgba[x * 4 + 1] + 0.114f * rgba[x * 4 + 2];
}

std::vector<float> lumaPlane(const uint8_t* rgba, int width, int height,
                             const ParallelFor& parallel) {
  std::vector<float> l(static_cast<size_t>(width) * height);
  inRowBands(height, parallel, [&](int firstRow, int lastRow) {
    for (int y = firstRow; y < lastRow; ++y)
      lumaRow(rgba + static_cast<size_t>(y) * width * 4, width,
              l.data() + static_cast<size_t>(y) * width);
  });
  return l;
}

bool reducesFurther(const MotionLevel& l) { return l.width > kSearchWidth && l.height >= 16; }

// The levels below the last of levels, to kSearchWidth.
void addCoarserLevels(std::vector<MotionLevel>& levels, bool weighted,
                      const ParallelFor& parallel) {
  while (reducesFurther(levels.back())) {
    const MotionLevel& f = levels.back();
    MotionLevel c;
    c.width = f.width / 2;
    c.height = f.height / 2;
    const auto rowOf = [&f](int y, float*) {
      return f.luma.data() + static_cast<size_t>(y) * f.width;
    };
    reduceLevel(rowOf, weighted ? &f.weight : nullptr, f.width, f.height, c.luma,
                weighted ? &c.weight : nullptr, parallel);
    levels.push_back(std::move(c));
  }
}

// Levels 0.. of a pyramid, finest first, stopping at kSearchWidth.
void buildPyramid(std::vector<float> base, const std::vector<float>* baseWeight, int w, int h,
                  std::vector<MotionLevel>& levels, const ParallelFor& parallel) {
  levels.clear();
  MotionLevel l0;
  l0.width = w;
  l0.height = h;
  l0.luma = std::move(base);
  if (baseWeight) l0.weight = *baseWeight;
  levels.push_back(std::move(l0));
  addCoarserLevels(levels, baseWeight != nullptr, parallel);
}

// The current frame's pyramid. When its own level is not worked on (withLevel0 false), that
// level keeps its size alone and the next is reduced from the frame's luma a row at a time:
// the same values, without a whole frame of floats written and read back.
void framePyramid(const uint8_t* rgba, int w, int h, bool withLevel0,
                  std::vector<MotionLevel>& levels, const ParallelFor& parallel) {
  MotionLevel l0;
  l0.width = w;
  l0.height = h;
  if (withLevel0 || !reducesFurther(l0)) {
    buildPyramid(lumaPlane(rgba, w, h, parallel), nullptr, w, h, levels, parallel);
    return;
  }
  levels.clear();
  levels.push_back(l0);
  MotionLevel l1;
  l1.width = w / 2;
  l1.height = h / 2;
  const auto rowOf = [rgba, w](int y, float* scratch) {
    lumaRow(rgba + static_cast<size_t>(y) * w * 4, w, scratch);
    return static_cast<const float*>(scratch);
  };
  reduceLevel(rowOf, nullptr, w, h, l1.luma, nullptr, parallel);
  levels.push_back(std::move(l1));
  addCoarserLevels(levels, false, parallel);
}

// The finest level the refinement works on: the first at most kFinestWidth wide.
int finestLevel(const std::vector<MotionLevel>& levels) {
  const int top = static_cast<int>(levels.size()) - 1;
  int finest = 0;
  while (finest < top && levels[finest].width > kFinestWidth) ++finest;
  return finest;
}

struct Step {
  double tx, ty, s;
  double stderrT;  // standard error of the translation, level pixels
  bool ok;
};

// Median of the counted residuals, to within half a bin.
double medianOf(const std::vector<uint32_t>& bins, uint64_t total) {
  uint64_t seen = 0;
  for (size_t b = 0; b < bins.size(); ++b) {
    seen += bins[b];
    if (seen > total / 2) return (static_cast<double>(b) + 0.5) / kResidualBinsPerLevel;
  }
  return 0.0;
}

// The refinement's samples of a reference level: the most detailed pixels off the footprint,
// as many as hold half the level's gradient energy. A flat pixel tells the move little and
// costs as much as any; on a rich texture a fifth of the pixels or fewer qualify. A pixel is
// ranked by the energy of its 3x3 neighbourhood, not its own, which carries its own noise.
// Where the energy is spread so evenly that more than kMostKept of the pixels would be
// needed, it is mostly noise (a faint backdrop), and picking the pixels whose noise happens
// to be large would bias the move toward none: every pixel is read then, a large level on a
// checkerboard (the move's error about 1.4 times larger, still hundredths of a pixel, at half
// the cost).
void sampleLevel(MotionLevel& l, MotionSamples which) {
  const int w = l.width, h = l.height;
  l.sampleX.clear();
  l.sampleLuma.clear();
  l.sampleGx.clear();
  l.sampleGy.clear();
  l.rowStart.assign(static_cast<size_t>(h) + 1, 0);
  if (w < 3 || h < 3) return;
  std::vector<float> energy(static_cast<size_t>(w) * h, 0.0f);
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      // A gradient that reaches into the footprint reads the fill, not the backdrop.
      const float* m = l.weight.data() + i;
      if (m[0] <= 0.0f || m[1] <= 0.0f || m[-1] <= 0.0f || m[w] <= 0.0f || m[-w] <= 0.0f) continue;
      const float* p = l.luma.data() + i;
      const float gx = 0.5f * (p[1] - p[-1]), gy = 0.5f * (p[w] - p[-w]);
      energy[i] = gx * gx + gy * gy;
    }
  const auto detail = [&](int x, int y) {
    float sum = 0.0f;
    for (int dy = -1; dy <= 1; ++dy) {
      const float* e = energy.data() + static_cast<size_t>(y + dy) * w + x;
      sum += e[-1] + e[0] + e[1];
    }
    return sum;
  };
  std::vector<float> score(static_cast<size_t>(w) * h, -1.0f);
  float most = 0.0f;
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      if (l.weight[i] <= 0.0f) continue;
      score[i] = detail(x, y);
      most = std::max(most, score[i]);
    }
  // The cut from a histogram of the scores' square roots, taken from the top until half the
  // energy is in: a bin is kept or left whole, so the cut is exact to the bin.
  constexpr int kBins = 1024;
  std::vector<double> binEnergy(kBins, 0.0);
  const float scale = most > 0.0f ? (kBins - 1) / std::sqrt(most) : 0.0f;
  const auto binOf = [&](float v) {
    return std::min(kBins - 1, static_cast<int>(std::sqrt(v) * scale));
  };
  std::vector<size_t> binCount(kBins, 0);
  double total = 0.0, candidates = 0.0;
  for (float v : score)
    if (v >= 0.0f) {
      binEnergy[binOf(v)] += v;
      binCount[binOf(v)] += 1;
      total += v;
      candidates += 1.0;
    }
  int cut = kBins - 1;
  size_t kept = binCount[cut];
  for (double energyKept = binEnergy[cut]; cut > 0 && energyKept < kKeptDetail * total;) {
    energyKept += binEnergy[--cut];
    kept += binCount[cut];
  }
  bool checkerboard = false;
  if (which == MotionSamples::Every || static_cast<double>(kept) > kMostKept * candidates) {
    cut = 0;
    checkerboard = which != MotionSamples::Every && static_cast<int64_t>(w) * h > kMostSamples;
  }
  for (int y = 0; y < h; ++y) {
    l.rowStart[y] = static_cast<uint32_t>(l.sampleX.size());
    for (int x = 1; x < w - 1; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      if (score[i] < 0.0f || binOf(score[i]) < cut || (checkerboard && ((x + y) & 1) != 0))
        continue;
      const float* p = l.luma.data() + i;
      l.sampleX.push_back(x);
      l.sampleLuma.push_back(p[0]);
      l.sampleGx.push_back(0.5f * (p[1] - p[-1]));
      l.sampleGy.push_back(0.5f * (p[w] - p[-w]));
    }
  }
  l.rowStart[h] = static_cast<uint32_t>(l.sampleX.size());
}

// One robust Gauss-Newton step at a level. Parameters map a reference point p to
// c + s (p - c) + t in the current level. Each row band of a pass (through parallel when
// given) sums its samples in four lanes in a fixed order; the bands are numbered by the
// level's height alone and added in their order, so the sums are the same to the bit
// whatever the threads.
Step refine(const MotionLevel& ref, const MotionLevel& cur, double tx, double ty, double s,
            bool withScale, int iterations, const ParallelFor& parallel) {
  const double cx = (ref.width - 1) * 0.5, cy = (ref.height - 1) * 0.5;
  double stderrT = 1e9;
  bool ok = false;
  std::vector<uint32_t> residuals(kResidualBins);
  uint64_t measured = 0;
  std::vector<RefinementSums> bands(static_cast<size_t>(rowBandCount(ref.height)));
  // The first pass only measures the residuals' spread, so that even the first step is
  // robust: a walking subject on a plain backdrop must not pull it. The first step's pass
  // is at the same move: it reads the residuals the first pass kept instead of
  // interpolating them again, and their spread is the one measured.
  double sigma = -1.0;
  std::vector<float> residualsAtStart(ref.sampleX.size());
  // How far off the move may still be, in this level's pixels: a pixel at the start (the
  // coarser level's answer, doubled), then twice the last step.
  double slack = 1.0;
  for (int it = -1; it < iterations; ++it) {
    // Tukey's biweight drops what moved on its own (a walking subject, a light change).
    const double c = sigma > 0.0 ? 4.685 * sigma : 1e30;
    // The opening pass measures the residuals' spread, keeps them, and sums nothing.
    const bool opening = it < 0;
    RefinementPass pass;
    // Reference point p lands on ox + s p in the current level.
    pass.ox = cx - s * cx + tx;
    pass.oy = cy - s * cy + ty;
    pass.s = s;
    pass.cx = cx;
    pass.cy = cy;
    pass.cut = c;
    pass.slack = slack;
    pass.sigma = sigma;
    pass.measure = opening;
    pass.spreadOnly = opening;
    pass.scaled = withScale;
    if (opening) pass.keepResiduals = residualsAtStart.data();
    if (it == 0) pass.keptResiduals = residualsAtStart.data();
    inNumberedRowBands(ref.height, parallel, [&](int band, int firstRow, int lastRow) {
      refinementSums(ref, cur, pass, firstRow, lastRow, bands[static_cast<size_t>(band)]);
    });
    double H[3][3] = {{0}}, g[3] = {0};
    double sumR2 = 0.0, count = 0.0;
    for (const RefinementSums& sums : bands) {
      for (int a = 0; a < 3; ++a) {
        g[a] += sums.g[a];
        for (int b = 0; b < 3; ++b) H[a][b] += sums.H[a][b];
      }
      sumR2 += sums.sumR2;
      count += sums.count;
      if (opening)
        for (int b = 0; b < kResidualBins; ++b) {
          residuals[b] += sums.residuals[b];
          measured += sums.residuals[b];
        }
    }
    if (opening) {
      if (measured < 64) break;
      // Robust scale of the residuals from their median.
      sigma = std::max(1.4826 * medianOf(residuals, measured), kLeastSpread);
      continue;
    }
    if (count < 64) break;
    double d[3] = {0, 0, 0};
    if (withScale) {
      // Cramer's rule on the 3x3 normal equations.
      const double det = H[0][0] * (H[1][1] * H[2][2] - H[1][2] * H[2][1]) -
                         H[0][1] * (H[1][0] * H[2][2] - H[1][2] * H[2][0]) +
                         H[0][2] * (H[1][0] * H[2][1] - H[1][1] * H[2][0]);
      if (!(std::fabs(det) > 1e-12)) break;
      for (int k = 0; k < 3; ++k) {
        double M[3][3];
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b) M[a][b] = b == k ? -g[a] : H[a][b];
        d[k] = (M[0][0] * (M[1][1] * M[2][2] - M[1][2] * M[2][1]) -
                M[0][1] * (M[1][0] * M[2][2] - M[1][2] * M[2][0]) +
                M[0][2] * (M[1][0] * M[2][1] - M[1][1] * M[2][0])) /
               det;
      }
    } else {
      const double det = H[0][0] * H[1][1] - H[0][1] * H[1][0];
      if (!(std::fabs(det) > 1e-12)) break;
      d[0] = (-g[0] * H[1][1] + g[1] * H[0][1]) / det;
      d[1] = (-g[1] * H[0][0] + g[0] * H[1][0]) / det;
    }
    // A step in a direction with no texture (a flat backdrop) is noise, not motion.
    const double tr = H[0][0] + H[1][1];
    const double disc =
        std::sqrt(std::max(0.0, (H[0][0] - H[1][1]) * (H[0][0] - H[1][1]) / 4 + H[0][1] * H[0][1]));
    const double lambdaMin = tr / 2 - disc;
    if (!(lambdaMin > 0.05 * count)) {
      ok = false;
      break;
    }
    tx += std::clamp(d[0], -2.0, 2.0);
    ty += std::clamp(d[1], -2.0, 2.0);
    slack = std::clamp(2.0 * std::hypot(d[0], d[1]), kLeastSlack, 1.0);
    s += std::clamp(d[2], -0.02, 0.02);
    const double var = sumR2 / std::max(1.0, count);
    stderrT = std::sqrt(var / lambdaMin);
    ok = true;
    if (std::fabs(d[0]) < 2e-3 && std::fabs(d[1]) < 2e-3 && std::fabs(d[2]) < 1e-6 && it >= 1)
      break;
  }
  return {tx, ty, s, stderrT, ok};
}

}  // namespace

MotionReference prepareMotionReference(const uint8_t* rgba, const std::vector<uint8_t>& footprint,
                                       int width, int height, MotionSamples which) {
  MotionReference ref;
  if (rgba == nullptr || width < 16 || height < 16) return ref;
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<float> weight(n, 1.0f);
  if (footprint.size() == n) {
    // Past the footprint lie the subject's soft edge and what the service painted over:
    // detailed, and still with the subject, so the samples would be drawn to them.
    std::vector<uint8_t> left = footprint;
    const int margin = std::max(3, std::max(width, height) / 240);
    morphH(left, width, height, margin, true);
    morphV(left, width, height, margin, true);
    for (size_t i = 0; i < n; ++i) weight[i] = left[i] ? 0.0f : 1.0f;
  }
  buildPyramid(lumaPlane(rgba, width, height, {}), &weight, width, height, ref.levels, {});
  for (size_t l = static_cast<size_t>(finestLevel(ref.levels)); l < ref.levels.size(); ++l)
    sampleLevel(ref.levels[l], which);
  return ref;
}

CameraMotion estimateCameraMotion(const MotionReference& ref, const uint8_t* rgba, int width,
                                  int height, const ParallelFor& parallel) {
  CameraMotion none;
  if (ref.levels.empty() || rgba == nullptr || ref.levels[0].width != width ||
      ref.levels[0].height != height)
    return none;
  std::vector<MotionLevel> cur;
  // Level 0 of the current frame is only needed when it is the finest working level.
  framePyramid(rgba, width, height, finestLevel(ref.levels) == 0, cur, parallel);
  const int top = static_cast<int>(ref.levels.size()) - 1;
  if (static_cast<int>(cur.size()) - 1 != top) return none;

  // Exhaustive integer search on the smallest level, up to a sixth of its width each way.
  const MotionLevel& rt = ref.levels[top];
  const MotionLevel& ct = cur[top];
  const int radius = std::max(2, rt.width / 6);
  // Every cost is measured alone (in parallel when given); the choice below reads them in
  // the plain order, so the answer does not depend on the threads.
  const int side = 2 * radius + 1;
  std::vector<double> costs(static_cast<size_t>(side) * side);
  std::vector<int> known(static_cast<size_t>(rt.width + 1) * rt.height);
  for (int y = 0; y < rt.height; ++y) {
    int* k = known.data() + static_cast<size_t>(y) * (rt.width + 1);
    const float* weight = rt.weight.data() + static_cast<size_t>(y) * rt.width;
    k[0] = 0;
    for (int x = 0; x < rt.width; ++x) k[x + 1] = k[x] + (weight[x] > 0.0f ? 1 : 0);
  }
  const auto costRow = [&](int row) {
    searchCosts(rt, known, ct, row - radius, radius,
                costs.data() + static_cast<size_t>(row) * side);
  };
  if (parallel) {
    parallel(side, costRow);
  } else {
    for (int row = 0; row < side; ++row) costRow(row);
  }
  double best = costs[static_cast<size_t>(radius) * side + radius];
  int bx = 0, by = 0;
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx) {
      const double cost = costs[static_cast<size_t>(dy + radius) * side + dx + radius];
      // Strictly better by a margin: ties and noise keep the still answer.
      if (cost < best * 0.98) {
        best = cost;
        bx = dx;
        by = dy;
      }
    }

  const int finest = finestLevel(ref.levels);
  double tx = bx, ty = by, s = 1.0;
  Step step{tx, ty, s, 1e9, false};
  const double factor = static_cast<double>(1 << finest);
  const MotionLevel& fl = ref.levels[finest];
  // A scale whose effect at the frame's corner is under a tenth of a pixel is dropped and
  // the translation found without it.
  const double corner = std::hypot(fl.width * 0.5, fl.height * 0.5) * factor;
  bool scaled = true;
  for (int l = top; l >= finest; --l) {
    // The finest level is the costliest: when the coarser levels found a scale worth under
    // a twentieth of a pixel at the corner, it refines the translation alone, once.
    if (l == finest && l < top && std::fabs(s - 1.0) * corner < 0.05) {
      scaled = false;
      s = 1.0;
    }
    step = refine(ref.levels[l], cur[l], tx, ty, s, scaled, l == finest ? 12 : 8, parallel);
    if (!step.ok) return none;
    tx = step.tx;
    ty = step.ty;
    s = step.s;
    if (l > finest) {
      tx *= 2.0;
      ty *= 2.0;
    }
  }
  if (scaled && std::fabs(s - 1.0) * corner < 0.1) {
    step = refine(fl, cur[finest], tx, ty, 1.0, false, 12, parallel);
    if (!step.ok) return none;
    tx = step.tx;
    ty = step.ty;
    s = 1.0;
  }
  CameraMotion m;
  m.scale = s;
  m.dx = tx * factor;
  m.dy = ty * factor;
  // Still camera: a move within a few standard errors (and under a twentieth of a pixel)
  // is the noise's, and reads as none.
  const double deadZone = std::max(0.05, 4.0 * step.stderrT * factor);
  if (s == 1.0 && std::hypot(m.dx, m.dy) < deadZone) return none;
  return m;
}
