// Which pixels of an uploaded frame are the subject.
//
// A frame that carries a matte in its alpha is taken at its word. Otherwise the
// subject is whatever differs clearly from the backdrop colour, estimated from the
// frame's border. The key is cleaned without ever eroding the subject's outline:
// every pixel the key calls subject and that survives speck removal is kept
// exactly, and the soft edge is laid outside it.
#include "service/service.h"

#include <algorithm>
#include <cmath>

namespace {

using Mask = std::vector<uint8_t>;  // 0 or 1 per pixel

// 3x3 minimum (erode) or maximum (dilate), separable; pixels outside the frame
// repeat the edge so the frame border neither grows nor eats the subject.
Mask morph3(const Mask& in, int w, int h, bool dilate) {
  Mask tmp(in.size()), out(in.size());
  auto pick = [dilate](uint8_t a, uint8_t b) { return dilate ? std::max(a, b) : std::min(a, b); };
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = &in[size_t(y) * w];
    for (int x = 0; x < w; ++x) {
      uint8_t v = row[x];
      v = pick(v, row[std::max(x - 1, 0)]);
      v = pick(v, row[std::min(x + 1, w - 1)]);
      tmp[size_t(y) * w + x] = v;
    }
  }
  for (int y = 0; y < h; ++y) {
    const uint8_t* up = &tmp[size_t(std::max(y - 1, 0)) * w];
    const uint8_t* mid = &tmp[size_t(y) * w];
    const uint8_t* down = &tmp[size_t(std::min(y + 1, h - 1)) * w];
    for (int x = 0; x < w; ++x) out[size_t(y) * w + x] = pick(pick(up[x], mid[x]), down[x]);
  }
  return out;
}

// Calls visit(pixels) for every connected region of pixels whose mask value is
// `value`; eight neighbours join subject regions, four join background regions,
// the usual pairing that keeps a diagonal line from both cutting and leaking.
template <typename Visit>
void forEachRegion(const Mask& mask, int w, int h, uint8_t value, bool eightWay, Visit visit) {
  std::vector<uint8_t> seen(mask.size(), 0);
  std::vector<int> stack, region;
  for (int start = 0; start < w * h; ++start) {
    if (seen[start] || mask[start] != value) continue;
    region.clear();
    stack.assign(1, start);
    seen[start] = 1;
    while (!stack.empty()) {
      int p = stack.back();
      stack.pop_back();
      region.push_back(p);
      int px = p % w, py = p / w;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          if ((dx == 0 && dy == 0) || (!eightWay && dx != 0 && dy != 0)) continue;
          int nx = px + dx, ny = py + dy;
          if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
          int q = ny * w + nx;
          if (seen[q] || mask[q] != value) continue;
          seen[q] = 1;
          stack.push_back(q);
        }
      }
    }
    visit(region);
  }
}

// Drops subject regions that a 3x3 erosion wipes out entirely (noise, single
// pixels, hairline specks) or that are tiny, and keeps every other region whole:
// an opening by reconstruction, which removes specks without touching outlines.
void removeSpecks(Mask& hard, int w, int h, size_t minArea) {
  Mask core = morph3(hard, w, h, false);
  forEachRegion(hard, w, h, 1, true, [&](const std::vector<int>& region) {
    bool hasCore = false;
    for (int p : region) hasCore = hasCore || core[p];
    if (!hasCore || region.size() < minArea)
      for (int p : region) hard[p] = 0;
  });
}

// Background pockets enclosed by the subject and smaller than maxArea are noise
// in the subject (a highlight that matched the backdrop), not a view through it.
void fillSmallHoles(Mask& hard, int w, int h, size_t maxArea) {
  forEachRegion(hard, w, h, 0, false, [&](const std::vector<int>& region) {
    if (region.size() > maxArea) return;
    for (int p : region) {
      int x = p % w, y = p / w;
      if (x == 0 || y == 0 || x == w - 1 || y == h - 1) return;
    }
    for (int p : region) hard[p] = 1;
  });
}

int colourDistance(const uint8_t* px, Rgb8 c) {
  int dr = px[0] - c.r, dg = px[1] - c.g, db = px[2] - c.b;
  return int(std::sqrt(float(dr * dr + dg * dg + db * db)) + 0.5f);
}

template <typename Visit>
void forEachBorderPixel(int w, int h, Visit visit) {
  int band = std::max(1, std::min(w, h) / 64);
  for (int y = 0; y < h; ++y) {
    bool edgeRow = y < band || y >= h - band;
    for (int x = 0; x < w; ++x)
      if (edgeRow || x < band || x >= w - band) visit(size_t(y) * w + x);
  }
}

uint8_t medianOf(const std::vector<size_t>& histogram, size_t count) {
  size_t seen = 0;
  for (size_t v = 0; v < histogram.size(); ++v) {
    seen += histogram[v];
    if (seen * 2 > count) return uint8_t(v);
  }
  return 0;
}

}  // namespace

bool hasAlphaMatte(const std::vector<uint8_t>& rgba) {
  for (size_t i = 7; i < rgba.size(); i += 4)
    if (rgba[i] != rgba[3]) return true;
  return false;
}

Rgb8 estimateBackdrop(const std::vector<uint8_t>& rgba, int width, int height) {
  std::vector<size_t> hist[3] = {std::vector<size_t>(256), std::vector<size_t>(256),
                                 std::vector<size_t>(256)};
  size_t count = 0;
  forEachBorderPixel(width, height, [&](size_t p) {
    for (int c = 0; c < 3; ++c) hist[c][rgba[p * 4 + c]]++;
    ++count;
  });
  return Rgb8{medianOf(hist[0], count), medianOf(hist[1], count), medianOf(hist[2], count)};
}

std::vector<uint8_t> subjectMatte(const std::vector<uint8_t>& rgba, int width, int height) {
  const int w = width, h = height;
  const size_t n = size_t(w) * size_t(h);
  if (w <= 0 || h <= 0 || rgba.size() != n * 4) return {};
  std::vector<uint8_t> matte(n);
  if (hasAlphaMatte(rgba)) {
    for (size_t i = 0; i < n; ++i) matte[i] = rgba[i * 4 + 3];
    return matte;
  }

  // The threshold adapts to how much the backdrop itself varies along the border
  // (noise, uneven light). The median distance is used because a subject cut by
  // the frame edge puts its own, far-off pixels into the border too.
  Rgb8 backdrop = estimateBackdrop(rgba, w, h);
  std::vector<size_t> spread(443, 0);
  size_t borderCount = 0;
  forEachBorderPixel(w, h, [&](size_t p) {
    spread[colourDistance(&rgba[p * 4], backdrop)]++;
    ++borderCount;
  });
  size_t seen = 0;
  int typical = 0;
  for (int d = 0; d < int(spread.size()); ++d) {
    seen += spread[d];
    if (seen * 2 >= borderCount) {
      typical = d;
      break;
    }
  }
  const int threshold = std::clamp(typical * 4 + 24, 32, 120);

  Mask hard(n);
  for (size_t i = 0; i < n; ++i) hard[i] = colourDistance(&rgba[i * 4], backdrop) > threshold;

  removeSpecks(hard, w, h, std::max<size_t>(4, n / 40000));
  // Closing bridges one-pixel cracks; it only ever adds subject pixels.
  hard = morph3(morph3(hard, w, h, true), w, h, false);
  fillSmallHoles(hard, w, h, std::max<size_t>(16, n / 2000));

  // Soft edge: two rings outside the subject fade the upload into the background.
  Mask ring1 = morph3(hard, w, h, true);
  Mask ring2 = morph3(ring1, w, h, true);
  for (size_t i = 0; i < n; ++i) matte[i] = hard[i] ? 255 : ring1[i] ? 144 : ring2[i] ? 56 : 0;
  return matte;
}

void extendSubjectEdge(std::vector<uint8_t>& rgba, const std::vector<uint8_t>& matte, int width,
                       int height) {
  const int w = width, h = height;
  if (w <= 0 || h <= 0 || matte.size() != size_t(w) * h || rgba.size() != matte.size() * 4) return;
  // Inner rings first, so each ring borrows from colours already settled.
  std::vector<std::vector<int>> byLevel(256);
  for (size_t i = 0; i < matte.size(); ++i)
    if (matte[i] > 0 && matte[i] < 255) byLevel[matte[i]].push_back(int(i));
  for (int level = 254; level > 0; --level) {
    for (int p : byLevel[level]) {
      int px = p % w, py = p / w, sum[3] = {0, 0, 0}, count = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          int nx = px + dx, ny = py + dy;
          if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
          size_t q = size_t(ny) * w + nx;
          if (matte[q] <= level) continue;
          for (int c = 0; c < 3; ++c) sum[c] += rgba[q * 4 + c];
          ++count;
        }
      if (count == 0) continue;
      for (int c = 0; c < 3; ++c) rgba[size_t(p) * 4 + c] = uint8_t((sum[c] + count / 2) / count);
    }
  }
}
