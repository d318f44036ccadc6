// The procedural painter: a prompt becomes a landscape, a sky or a studio backdrop.
//
// The prompt's keywords pick the scene and the light (prompt.cpp); its hash seeds
// every other choice, so one prompt always paints the same picture
// and two prompts almost never do. Lengths are measured in frame heights so the
// picture keeps its composition at any size. This is a reference painter built
// from gradients, value noise and simple shapes, not a generative model.
#include "service/service.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// ---------------------------------------------------------------- colour and noise

struct Rgb {
  float r, g, b;
};

Rgb operator+(Rgb a, Rgb b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Rgb operator*(Rgb a, float k) { return {a.r * k, a.g * k, a.b * k}; }
Rgb mix(Rgb a, Rgb b, float t) { return a * (1.0f - t) + b * t; }

float clamp01(float v) { return std::min(1.0f, std::max(0.0f, v)); }
float smooth(float e0, float e1, float x) {
  float t = clamp01((x - e0) / (e1 - e0));
  return t * t * (3.0f - 2.0f * t);
}

Rgb hex(uint32_t v) {
  return {((v >> 16) & 255) / 255.0f, ((v >> 8) & 255) / 255.0f, (v & 255) / 255.0f};
}

uint32_t hash3(int32_t x, int32_t y, uint32_t seed) {
  uint32_t h = seed * 0x9E3779B9u ^ uint32_t(x) * 0x85EBCA6Bu ^ uint32_t(y) * 0xC2B2AE35u;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

float unit(uint32_t h) { return float(h >> 8) * (1.0f / 16777216.0f); }

float valueNoise(float x, float y, uint32_t seed) {
  float fx = std::floor(x), fy = std::floor(y);
  int xi = int(fx), yi = int(fy);
  float tx = x - fx, ty = y - fy;
  tx = tx * tx * (3.0f - 2.0f * tx);
  ty = ty * ty * (3.0f - 2.0f * ty);
  float a = unit(hash3(xi, yi, seed)), b = unit(hash3(xi + 1, yi, seed));
  float c = unit(hash3(xi, yi + 1, seed)), d = unit(hash3(xi + 1, yi + 1, seed));
  return (a + (b - a) * tx) * (1.0f - ty) + (c + (d - c) * tx) * ty;
}

// Fractal sum of value noise, normalised to 0..1.
float fbm(float x, float y, uint32_t seed, int octaves) {
  float sum = 0.0f, amp = 0.5f, norm = 0.0f;
  for (int i = 0; i < octaves; ++i) {
    sum += valueNoise(x, y, seed + uint32_t(i) * 101u) * amp;
    norm += amp;
    x *= 2.03f;
    y *= 2.03f;
    amp *= 0.5f;
  }
  return sum / norm;
}

struct Random {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float range(float lo, float hi) { return lo + (hi - lo) * float(next() >> 40) / 16777216.0f; }
};

// ---------------------------------------------------------------- canvas

struct Canvas {
  int w, h;
  std::vector<Rgb> px;
  Rgb& at(int x, int y) { return px[size_t(y) * w + x]; }
  void blend(int x, int y, Rgb c, float a) {
    if (x < 0 || y < 0 || x >= w || y >= h || a <= 0.0f) return;
    Rgb& p = at(x, y);
    p = mix(p, c, std::min(a, 1.0f));
  }
};

// ---------------------------------------------------------------- light

struct Light {
  Rgb top, mid, low;  // sky from zenith to horizon
  Rgb sun;            // disc colour (moon at night)
  Rgb haze;           // colour distant things fade into
  Rgb shadow;         // colour of near silhouettes
  float sunGlow;      // strength of the halo around the disc
  bool night;
};

Light lightFor(TimeOfDay t) {
  switch (t) {
    case TimeOfDay::Sunset:
      return {hex(0x2B1E5C), hex(0xC8526A), hex(0xFFB35C), hex(0xFFE7A8),
              hex(0xE98A7A), hex(0x2A1838), 0.9f,          false};
    case TimeOfDay::Night:
      return {hex(0x02040E), hex(0x0A1430), hex(0x1C2E55), hex(0xF2F0E2),
              hex(0x1A2747), hex(0x05070F), 0.35f,         true};
    case TimeOfDay::Day:
      break;
  }
  return {hex(0x2F6FD0), hex(0x78AEE8), hex(0xCFE6F7), hex(0xFFFBEA),
          hex(0xB9D3E8), hex(0x2D4A3A), 0.45f,         false};
}

struct Picture {
  Canvas c;
  Random rnd;
  uint32_t seed;
  Light light;
  float horizon;           // in pixels from the top
  float sunX, sunY, sunR;  // in pixels
};

void paintSky(Picture& p) {
  const Light& L = p.light;
  Canvas& c = p.c;
  for (int y = 0; y < c.h; ++y) {
    float t = clamp01(float(y) / std::max(1.0f, p.horizon));
    Rgb base = t < 0.55f ? mix(L.top, L.mid, smooth(0.0f, 0.55f, t))
                         : mix(L.mid, L.low, smooth(0.55f, 1.0f, t));
    if (float(y) > p.horizon) base = L.low;
    for (int x = 0; x < c.w; ++x) {
      float dx = (float(x) - p.sunX) / c.h, dy = (float(y) - p.sunY) / c.h;
      float d2 = dx * dx + dy * dy;
      float glow = L.sunGlow * (0.55f * std::exp(-d2 * 40.0f) + 0.45f * std::exp(-d2 * 4.0f));
      c.at(x, y) = mix(base, L.sun, clamp01(glow));
    }
  }
}

void paintClouds(Picture& p, float cover, float stretch, float strength) {
  Canvas& c = p.c;
  const Light& L = p.light;
  Rgb lit = L.night ? hex(0x3A4566) : mix(hex(0xFFFFFF), L.sun, 0.35f);
  Rgb dark = L.night ? hex(0x121a30) : mix(L.mid, L.haze, 0.5f) * 0.92f;
  float ox = p.rnd.range(0, 100), oy = p.rnd.range(0, 100);
  int bottom = int(p.horizon);
  for (int y = 0; y < bottom && y < c.h; ++y) {
    float v = float(y) / c.h;
    // Clouds flatten and thin out toward the horizon, as they do in perspective.
    float fade = smooth(0.0f, 0.25f, 1.0f - float(y) / std::max(1.0f, p.horizon));
    for (int x = 0; x < c.w; ++x) {
      float u = float(x) / c.h;
      float n = fbm(u * 2.2f / stretch + ox, v * 5.0f + oy, p.seed + 7, 5);
      float a = smooth(1.0f - cover, 1.0f - cover + 0.22f, n) * fade * strength;
      if (a <= 0.0f) continue;
      float shade = clamp01(
          (n - fbm(u * 2.2f / stretch + ox, (v + 0.02f) * 5.0f + oy, p.seed + 7, 3)) * 6.0f + 0.6f);
      c.blend(x, y, mix(dark, lit, shade), a);
    }
  }
}

void paintDisc(Picture& p, Rgb colour, bool craters) {
  Canvas& c = p.c;
  int x0 = int(p.sunX - p.sunR - 2), x1 = int(p.sunX + p.sunR + 2);
  int y0 = int(p.sunY - p.sunR - 2), y1 = int(std::min(p.sunY + p.sunR + 2, p.horizon));
  for (int y = std::max(0, y0); y <= y1 && y < c.h; ++y) {
    for (int x = std::max(0, x0); x <= x1 && x < c.w; ++x) {
      float d = std::hypot(float(x) + 0.5f - p.sunX, float(y) + 0.5f - p.sunY);
      float a = clamp01(p.sunR - d + 0.5f);
      if (a <= 0.0f) continue;
      Rgb col = colour;
      if (craters) {
        float n = fbm(float(x) / p.sunR * 2.5f, float(y) / p.sunR * 2.5f, p.seed + 31, 4);
        col = col * (0.86f + 0.18f * smooth(0.35f, 0.7f, n));
      }
      c.blend(x, y, col, a);
    }
  }
}

// A band of terrain whose top edge is a noise ridge; everything below it is filled,
// shaded from rim to base. `peaks` sharpens the ridge into mountain crests.
std::vector<float> ridgeLine(Picture& p, float base, float amplitude, float frequency,
                             float peaks) {
  std::vector<float> top(p.c.w);
  float off = p.rnd.range(0, 1000);
  uint32_t s = p.seed + uint32_t(p.rnd.next() & 0xffff);
  for (int x = 0; x < p.c.w; ++x) {
    float u = float(x) / p.c.h * frequency + off;
    float n = fbm(u, 0.5f, s, 5);
    if (peaks > 0.0f) {
      float crest = 1.0f - std::fabs(2.0f * fbm(u * 0.7f, 3.5f, s + 3, 4) - 1.0f);
      n += (crest - n) * peaks;
    }
    top[x] = base - amplitude * n * p.c.h;
  }
  return top;
}

void fillBelow(Picture& p, const std::vector<float>& top, Rgb rim, Rgb foot) {
  Canvas& c = p.c;
  for (int x = 0; x < c.w; ++x) {
    int y0 = std::max(0, int(std::floor(top[x])));
    for (int y = y0; y < c.h; ++y) {
      float a = clamp01(float(y) + 1.0f - top[x]);
      float t = clamp01((float(y) - top[x]) / (c.h * 0.35f));
      c.blend(x, y, mix(rim, foot, t), a);
    }
  }
}

// Conifers standing on a ridge: stacked tiers narrowing to the tip.
void paintTrees(Picture& p, const std::vector<float>& ground, float size, float spacing,
                Rgb colour) {
  Canvas& c = p.c;
  float x = -p.rnd.range(0, spacing) * c.h;
  while (x < c.w + size * c.h) {
    float treeH = size * c.h * p.rnd.range(0.7f, 1.3f);
    float halfW = treeH * p.rnd.range(0.17f, 0.24f);
    int gx = std::clamp(int(x), 0, c.w - 1);
    float baseY = ground[gx] + treeH * 0.08f;
    float tiers = std::floor(p.rnd.range(4.0f, 7.0f));
    for (int y = std::max(0, int(baseY - treeH)); y < std::min(c.h, int(baseY) + 1); ++y) {
      float v = (baseY - float(y)) / treeH;  // 0 at the foot, 1 at the tip
      float tier = v * tiers - std::floor(v * tiers);
      float half = halfW * (1.0f - v) * (0.62f + 0.38f * (1.0f - tier));
      if (v < 0.12f) half = std::max(half * smooth(0.0f, 0.12f, v), treeH * 0.03f);
      for (int px = int(x - half - 1); px <= int(x + half + 1); ++px) {
        float a = clamp01(half - std::fabs(float(px) + 0.5f - x) + 0.5f);
        c.blend(px, y, colour, a);
      }
    }
    x += spacing * c.h * p.rnd.range(0.55f, 1.45f);
  }
}

void paintBuildings(Picture& p, float base, float minH, float maxH, Rgb wall, float litShare,
                    float haze) {
  Canvas& c = p.c;
  Rgb warm = hex(0xFFD27A), cold = mix(wall, hex(0x000000), 0.25f);
  float x = -p.rnd.range(0, 0.05f) * c.h;
  while (x < c.w) {
    float bw = p.rnd.range(0.05f, 0.13f) * c.h;
    float bh = p.rnd.range(minH, maxH) * c.h;
    float topY = base - bh;
    float cell = std::max(3.0f, 0.018f * c.h * (1.0f - haze * 0.5f));
    uint32_t bseed = uint32_t(p.rnd.next());
    bool antenna = p.rnd.range(0, 1) < 0.25f;
    for (int y = std::max(0, int(topY)); y < std::min(c.h, int(base) + 1); ++y) {
      float ay = clamp01(float(y) + 1.0f - topY);
      for (int px = int(x); px < int(x + bw) && px < c.w; ++px) {
        if (px < 0) continue;
        Rgb col = wall;
        int cx = int((float(px) - x) / cell), cy = int((float(y) - topY) / cell);
        float fx = (float(px) - x) / cell - cx, fy = (float(y) - topY) / cell - cy;
        bool inWindow = fx > 0.3f && fx < 0.75f && fy > 0.35f && fy < 0.8f &&
                        float(px) - x > cell * 0.5f && x + bw - float(px) > cell * 0.5f;
        if (inWindow) col = unit(hash3(cx, cy, bseed)) < litShare ? mix(warm, wall, haze) : cold;
        c.blend(px, y, col, ay);
      }
    }
    if (antenna) {
      int ax = int(x + bw * 0.5f);
      for (int y = std::max(0, int(topY - bh * 0.15f)); y < int(topY) && y < c.h; ++y)
        c.blend(ax, y, wall, 1.0f);
    }
    x += bw + p.rnd.range(0.0f, 0.015f) * c.h;
  }
}

void paintStars(Picture& p, float density) {
  Canvas& c = p.c;
  int count = int(float(c.w) * float(c.h) * density);
  float bandAngle = p.rnd.range(-0.6f, 0.6f);
  for (int i = 0; i < count; ++i) {
    float x = unit(hash3(i, 1, p.seed)) * c.w, y = unit(hash3(i, 2, p.seed)) * p.horizon;
    float b = unit(hash3(i, 3, p.seed));
    float bright = 0.35f + 0.65f * b * b * b;
    float fade = smooth(p.horizon, p.horizon * 0.6f, y);
    c.blend(int(x), int(y), hex(0xFFFFFF), bright * fade);
    if (b > 0.93f) {
      for (int d = -1; d <= 1; d += 2) {
        c.blend(int(x) + d, int(y), hex(0xDDE6FF), 0.35f * fade);
        c.blend(int(x), int(y) + d, hex(0xDDE6FF), 0.35f * fade);
      }
    }
  }
  // A faint galactic band across the sky.
  for (int y = 0; y < int(p.horizon) && y < c.h; ++y) {
    for (int x = 0; x < c.w; ++x) {
      float u = float(x) / c.h - 0.5f * c.w / c.h, v = float(y) / c.h - 0.35f;
      float across = v * std::cos(bandAngle) - u * std::sin(bandAngle);
      float band = std::exp(-across * across * 60.0f);
      float n = fbm(float(x) / c.h * 6.0f, float(y) / c.h * 6.0f, p.seed + 77, 5);
      c.blend(x, y, hex(0x8A9CCC), band * smooth(0.45f, 0.8f, n) * 0.35f);
    }
  }
}

void paintWater(Picture& p, Rgb far, Rgb near) {
  Canvas& c = p.c;
  Rgb glint = mix(p.light.sun, hex(0xFFFFFF), 0.3f);
  for (int y = int(p.horizon); y < c.h; ++y) {
    float t = (float(y) - p.horizon) / std::max(1.0f, c.h - p.horizon);
    float depth = 1.0f / (t + 0.04f);  // distance to the water at this row
    Rgb base = mix(far, near, smooth(0.0f, 1.0f, t));
    base = mix(base, p.light.low, 0.35f * (1.0f - t));
    for (int x = 0; x < c.w; ++x) {
      float u = (float(x) / c.h) * depth * 0.6f;
      float n = fbm(u * 1.5f, depth * 1.8f, p.seed + 19, 4);
      Rgb col = base * (0.85f + 0.3f * n);
      float column = std::exp(-std::pow((float(x) - p.sunX) / (c.h * (0.04f + 0.25f * t)), 2.0f));
      float sparkle = smooth(0.55f, 0.72f, n) * column * (p.light.night ? 0.5f : 0.9f);
      c.at(x, y) = mix(col, glint, clamp01(sparkle));
    }
  }
}

void paintSand(Picture& p, float shoreline, bool foam) {
  Canvas& c = p.c;
  std::vector<float> edge(c.w);
  for (int x = 0; x < c.w; ++x)
    edge[x] = shoreline * c.h - 0.04f * c.h * fbm(float(x) / c.h * 2.0f, 1.5f, p.seed + 5, 3);
  Rgb dry = mix(hex(0xE8D2A6), p.light.low, 0.15f), wet = hex(0xB89C74);
  for (int x = 0; x < c.w; ++x) {
    for (int y = std::max(0, int(edge[x])); y < c.h; ++y) {
      float a = clamp01(float(y) + 1.0f - edge[x]);
      float t = clamp01((float(y) - edge[x]) / (0.03f * c.h));
      Rgb col = mix(wet, dry, t) *
                (0.94f + 0.08f * valueNoise(float(x) * 0.7f, float(y) * 0.7f, p.seed + 9));
      if (p.light.night) col = col * 0.3f;
      c.blend(x, y, col, a);
      if (foam) c.blend(x, y, hex(0xF6FBFF), (1.0f - t) * (1.0f - t) * 0.85f * a);
    }
  }
}

// A row of mountain peaks standing on `base`: each a rough triangle split by a
// wandering ridge into a sunlit face and a shaded face, with rock showing through
// the snow lower down.
void paintPeaks(Picture& p, float base, float height, Rgb lit, Rgb shade, Rgb rock) {
  Canvas& c = p.c;
  float x = -p.rnd.range(0.0f, 0.3f) * c.h;
  int index = 0;
  while (x < c.w + 0.3f * c.h) {
    float peakH = height * c.h * p.rnd.range(0.55f, 1.0f);
    float halfW = peakH * p.rnd.range(0.9f, 1.5f);
    float lean = p.rnd.range(-0.35f, 0.35f);
    float apex = base - peakH;
    bool litLeft = p.sunX < x;
    uint32_t s = p.seed + 1000u + uint32_t(index++) * 17u;
    for (int y = std::max(0, int(apex)); y < std::min(c.h, int(base + 0.03f * c.h)); ++y) {
      float f = clamp01((float(y) - apex) / peakH);
      float v = float(y) / c.h;
      float half = halfW * f * (0.9f + 0.25f * fbm(v * 9.0f, 0.5f, s, 3));
      float ridge =
          x + (float(y) - apex) * lean + (fbm(v * 7.0f, 2.5f, s + 5, 3) - 0.5f) * 0.08f * c.h * f;
      for (int px = std::max(0, int(x - half - 1)); px <= int(x + half + 1) && px < c.w; ++px) {
        float cover = clamp01(half - std::fabs(float(px) + 0.5f - x) + 0.5f);
        if (cover <= 0.0f) continue;
        float right = clamp01(float(px) + 0.5f - ridge + 0.5f);
        Rgb col = mix(shade, lit, litLeft ? 1.0f - right : right);
        float stone = smooth(0.6f, 0.75f, fbm(float(px) / c.h * 11.0f, v * 9.0f, s + 9, 4)) *
                      smooth(0.3f, 0.9f, f);
        col = mix(col, rock, stone * 0.7f);
        c.blend(px, y, col, cover);
      }
    }
    x += halfW * p.rnd.range(0.6f, 1.1f);
  }
}

// ---------------------------------------------------------------- scenes

void sceneLandscape(Picture& p, Scene scene) {
  const Light& L = p.light;
  Canvas& c = p.c;
  paintSky(p);
  if (L.night) paintStars(p, 0.0012f);
  paintDisc(p, L.sun, L.night);
  if (!L.night)
    paintClouds(p, scene == Scene::Sky ? 0.45f : 0.3f, scene == Scene::Sunset ? 3.0f : 1.2f, 0.9f);

  if (scene == Scene::Sea) {
    paintWater(p, mix(hex(0x1D4E7A), L.haze, 0.25f), L.night ? hex(0x04101E) : hex(0x0E3552));
    if (p.rnd.range(0, 1) < 0.6f) paintSand(p, p.rnd.range(0.82f, 0.9f), true);
    return;
  }
  if (scene == Scene::Sky || scene == Scene::Sunset || scene == Scene::Night) {
    int layers = scene == Scene::Sky ? 2 : 3;
    for (int i = 0; i < layers; ++i) {
      float depth = float(i) / float(layers);
      auto top = ridgeLine(p, p.horizon + (0.02f + 0.06f * depth) * c.h, 0.12f - 0.03f * depth,
                           1.2f + depth, 0.0f);
      Rgb rim = mix(L.haze, L.shadow, 0.35f + 0.65f * depth);
      fillBelow(p, top, rim, mix(rim, L.shadow, 0.5f));
    }
    return;
  }
  if (scene == Scene::Forest) {
    for (int i = 0; i < 4; ++i) {
      float depth = float(i) / 3.0f;
      auto top = ridgeLine(p, p.horizon + (0.03f + 0.12f * depth) * c.h, 0.1f, 1.5f, 0.0f);
      Rgb tone = mix(mix(L.haze, hex(0x3F6B4A), 0.5f), mix(L.shadow, hex(0x12261A), 0.5f), depth);
      if (L.night) tone = tone * 0.35f;
      paintTrees(p, top, 0.12f + 0.16f * depth, 0.035f + 0.03f * depth, tone);
      fillBelow(p, top, tone, tone * 0.8f);
    }
    return;
  }
  if (scene == Scene::City) {
    float lit = L.night ? 0.55f : (L.sun.r > 0.9f && L.top.b < 0.5f ? 0.35f : 0.08f);
    paintBuildings(p, p.horizon + 0.02f * c.h, 0.12f, 0.35f, mix(L.haze, L.shadow, 0.35f), lit,
                   0.6f);
    paintBuildings(p, p.horizon + 0.12f * c.h, 0.18f, 0.5f, mix(L.haze, L.shadow, 0.7f), lit, 0.3f);
    paintBuildings(p, float(c.h) + 0.02f * c.h, 0.25f, 0.6f, mix(L.shadow, hex(0x000000), 0.3f),
                   lit, 0.0f);
    return;
  }
  if (scene == Scene::Desert) {
    // Dunes are lit on the side that faces the sun; the light follows the slope
    // smoothly and fades into the body of the dune a little below the crest.
    float toSun = p.sunX > 0.5f * c.w ? 1.0f : -1.0f;
    for (int i = 0; i < 4; ++i) {
      float depth = float(i) / 3.0f;
      auto top = ridgeLine(p, p.horizon + (0.02f + 0.18f * depth) * c.h, 0.1f + 0.2f * depth,
                           0.8f + depth * 0.5f, 0.45f);
      Rgb sand = mix(hex(0xF1C27D), hex(0xC9803E), depth);
      sand = mix(sand, L.low, 0.3f * (1.0f - depth));
      if (L.night) sand = sand * 0.25f;
      for (int x = 0; x < c.w; ++x) {
        float slope = (top[std::min(x + 1, c.w - 1)] - top[std::max(x - 1, 0)]) * 0.5f;
        Rgb rim = mix(sand * 0.74f, sand * 1.08f, smooth(-0.3f, 0.3f, slope * toSun));
        float phase = 14.0f * fbm(float(x) / c.h * 3.0f, depth, p.seed + 41, 3);
        int y0 = std::max(0, int(std::floor(top[x])));
        for (int y = y0; y < c.h; ++y) {
          float t = smooth(0.0f, 1.0f, (float(y) - top[x]) / (0.07f * c.h));
          float ripple = 0.025f * std::sin(float(y) / c.h * 260.0f + phase);
          c.blend(x, y, mix(rim, sand * 0.93f, t) * (1.0f + ripple),
                  clamp01(float(y) + 1.0f - top[x]));
        }
      }
    }
    return;
  }
  if (scene == Scene::Snow) {
    Rgb rock = L.night ? hex(0x141a26) : hex(0x5a6474);
    for (int i = 0; i < 3; ++i) {
      float depth = float(i) / 2.0f;
      float base = p.horizon + 0.12f * depth * c.h;
      Rgb lit = mix(hex(0xF7FBFF), L.haze, 0.35f * (1.0f - depth));
      Rgb shade = mix(hex(0x8FA8CC), L.haze, 0.35f * (1.0f - depth));
      Rgb stone = mix(rock, L.haze, 0.5f * (1.0f - depth));
      if (L.night) lit = lit * 0.35f, shade = shade * 0.3f;
      paintPeaks(p, base, 0.36f - 0.1f * depth, lit, shade, stone);
      auto field = ridgeLine(p, base + 0.01f * c.h, 0.02f, 2.0f, 0.0f);
      fillBelow(p, field, mix(lit, shade, 0.2f), mix(lit, shade, 0.45f));
    }
    for (int i = 0; i < c.w * c.h / 900; ++i) {
      int x = int(unit(hash3(i, 11, p.seed)) * c.w), y = int(unit(hash3(i, 12, p.seed)) * c.h);
      float r = 0.7f + 1.6f * unit(hash3(i, 13, p.seed)) * c.h / 720.0f;
      for (int dy = -int(r) - 1; dy <= int(r) + 1; ++dy)
        for (int dx = -int(r) - 1; dx <= int(r) + 1; ++dx)
          c.blend(x + dx, y + dy, hex(0xFFFFFF),
                  0.8f * clamp01(r - std::hypot(float(dx), float(dy)) + 0.5f));
    }
  }
}

void sceneStudio(Picture& p, Rgb backdrop) {
  Canvas& c = p.c;
  float floorY = c.h * p.rnd.range(0.74f, 0.8f);
  float cx = c.w * p.rnd.range(0.42f, 0.58f), cy = c.h * 0.42f;
  for (int y = 0; y < c.h; ++y) {
    for (int x = 0; x < c.w; ++x) {
      float dx = (float(x) - cx) / c.h, dy = (float(y) - cy) / c.h;
      float fall = std::exp(-(dx * dx * 0.9f + dy * dy * 1.6f) * 2.2f);
      Rgb col = backdrop * (0.5f + 0.72f * fall);
      // The sweep curves into the floor: a soft darker band, then the floor.
      float sweep = smooth(floorY - 0.08f * c.h, floorY + 0.04f * c.h, float(y));
      col = mix(col, col * 0.82f, sweep);
      float grain = (valueNoise(float(x) * 0.9f, float(y) * 0.9f, p.seed) - 0.5f) * 0.012f;
      c.at(x, y) = col + Rgb{grain, grain, grain};
    }
  }
}

void sceneAbstract(Picture& p, Rgb a, Rgb b) {
  Canvas& c = p.c;
  float angle = p.rnd.range(0.0f, 6.283f);
  float ca = std::cos(angle), sa = std::sin(angle);
  for (int y = 0; y < c.h; ++y) {
    for (int x = 0; x < c.w; ++x) {
      float u = float(x) / c.h, v = float(y) / c.h;
      float t = clamp01(0.5f + (u - 0.5f * c.w / c.h) * ca * 0.7f + (v - 0.5f) * sa * 0.7f);
      float n = fbm(u * 1.5f, v * 1.5f, p.seed + 3, 4);
      c.at(x, y) =
          mix(mix(a, b, smooth(0.0f, 1.0f, t)), hex(0xFFFFFF), 0.18f * smooth(0.55f, 0.8f, n));
    }
  }
  // Out-of-focus lights.
  int count = 18 + int(p.rnd.range(0, 18));
  for (int i = 0; i < count; ++i) {
    float bx = p.rnd.range(0, 1) * c.w, by = p.rnd.range(0, 1) * c.h;
    float r = p.rnd.range(0.02f, 0.09f) * c.h, alpha = p.rnd.range(0.06f, 0.22f);
    Rgb col = mix(mix(a, b, p.rnd.range(0, 1)), hex(0xFFFFFF), 0.6f);
    for (int y = std::max(0, int(by - r - 1)); y < std::min(c.h, int(by + r + 2)); ++y)
      for (int x = std::max(0, int(bx - r - 1)); x < std::min(c.w, int(bx + r + 2)); ++x) {
        float d = std::hypot(float(x) + 0.5f - bx, float(y) + 0.5f - by);
        float edge = clamp01(r - d + 0.5f);
        c.blend(x, y, col, alpha * edge * (0.75f + 0.25f * d / r));
      }
  }
}

Rgb hueColour(float hue, float sat, float val) {
  float h6 = (hue - std::floor(hue)) * 6.0f;
  float f = h6 - std::floor(h6);
  float p = val * (1 - sat), q = val * (1 - sat * f), t = val * (1 - sat * (1 - f));
  switch (int(h6) % 6) {
    case 0:
      return {val, t, p};
    case 1:
      return {q, val, p};
    case 2:
      return {p, val, t};
    case 3:
      return {p, q, val};
    case 4:
      return {t, p, val};
    default:
      return {val, p, q};
  }
}

}  // namespace

std::vector<uint8_t> paintBackground(const std::string& prompt, int width, int height) {
  if (width <= 0 || height <= 0) return {};
  const PromptStyle style = readPrompt(prompt);
  const Scene scene = style.scene;
  const TimeOfDay time = style.time;
  const uint64_t seed = style.seed;

  Picture p{Canvas{width, height, std::vector<Rgb>(size_t(width) * height)},
            Random{seed},
            uint32_t(seed ^ (seed >> 32)),
            lightFor(time),
            0,
            0,
            0,
            0};
  float h = float(height);
  p.horizon = h * p.rnd.range(0.55f, 0.68f);
  if (scene == Scene::Sky) p.horizon = h * p.rnd.range(0.8f, 0.88f);
  if (scene == Scene::Snow) p.horizon = h * p.rnd.range(0.62f, 0.7f);
  p.sunX = width * p.rnd.range(0.2f, 0.8f);
  p.sunR = h * (time == TimeOfDay::Sunset ? p.rnd.range(0.07f, 0.1f) : p.rnd.range(0.035f, 0.055f));
  p.sunY = time == TimeOfDay::Sunset ? p.horizon - p.sunR * p.rnd.range(0.2f, 0.9f)
                                     : h * p.rnd.range(0.12f, 0.3f);

  const bool tinted = style.tinted;
  const Rgb tint{style.tint.r / 255.0f, style.tint.g / 255.0f, style.tint.b / 255.0f};
  if (scene == Scene::Studio) {
    sceneStudio(p, tinted ? tint : hex(0x7C8088));
  } else if (scene == Scene::Abstract) {
    float hue = float(seed % 1000) / 1000.0f;
    Rgb a = tinted ? tint : hueColour(hue, 0.55f, 0.75f);
    Rgb b = hueColour(hue + 0.12f + float((seed >> 20) % 100) / 500.0f, 0.65f, 0.35f);
    sceneAbstract(p, a, b);
  } else {
    if (tinted) {
      // A colour word colours the air, not the whole picture.
      p.light.top = mix(p.light.top, tint, 0.25f);
      p.light.mid = mix(p.light.mid, tint, 0.3f);
      p.light.haze = mix(p.light.haze, tint, 0.25f);
    }
    sceneLandscape(p, scene);
  }

  // Tiny ordered dither keeps the long gradients free of bands.
  std::vector<uint8_t> out(size_t(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb& c = p.c.at(x, y);
      float d = (float(((x & 3) * 4 + (y & 3)) * 7 % 16) + 0.5f) / 16.0f;
      uint8_t* o = &out[(size_t(y) * width + x) * 4];
      o[0] = uint8_t(std::min(255.0f, clamp01(c.r) * 255.0f + d));
      o[1] = uint8_t(std::min(255.0f, clamp01(c.g) * 255.0f + d));
      o[2] = uint8_t(std::min(255.0f, clamp01(c.b) * 255.0f + d));
      o[3] = 255;
    }
  }
  return out;
}
