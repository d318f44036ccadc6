// Clean plates: the subject's footprint, read from where the returned image still equals
// the grabbed frame, is filled from the background around it, so that neither the new
// background nor the estimate of the original backdrop carries any trace of the subject.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "imaging/imaging.h"
#include "stb_image_resize2.h"

namespace {

// One level of the fill pyramid: premultiplied colour sums and their weight.
struct Level {
  int width = 0, height = 0;
  std::vector<float> rgb;     // 3 per pixel, colour times weight
  std::vector<float> weight;  // 0..1
};

// Halves a level with a 2x2 box; an odd last row or column is folded into the previous.
Level reduce(const Level& f) {
  Level c;
  c.width = std::max(1, f.width / 2);
  c.height = std::max(1, f.height / 2);
  c.rgb.assign(static_cast<size_t>(c.width) * c.height * 3, 0.0f);
  c.weight.assign(static_cast<size_t>(c.width) * c.height, 0.0f);
  std::vector<float> count(c.weight.size(), 0.0f);
  for (int y = 0; y < f.height; ++y) {
    const int cy = std::min(y / 2, c.height - 1);
    for (int x = 0; x < f.width; ++x) {
      const int cx = std::min(x / 2, c.width - 1);
      const size_t i = static_cast<size_t>(y) * f.width + x;
      const size_t j = static_cast<size_t>(cy) * c.width + cx;
      c.weight[j] += f.weight[i];
      count[j] += 1.0f;
      for (int k = 0; k < 3; ++k) c.rgb[j * 3 + k] += f.rgb[i * 3 + k];
    }
  }
  // Colours stay premultiplied by the summed weight; the weight itself becomes a share
  // (capped at 1) so that a half-known block is trusted half.
  for (size_t j = 0; j < c.weight.size(); ++j) {
    const float w = c.weight[j];
    if (w > 0.0f) {
      const float s = std::min(1.0f, w / count[j] * 4.0f) / w;
      for (int k = 0; k < 3; ++k) c.rgb[j * 3 + k] *= s;
      c.weight[j] = std::min(1.0f, w / count[j] * 4.0f);
    }
  }
  return c;
}

// Bilinear read of a coarse level at the centre of fine pixel (x, y), clamped at the border.
void sampleCoarse(const Level& c, int fineW, int fineH, int x, int y, float out[4]) {
  const float fx = (x + 0.5f) * c.width / fineW - 0.5f;
  const float fy = (y + 0.5f) * c.height / fineH - 0.5f;
  const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
  const float ax = fx - x0, ay = fy - y0;
  for (int k = 0; k < 4; ++k) out[k] = 0.0f;
  for (int j = 0; j < 2; ++j)
    for (int i = 0; i < 2; ++i) {
      const int sx = std::clamp(x0 + i, 0, c.width - 1);
      const int sy = std::clamp(y0 + j, 0, c.height - 1);
      const float w = (i ? ax : 1.0f - ax) * (j ? ay : 1.0f - ay);
      const size_t p = static_cast<size_t>(sy) * c.width + sx;
      for (int k = 0; k < 3; ++k) out[k] += w * c.rgb[p * 3 + k];
      out[3] += w * c.weight[p];
    }
}

// Fills each level's missing weight from the filled level above it (push-pull).
void pull(std::vector<Level>& pyramid) {
  for (size_t l = pyramid.size() - 1; l-- > 0;) {
    Level& f = pyramid[l];
    const Level& c = pyramid[l + 1];
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x) {
        const size_t i = static_cast<size_t>(y) * f.width + x;
        const float w = f.weight[i];
        if (w >= 1.0f) continue;
        float up[4];
        sampleCoarse(c, f.width, f.height, x, y, up);
        if (up[3] <= 0.0f) continue;
        const float share = (1.0f - w) / up[3];
        for (int k = 0; k < 3; ++k) f.rgb[i * 3 + k] += share * up[k];
        f.weight[i] = 1.0f;
      }
  }
}

// The push-pull fill is blocky at the scale of its coarse levels; a few sweeps of the
// membrane equation (each hole pixel the mean of its four neighbours) smooth it into the
// surrounding background, which on a smooth backdrop is close to the truth.
void relax(std::vector<float>& colour, const std::vector<uint32_t>& inside, int width, int height) {
  constexpr int kSweeps = 20;
  constexpr float kOver = 1.8f;  // successive over-relaxation converges in far fewer sweeps
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    for (const uint32_t i : inside) {
      const int x = static_cast<int>(i % static_cast<uint32_t>(width));
      const int y = static_cast<int>(i / static_cast<uint32_t>(width));
      const size_t l = x > 0 ? i - 1 : i + 1, r = x + 1 < width ? i + 1 : i - 1;
      const size_t u = y > 0 ? i - width : i + width, d = y + 1 < height ? i + width : i - width;
      for (int k = 0; k < 3; ++k) {
        float* c = &colour[i * 3 + k];
        const float mean =
            0.25f * (colour[l * 3 + k] + colour[r * 3 + k] + colour[u * 3 + k] + colour[d * 3 + k]);
        *c += kOver * (mean - *c);
      }
    }
  }
}

// Replaces the colour (3 per pixel) under the hole by a push-pull fill of the rest,
// relaxed into its surroundings; `inside` lists the hole's pixels, and some pixel is known.
void smoothFill(std::vector<float>& colour, const std::vector<uint8_t>& hole,
                const std::vector<uint32_t>& inside, int width, int height) {
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<Level> pyramid(1);
  Level& base = pyramid[0];
  base.width = width;
  base.height = height;
  base.rgb.resize(n * 3);
  base.weight.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const float w = hole[i] ? 0.0f : 1.0f;
    base.weight[i] = w;
    for (int k = 0; k < 3; ++k) base.rgb[i * 3 + k] = w * colour[i * 3 + k];
  }
  while (pyramid.back().width > 1 || pyramid.back().height > 1) {
    pyramid.push_back(reduce(pyramid.back()));
  }
  pull(pyramid);
  const Level& filled = pyramid[0];  // the pyramid grew: base no longer refers to it
  for (const uint32_t i : inside) {
    const float w = filled.weight[i];
    for (int k = 0; k < 3; ++k) colour[i * 3 + k] = w > 0.0f ? filled.rgb[i * 3 + k] / w : 0.0f;
  }
  relax(colour, inside, width, height);
}

// A backdrop that repeats (the windows of a facade, tiles, a horizon running across the
// frame) is something the smooth fill cannot know but the background around the hole shows.
// Its fine detail (the image less a local mean) is compared with itself shifted; a shift
// under which the detail around the hole matches itself closely is a step of the repeat,
// and the hole takes its smooth fill plus the detail found a whole number of steps away.
struct Repeat {
  int dx = 0, dy = 0;
  bool found = false;
};

// The mean of the known pixels in a (2r+1)^2 box, per channel; sums run along rows, then
// down columns, so the cost does not grow with the radius. Whole-number sums are exact.
std::vector<float> knownMean(const std::vector<uint8_t>& rgba, const std::vector<uint8_t>& hole,
                             int width, int height, int r) {
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<int32_t> across(n * 4, 0), values(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    const size_t row = static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const size_t i = row + x;
      const int32_t known = hole[i] ? 0 : 1;
      for (int k = 0; k < 3; ++k) values[x * 4 + k] = known * rgba[i * 4 + k];
      values[x * 4 + 3] = known;
    }
    int32_t run[4] = {0, 0, 0, 0};
    int32_t* out = &across[row * 4];
    for (int x = -r; x < width; ++x) {
      if (x + r < width)
        for (int k = 0; k < 4; ++k) run[k] += values[(x + r) * 4 + k];
      if (x - r - 1 >= 0)
        for (int k = 0; k < 4; ++k) run[k] -= values[(x - r - 1) * 4 + k];
      if (x >= 0)
        for (int k = 0; k < 4; ++k) out[x * 4 + k] = run[k];
    }
  }
  std::vector<float> mean(n * 3, 0.0f);
  std::vector<int32_t> run(static_cast<size_t>(width) * 4, 0);
  for (int y = -r; y < height; ++y) {
    if (y + r < height) {
      const int32_t* add = &across[static_cast<size_t>(y + r) * width * 4];
      for (size_t j = 0; j < run.size(); ++j) run[j] += add[j];
    }
    if (y - r - 1 >= 0) {
      const int32_t* drop = &across[static_cast<size_t>(y - r - 1) * width * 4];
      for (size_t j = 0; j < run.size(); ++j) run[j] -= drop[j];
    }
    if (y < 0) continue;
    for (int x = 0; x < width; ++x) {
      const int32_t w = run[static_cast<size_t>(x) * 4 + 3];
      if (w == 0) continue;
      const float inv = 1.0f / static_cast<float>(w);
      const size_t i = static_cast<size_t>(y) * width + x;
      for (int k = 0; k < 3; ++k)
        mean[i * 3 + k] = static_cast<float>(run[static_cast<size_t>(x) * 4 + k]) * inv;
    }
  }
  return mean;
}

Repeat findRepeat(const std::vector<float>& detailLuma, const std::vector<uint8_t>& hole, int width,
                  int height, int minStep) {
  Repeat best;
  const size_t n = static_cast<size_t>(width) * height;
  // The detail that matters is the one next to the hole.
  std::vector<uint8_t> near = hole;
  const int ring = std::max(8, std::max(width, height) / 60);
  morphH(near, width, height, ring, true);
  morphV(near, width, height, ring, true);
  struct Sample {
    int x, y;
    float detail;
  };
  std::vector<Sample> samples;
  for (size_t i = 0; i < n; ++i)
    if (near[i] && !hole[i])
      samples.push_back({static_cast<int>(i % static_cast<size_t>(width)),
                         static_cast<int>(i / static_cast<size_t>(width)), detailLuma[i]});
  constexpr size_t kMaxSamples = 4096;
  if (samples.size() > kMaxSamples) {
    const size_t stride = (samples.size() + kMaxSamples - 1) / kMaxSamples;
    size_t kept = 0;
    for (size_t j = 0; j < samples.size(); j += stride) samples[kept++] = samples[j];
    samples.resize(kept);
  }
  if (samples.size() < 64) return best;
  double energy = 0;
  for (const Sample& s : samples) energy += s.detail * s.detail;
  energy /= static_cast<double>(samples.size());
  if (energy < 4.0) return best;  // no detail worth carrying
  // The share of unrelated detail's mismatch left under a shift, over every `every`-th sample.
  const auto score = [&](int dx, int dy, size_t every) {
    double sum = 0;
    size_t count = 0, tried = 0;
    for (size_t k = 0; k < samples.size(); k += every, ++tried) {
      const int x = samples[k].x + dx, y = samples[k].y + dy;
      if (x < 0 || y < 0 || x >= width || y >= height) continue;
      const size_t j = static_cast<size_t>(y) * width + x;
      if (hole[j]) continue;
      const float e = samples[k].detail - detailLuma[j];
      sum += e * e;
      ++count;
    }
    // Too few overlapping samples say nothing.
    return count * 2 >= tried ? sum / (2.0 * energy * static_cast<double>(count)) : 2.0;
  };
  // A coarse look over the shifts with a quarter of the samples; the few best are scored
  // again on all of them, and the best of those refined to the pixel.
  const int reach = std::max(minStep * 2, std::max(width, height) / 10);
  const int grid = std::max(1, reach / 48);
  struct Candidate {
    double score;
    int dx, dy;
  };
  std::vector<Candidate> coarse;
  // Half the plane: a shift and its opposite match equally.
  for (int dy = 0; dy <= reach; dy += grid)
    for (int dx = -reach; dx <= reach; dx += grid) {
      if (std::max(std::abs(dx), dy) < minStep || (dy == 0 && dx < 0)) continue;
      coarse.push_back({score(dx, dy, 4), dx, dy});
    }
  const size_t keep = std::min<size_t>(8, coarse.size());
  std::partial_sort(coarse.begin(), coarse.begin() + keep, coarse.end(),
                    [](const Candidate& a, const Candidate& b) { return a.score < b.score; });
  double lowest = 2.0;
  int bx = 0, by = 0;
  for (size_t c = 0; c < keep; ++c) {
    const double s = score(coarse[c].dx, coarse[c].dy, 1);
    if (s < lowest) lowest = s, bx = coarse[c].dx, by = coarse[c].dy;
  }
  if (grid > 1) {
    const int cx = bx, cy = by;
    for (int dy = cy - grid + 1; dy < cy + grid; ++dy)
      for (int dx = cx - grid + 1; dx < cx + grid; ++dx) {
        if (std::max(std::abs(dx), std::abs(dy)) < minStep) continue;
        const double s = score(dx, dy, 1);
        if (s < lowest) lowest = s, bx = dx, by = dy;
      }
  }
  // The detail must match itself far better than unrelated detail would (a ratio of 1).
  constexpr double kRepeats = 0.25;
  if (lowest < kRepeats) best = {bx, by, true};
  return best;
}

// Copies into the hole the background found a whole number of repeat steps away, either
// way; a pixel with no such source keeps its smooth fill. Sources keep clear of the hole's
// rim, where a trace of the subject's edge may remain.
void carryRepeat(std::vector<float>& colour, const std::vector<uint8_t>& rgba,
                 const std::vector<uint8_t>& hole, const std::vector<uint32_t>& inside, int width,
                 int height) {
  const int r = std::max(4, std::max(width, height) / 120);
  const std::vector<float> mean = knownMean(rgba, hole, width, height, r);
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<float> detail(n, 0.0f);
  for (size_t i = 0; i < n; ++i)
    if (!hole[i])
      detail[i] = 0.299f * (rgba[i * 4] - mean[i * 3]) +
                  0.587f * (rgba[i * 4 + 1] - mean[i * 3 + 1]) +
                  0.114f * (rgba[i * 4 + 2] - mean[i * 3 + 2]);
  const Repeat step = findRepeat(detail, hole, width, height, r);
  if (!step.found) return;
  // A step well past the detail's scale is a true repeat (windows, tiles) and is copied as
  // it is from the nearer side. A short one is a structure running along it (a horizon,
  // streaks on water) over a level that drifts (the glow of a sunset): the nearer side
  // brings the structure, and the level under it (the mean over a step) is interpolated
  // between the two sides along the step.
  const int reach = std::max(std::abs(step.dx), std::abs(step.dy));
  const bool repeats = reach > 2 * r;
  const std::vector<float> local =
      repeats ? std::vector<float>() : knownMean(rgba, hole, width, height, reach);
  std::vector<uint8_t> rim = hole;
  morphH(rim, width, height, 2, true);
  morphV(rim, width, height, 2, true);
  for (const uint32_t i : inside) {
    const int x = static_cast<int>(i % static_cast<uint32_t>(width));
    const int y = static_cast<int>(i / static_cast<uint32_t>(width));
    size_t source[2] = {0, 0};
    int steps[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
      const int sign = side == 0 ? 1 : -1;
      int sx = x, sy = y, k = 0;
      do {
        sx += sign * step.dx;
        sy += sign * step.dy;
        ++k;
      } while (sx >= 0 && sy >= 0 && sx < width && sy < height &&
               rim[static_cast<size_t>(sy) * width + sx]);
      if (sx < 0 || sy < 0 || sx >= width || sy >= height) continue;
      source[side] = static_cast<size_t>(sy) * width + sx;
      steps[side] = k;
    }
    if (steps[0] == 0 && steps[1] == 0) continue;  // the smooth fill stays
    const int nearer = steps[1] == 0 || (steps[0] != 0 && steps[0] <= steps[1]) ? 0 : 1;
    const size_t j = source[nearer];
    for (int c = 0; c < 3; ++c) colour[i * 3 + c] = rgba[j * 4 + c];
    if (repeats || steps[0] == 0 || steps[1] == 0) continue;
    const float toFar = static_cast<float>(steps[1 - nearer]) / (steps[0] + steps[1]);
    for (int c = 0; c < 3; ++c)
      colour[i * 3 + c] += (1.0f - toFar) * (local[source[1 - nearer] * 3 + c] - local[j * 3 + c]);
  }
}

constexpr size_t kMaxStrayPercent = 8;

void addStrays(std::vector<uint8_t>& footprint, const uint8_t* grabbed,
               const std::vector<uint8_t>& backdrop, int width, int height, int threshold) {
  const size_t n = static_cast<size_t>(width) * height;
  const int ring = std::max(8, std::max(width, height) / 50);
  std::vector<uint8_t> wide = footprint;
  morphH(wide, width, height, ring, true);
  morphV(wide, width, height, ring, true);
  std::vector<uint8_t> predicted = backdrop;
  fillPlate(predicted, wide, width, height);
  std::vector<uint8_t> strays(n, 0);
  size_t inRing = 0, departed = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!wide[i] || footprint[i]) continue;
    const uint8_t* g = grabbed + i * 4;
    const uint8_t* q = predicted.data() + i * 4;
    const int d = std::max({std::abs(g[0] - q[0]), std::abs(g[1] - q[1]), std::abs(g[2] - q[2])});
    strays[i] = d > threshold ? 255 : 0;
    ++inRing;
    departed += strays[i] != 0;
  }
  predicted = {};
  if (departed * 100 > inRing * kMaxStrayPercent) return;
  morphH(strays, width, height, 1, true);
  morphV(strays, width, height, 1, true);
  for (size_t i = 0; i < n; ++i) footprint[i] = std::max(footprint[i], strays[i]);
}

}  // namespace

std::vector<uint8_t> subjectFootprint(const uint8_t* returned, const uint8_t* grabbed, int width,
                                      int height, int threshold, int grow) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<uint8_t> fp(n, 0);
  if (returned == nullptr || grabbed == nullptr) return fp;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* r = returned + i * 4;
    const uint8_t* g = grabbed + i * 4;
    const int d = std::max({std::abs(r[0] - g[0]), std::abs(r[1] - g[1]), std::abs(r[2] - g[2])});
    fp[i] = d <= threshold ? 255 : 0;
  }
  // Lone agreeing pixels are chance matches of two backdrops, not subject: an opening
  // removes them before the footprint grows over the subject's soft edge. Thin strands
  // the service kept (hair) fall to the opening too; those joined to what remains are
  // taken back, or they would stay in the plate as traces of the subject.
  const std::vector<uint8_t> agree = fp;
  morphH(fp, width, height, 1, false);
  morphV(fp, width, height, 1, false);
  fp = joinedTo(fp, agree, width, height);
  if (grow < 0) return fp;
  morphH(fp, width, height, 1 + grow, true);
  morphV(fp, width, height, 1 + grow, true);
  return fp;
}

void fillPlate(std::vector<uint8_t>& rgba, const std::vector<uint8_t>& hole, int width,
               int height) {
  if (width <= 0 || height <= 0) return;
  const size_t n = static_cast<size_t>(width) * height;
  if (rgba.size() != n * 4 || hole.size() != n) return;
  std::vector<float> colour(n * 3);
  std::vector<uint32_t> inside;
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) colour[i * 3 + k] = rgba[i * 4 + k];
    if (hole[i]) inside.push_back(static_cast<uint32_t>(i));
  }
  // Nothing missing, or nothing to fill from: the image stays as it is.
  if (inside.empty() || inside.size() == n) return;
  smoothFill(colour, hole, inside, width, height);
  carryRepeat(colour, rgba, hole, inside, width, height);
  for (const uint32_t i : inside) {
    for (int k = 0; k < 3; ++k)
      rgba[i * 4 + k] = static_cast<uint8_t>(std::clamp(colour[i * 3 + k] + 0.5f, 0.0f, 255.0f));
    rgba[i * 4 + 3] = 255;
  }
}

Plates buildPlates(const uint8_t* returned, int returnedWidth, int returnedHeight,
                   const uint8_t* grabbed, int width, int height, int threshold) {
  Plates p;
  if (returned == nullptr || grabbed == nullptr || width <= 0 || height <= 0 ||
      returnedWidth <= 0 || returnedHeight <= 0)
    return p;
  const size_t n = static_cast<size_t>(width) * height;
  p.width = width;
  p.height = height;
  p.background.assign(returned, returned + static_cast<size_t>(returnedWidth) * returnedHeight * 4);
  if (returnedWidth != width || returnedHeight != height) {
    std::vector<uint8_t> resized(n * 4, 0);
    stbir_resize_uint8_srgb(returned, returnedWidth, returnedHeight, returnedWidth * 4,
                            resized.data(), width, height, width * 4, STBIR_RGBA);
    p.background.swap(resized);
  }
  p.backdrop.assign(grabbed, grabbed + n * 4);
  // The service may blend its background into the subject's edge a few pixels past where
  // the two images agree; the margin follows the frame's size. The grabbed frame there is
  // backdrop as filmed, better than any fill, so the backdrop's footprint keeps to the
  // subject itself.
  const int grow = std::max(3, std::max(width, height) / 240);
  p.kept = subjectFootprint(p.background.data(), grabbed, width, height, threshold, -1);
  std::vector<uint8_t> kept = p.kept;
  morphH(kept, width, height, 2, true);
  morphV(kept, width, height, 2, true);
  std::vector<uint8_t> painted = kept;
  morphH(painted, width, height, grow - 1, true);
  morphV(painted, width, height, grow - 1, true);
  fillPlate(p.background, painted, width, height);
  painted = {};
  p.footprint = kept;
  // What the service painted over (fine strands of hair, a faint shadow) is still in the
  // grabbed frame around the footprint. A wide ring is predicted from outside it, and the
  // pixels of the ring that depart from the prediction join the footprint, unless so many
  // depart that the backdrop is a texture the prediction cannot follow.
  addStrays(p.footprint, grabbed, p.backdrop, width, height, threshold);
  fillPlate(p.backdrop, p.footprint, width, height);
  for (size_t i = 0; i < n; ++i) {
    p.background[i * 4 + 3] = 255;
    p.backdrop[i * 4 + 3] = 255;
  }
  return p;
}

bool writePlates(const std::string& grabbedPath, const std::string& backgroundPath,
                 const std::string& plateOut, const std::string& backdropOut, int threshold) {
  // An earlier generation's plates must not outlive a failure to make this one's.
  std::remove(plateOut.c_str());
  std::remove(backdropOut.c_str());
  std::vector<uint8_t> grabbed, background;
  int w = 0, h = 0, bw = 0, bh = 0;
  if (!decodeImageFile(grabbedPath, 4, grabbed, w, h)) return false;
  if (!decodeImageFile(backgroundPath, 4, background, bw, bh)) return false;
  Plates p = buildPlates(background.data(), bw, bh, grabbed.data(), w, h, threshold);
  grabbed = {};
  background = {};
  if (p.background.empty()) return false;
  // The backdrop carries the footprint in its alpha (under 128 where the subject was), which
  // the camera-motion reference leaves out; 0 marks where the returned image kept the
  // subject itself, the key's sign of a subject that has moved away.
  for (size_t i = 0; i < p.footprint.size(); ++i)
    p.backdrop[i * 4 + 3] = p.kept[i] ? 0 : p.footprint[i] ? 64 : 255;
  if (!writePng(plateOut, p.background.data(), w, h, 4)) return false;
  if (writePng(backdropOut, p.backdrop.data(), w, h, 4)) return true;
  std::remove(plateOut.c_str());
  return false;
}
