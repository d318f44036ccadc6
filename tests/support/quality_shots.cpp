#include "tests/support/quality_shots.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "imaging/imaging.h"

namespace {

double hashUnit(int x, int y, int seed) {
  uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u +
               static_cast<uint32_t>(seed) * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  h ^= h >> 16;
  return (h & 0xffffff) / 16777216.0;
}

double fade(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// Value noise with a C2 fade: smooth at any point, so a sub-pixel move is exact.
double valueNoise(double x, double y, int seed) {
  const double fx = std::floor(x), fy = std::floor(y);
  const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
  const double u = fade(x - fx), v = fade(y - fy);
  const double a = hashUnit(ix, iy, seed), b = hashUnit(ix + 1, iy, seed);
  const double c = hashUnit(ix, iy + 1, seed), d = hashUnit(ix + 1, iy + 1, seed);
  return (a + (b - a) * u) * (1 - v) + (c + (d - c) * u) * v;
}

double fbm(double x, double y, int seed, const double* scales, int octaves) {
  double sum = 0, norm = 0, amp = 1;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * valueNoise(x / scales[o], y / scales[o], seed + o);
    norm += amp;
    amp *= 0.6;
  }
  return sum / norm;
}

double smoothstep(double e0, double e1, double x) {
  const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

void oldBackdrop(Backdrop kind, double x, double y, double rgb[3]) {
  static const double fine[4] = {48, 16, 6, 3};
  static const double wide[2] = {90, 30};
  switch (kind) {
    case Backdrop::GreenScreen: {
      // Wrinkles of the cloth: a faint, wide texture a tracker can still follow.
      const double n = fbm(x, y, 11, wide, 2) - 0.5;
      rgb[0] = 40 + 14 * n;
      rgb[1] = 190 + 30 * n;
      rgb[2] = 70 + 14 * n;
      return;
    }
    case Backdrop::City: {
      // Windows of a facade: a texture that repeats every 24 by 32 pixels.
      const double fx = x / 24.0 - std::floor(x / 24.0), fy = y / 32.0 - std::floor(y / 32.0);
      const double win = smoothstep(0.2, 0.3, fx) * (1 - smoothstep(0.7, 0.8, fx)) *
                         smoothstep(0.25, 0.35, fy) * (1 - smoothstep(0.7, 0.8, fy));
      const double shade = fbm(x, y, 5, wide, 2);
      rgb[0] = 90 + 40 * shade + 120 * win;
      rgb[1] = 90 + 40 * shade + 100 * win;
      rgb[2] = 100 + 40 * shade + 20 * win;
      return;
    }
    case Backdrop::Textured:
    default:
      rgb[0] = 70 + 150 * fbm(x, y, 1, fine, 4);
      rgb[1] = 60 + 120 * fbm(x, y, 21, fine, 4);
      rgb[2] = 40 + 90 * fbm(x, y, 41, fine, 4);
      return;
  }
}

void newBackdrop(double x, double y, int height, double rgb[3]) {
  static const double clouds[3] = {40, 12, 5};
  const double n = fbm(x, y, 77, clouds, 3);
  const double t = std::clamp(y / height, -0.5, 1.5);
  rgb[0] = 40 + 150 * n * (1 - t);
  rgb[1] = 90 + 60 * t + 80 * n;
  rgb[2] = 200 - 60 * t + 40 * n;
}

// The subject in frame coordinates, centred at (sx, sy); u is the frame's unit (h / 540).
double subjectAt(double x, double y, double sx, double sy, double u, double rgb[3]) {
  const auto ellipse = [&](double cx, double cy, double rx, double ry) {
    const double ex = (x - cx) / rx, ey = (y - cy) / ry;
    const double d = (std::sqrt(ex * ex + ey * ey) - 1) * std::min(rx, ry);
    return std::clamp(0.5 - d, 0.0, 1.0);  // a one-pixel anti-aliased edge
  };
  const double body = ellipse(sx, sy + 150 * u, 70 * u, 160 * u);
  const double arm = ellipse(sx + 90 * u, sy + 120 * u, 13 * u, 85 * u);
  const double head = ellipse(sx, sy - 30 * u, 40 * u, 46 * u);
  // Hair: thin strands of partial alpha fanning out over the top of the head.
  double hair = 0;
  const double hx = x - sx, hy = y - (sy - 30 * u);
  const double r = std::sqrt(hx * hx / (40 * 40 * u * u) + hy * hy / (46 * 46 * u * u));
  if (hy < 8 * u && r > 0.6 && r < 1.5) {
    const double theta = std::atan2(hy, hx);
    const double strand = std::pow(0.5 + 0.5 * std::sin(theta * 90 + 3 * std::sin(theta * 11)), 3);
    hair = 0.85 * strand * (1 - smoothstep(1.0, 1.5, r));
    if (r < 1.0) hair = std::max(hair, 0.0);
  }
  double a = body;
  rgb[0] = 200;
  rgb[1] = 60 + 30 * valueNoise(x / 9, y / 9, 91);
  rgb[2] = 80;
  if (arm > a) {
    a = arm;
    rgb[0] = 215, rgb[1] = 165, rgb[2] = 135;
  }
  if (head > a) {
    a = head;
    rgb[0] = 210, rgb[1] = 160, rgb[2] = 130;
  }
  if (hair > a) {
    a = hair;
    rgb[0] = 70, rgb[1] = 45, rgb[2] = 30;
  }
  return a;
}

struct Camera {
  double s, tx, ty, cx, cy;
  // The world point behind frame pixel (x, y).
  void world(double x, double y, double& wx, double& wy) const {
    wx = cx + (x - cx - tx) / s;
    wy = cy + (y - cy - ty) / s;
  }
};

Camera cameraAt(const ShotSpec& shot, int k) {
  return {1.0 + shot.zoom * k, shot.panX * k, shot.panY * k, (shot.width - 1) * 0.5,
          (shot.height - 1) * 0.5};
}

uint8_t byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

double subjectX(const ShotSpec& shot, int k) { return shot.width * 0.42 + shot.walk * k; }

}  // namespace

ShotFrame shotFrame(const ShotSpec& shot, int k) {
  const int w = shot.width, h = shot.height;
  const size_t n = static_cast<size_t>(w) * h;
  const double u = h / 540.0;
  const Camera cam = cameraAt(shot, k), cam0 = cameraAt(shot, 0);
  ShotFrame f;
  f.source.resize(n * 4);
  f.truth.resize(n * 4);
  f.oldBg.resize(n * 4);
  f.newBg.resize(n * 4);
  f.alpha.resize(n);
  f.ghost.assign(n, 0);
  f.ghostRgb.assign(n * 3, 0);
  std::mt19937 rng(1000u + static_cast<unsigned>(k));
  std::normal_distribution<double> noise(0.0, shot.noise > 0 ? shot.noise : 1.0);
  const double sx = subjectX(shot, k), sy = h * 0.45;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      double wx, wy;
      cam.world(x, y, wx, wy);
      double o[3], nb[3], s[3];
      oldBackdrop(shot.backdrop, wx, wy, o);
      newBackdrop(wx, wy, h, nb);
      const double a = subjectAt(x, y, sx, sy, u, s);
      f.alpha[i] = static_cast<float>(a);
      for (int c = 0; c < 3; ++c) {
        const double e = shot.noise > 0 ? noise(rng) : 0.0;
        f.source[i * 4 + c] = byte(a * s[c] + (1 - a) * o[c] + e);
        f.truth[i * 4 + c] = byte(a * s[c] + (1 - a) * nb[c]);
        f.oldBg[i * 4 + c] = byte(o[c]);
        f.newBg[i * 4 + c] = byte(nb[c]);
      }
      f.source[i * 4 + 3] = f.truth[i * 4 + 3] = f.oldBg[i * 4 + 3] = f.newBg[i * 4 + 3] = 255;
      // The returned image's subject, where it lies now: at rest in the frame (a background
      // taken as it is) or carried with the backdrop (a background that follows the camera).
      double restRgb[3], carriedRgb[3], gx, gy;
      const double atRest = subjectAt(x, y, subjectX(shot, 0), sy, u, restRgb);
      cam0.world(wx, wy, gx, gy);  // frame-0 pixel of this world point (cam0 is the identity)
      const double carried = subjectAt(gx, gy, subjectX(shot, 0), sy, u, carriedRgb);
      if (std::max(atRest, carried) > 0.3) f.ghost[i] = 255;
      for (int c = 0; c < 3; ++c)
        f.ghostRgb[i * 3 + c] = byte(atRest > carried ? restRgb[c] : carriedRgb[c]);
    }
  return f;
}

std::vector<uint8_t> shotReturned(const ShotSpec& shot) {
  ShotFrame f = shotFrame(shot, 0);
  // The service keys the subject by its difference from the backdrop and keeps what it
  // keyed exactly as grabbed, old backdrop mixed into the edge and all; thin strands below
  // its key are painted over.
  std::vector<uint8_t> out = f.newBg;
  for (size_t i = 0; i < f.alpha.size(); ++i)
    if (f.alpha[i] > 0.3f)
      for (int c = 0; c < 3; ++c) out[i * 4 + c] = f.source[i * 4 + c];
  return out;
}

FrameFigures measureFrame(const ShotSpec& shot, const ShotFrame& f,
                          const std::vector<uint8_t>& output) {
  const int w = shot.width, h = shot.height;
  const size_t n = static_cast<size_t>(w) * h;
  FrameFigures r;
  std::vector<uint8_t> band(n, 0), subject(n, 0);
  for (size_t i = 0; i < n; ++i) {
    band[i] = f.alpha[i] > 0.02f && f.alpha[i] < 0.98f ? 255 : 0;
    subject[i] = f.alpha[i] > 0.0f ? 255 : 0;
  }
  morphH(band, w, h, 2, true);
  morphV(band, w, h, 2, true);
  double sq = 0;
  for (size_t i = 0; i < n; ++i) {
    double e2 = 0, dOld = 0, dNew = 0, split = 0, along = 0;
    double diff[3];
    for (int c = 0; c < 3; ++c) {
      const double out = output[i * 4 + c];
      const double e = out - f.truth[i * 4 + c];
      e2 += e * e;
      dOld += (out - f.oldBg[i * 4 + c]) * (out - f.oldBg[i * 4 + c]);
      dNew += (out - f.newBg[i * 4 + c]) * (out - f.newBg[i * 4 + c]);
      diff[c] = f.oldBg[i * 4 + c] - f.newBg[i * 4 + c];
      split += diff[c] * diff[c];
      along += e * diff[c];
    }
    sq += e2;
    const bool separable = split > 40.0 * 40.0;
    if (band[i]) {
      r.mseEdge += e2 / 3;
      r.edgeCount += 1;
      if (separable) r.spillSum += along / std::sqrt(split);
    }
    if (f.alpha[i] > 0.0f) continue;
    const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
    const bool border = x < 16 || y < 16 || x >= w - 16 || y >= h - 16;
    r.bgCount += 1;
    if (separable) {
      const bool old = dOld < dNew;
      r.oldCloser += old;
      if (border) {
        r.borderCount += 1;
        r.borderOldCloser += old;
      }
    }
    if (f.ghost[i]) {
      r.ghostCount += 1;
      int worst = 0;
      double toGhost = 0, toTruth = 0;
      for (int c = 0; c < 3; ++c) {
        const int out = output[i * 4 + c];
        worst = std::max(worst, std::abs(out - f.truth[i * 4 + c]));
        toGhost += (out - f.ghostRgb[i * 3 + c]) * (out - f.ghostRgb[i * 3 + c]);
        toTruth += (out - f.truth[i * 4 + c]) * (out - f.truth[i * 4 + c]);
      }
      r.ghostShown += worst > 40 && toGhost < toTruth;
    }
  }
  r.mse = sq / (3.0 * n);
  r.edgeCount = std::max(r.edgeCount, 1.0);
  r.mseEdge /= r.edgeCount;
  // Where the output's background sits against the truth's: the subject, its surroundings
  // and the ghost's place are left out.
  std::vector<uint8_t> excluded(n);
  for (size_t i = 0; i < n; ++i) excluded[i] = subject[i] || f.ghost[i] ? 255 : 0;
  morphH(excluded, w, h, 4, true);
  morphV(excluded, w, h, 4, true);
  const MotionReference ref =
      prepareMotionReference(f.truth.data(), excluded, w, h, MotionSamples::Every);
  const CameraMotion m = estimateCameraMotion(ref, output.data(), w, h);
  r.dx = m.dx;
  r.dy = m.dy;
  r.scaleShift = (m.scale - 1.0) * std::sqrt((static_cast<double>(w) * w + h * h) / 12.0);
  return r;
}

ShotFigures summarise(const std::vector<FrameFigures>& frames) {
  ShotFigures s;
  if (frames.empty()) return s;
  double mse = 0, mseEdge = 0, bg = 0, old = 0, border = 0, borderOld = 0, ghost = 0, shown = 0;
  double spill = 0, edge = 0, pos = 0, jitter = 0;
  for (size_t k = 0; k < frames.size(); ++k) {
    const FrameFigures& f = frames[k];
    mse += f.mse;
    mseEdge += f.mseEdge;
    bg += f.bgCount;
    old += f.oldCloser;
    border += f.borderCount;
    borderOld += f.borderOldCloser;
    ghost += f.ghostCount;
    shown += f.ghostShown;
    spill += f.spillSum;
    edge += f.edgeCount;
    pos += f.dx * f.dx + f.dy * f.dy + f.scaleShift * f.scaleShift;
    if (k > 0) jitter += std::hypot(f.dx - frames[k - 1].dx, f.dy - frames[k - 1].dy);
  }
  const double count = static_cast<double>(frames.size());
  const auto psnr = [](double m) { return m > 0 ? 10 * std::log10(255.0 * 255.0 / m) : 99.0; };
  s.psnr = psnr(mse / count);
  s.psnrEdge = psnr(mseEdge / count);
  s.oldLeak = bg > 0 ? 100.0 * old / bg : 0;
  s.oldLeakBorder = border > 0 ? 100.0 * borderOld / border : 0;
  s.secondSubject = ghost > 0 ? 100.0 * shown / ghost : 0;
  s.spill = edge > 0 ? spill / edge : 0;
  s.positionError = std::sqrt(pos / count);
  s.jitter = frames.size() > 1 ? jitter / (count - 1) : 0;
  return s;
}
