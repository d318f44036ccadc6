// talvane-make-clip: writes a short synthetic shot to try the effect on: a
// figure in patterned clothes walks in front of a plain green backdrop while
// the camera pans along with it.
//
//   talvane-make-clip OUTDIR [--frames N] [--size WxH] [--pan PX]
//
// Frames are OUTDIR/frame0000.png onward. The backdrop is plain so the
// service's keyer separates it cleanly, with a faint light falloff that moves
// with the camera; the clothes carry stripes and checks so motion tracking
// has detail to lock on. Every edge is anti-aliased from signed distances.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

struct Vec {
  float x, y;
};

float length(Vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }

// Signed distance to a capsule (segment a-b with radius r): negative inside.
float capsule(Vec p, Vec a, Vec b, float r) {
  Vec pa{p.x - a.x, p.y - a.y}, ba{b.x - a.x, b.y - a.y};
  float h = std::clamp((pa.x * ba.x + pa.y * ba.y) / (ba.x * ba.x + ba.y * ba.y), 0.0f, 1.0f);
  return length({pa.x - ba.x * h, pa.y - ba.y * h}) - r;
}

// Signed distance to a box centred at c with half sizes (hx, hy) and rounded corners r.
float roundBox(Vec p, Vec c, float hx, float hy, float r) {
  float qx = std::fabs(p.x - c.x) - hx + r, qy = std::fabs(p.y - c.y) - hy + r;
  float outside = length({std::max(qx, 0.0f), std::max(qy, 0.0f)});
  return outside + std::min(std::max(qx, qy), 0.0f) - r;
}

float circle(Vec p, Vec c, float r) { return length({p.x - c.x, p.y - c.y}) - r; }

// Coverage of a shape at a pixel from its signed distance: a one-pixel ramp.
float cover(float d) { return std::clamp(0.5f - d, 0.0f, 1.0f); }

struct Colour {
  float r, g, b;
};

Colour mix(Colour a, Colour b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// The figure's pose for one frame, in picture coordinates.
struct Pose {
  Vec hip, neck, head;
  Vec leftHand, rightHand, leftElbow, rightElbow, leftFoot, rightFoot;
  float scale;
};

Pose poseAt(int frame, float baseX, float floorY, float scale) {
  float t = static_cast<float>(frame);
  float swing = std::sin(t * 0.26f);
  float bob = std::fabs(std::sin(t * 0.26f)) * 2.0f * scale;
  Pose p;
  p.scale = scale;
  p.hip = {baseX, floorY - 175 * scale - bob};
  p.neck = {baseX, floorY - 315 * scale - bob};
  p.head = {baseX + 2 * scale, floorY - 352 * scale - bob};
  p.leftElbow = {baseX - 70 * scale - swing * 3 * scale, p.neck.y + 80 * scale};
  p.rightElbow = {baseX + 70 * scale + swing * 3 * scale, p.neck.y + 80 * scale};
  p.leftHand = {baseX - 80 * scale - swing * 6 * scale, p.neck.y + 150 * scale};
  p.rightHand = {baseX + 80 * scale + swing * 6 * scale, p.neck.y + 150 * scale};
  p.leftFoot = {baseX - 34 * scale + swing * 5 * scale, floorY};
  p.rightFoot = {baseX + 34 * scale - swing * 5 * scale, floorY};
  return p;
}

// Layers of the figure, back to front; each returns its coverage and colour at p.
struct Paint {
  float alpha;
  Colour colour;
};

const Colour kSkin{222, 170, 134};
const Colour kHair{54, 34, 28};
const Colour kTrousers{38, 42, 86};
const Colour kShoes{30, 24, 22};
const Colour kShirtA{196, 44, 52};
const Colour kSeam{120, 24, 34};
const Colour kBelt{70, 44, 30};
const Colour kShirtB{246, 236, 214};

// Diagonal stripes with a fine check, in the figure's own frame so the
// pattern moves with the figure.
Colour shirtAt(Vec p, const Pose& pose) {
  float u = (p.x - pose.neck.x) / pose.scale, v = (p.y - pose.neck.y) / pose.scale;
  bool stripe = std::fmod(std::fabs(u + v * 0.6f + 1000.0f), 26.0f) < 13.0f;
  bool check =
      (static_cast<int>(std::floor(u / 6.0f)) + static_cast<int>(std::floor(v / 6.0f))) & 1;
  Colour c = stripe ? kShirtA : kShirtB;
  return mix(c, stripe ? Colour{150, 28, 40} : Colour{214, 200, 176}, check ? 0.35f : 0.0f);
}

Colour trousersAt(Vec p, const Pose& pose) {
  float u = (p.x - pose.hip.x) / pose.scale, v = (p.y - pose.hip.y) / pose.scale;
  float weave = 0.5f + 0.5f * std::sin(u * 1.3f) * std::sin(v * 1.3f);
  return mix(kTrousers, Colour{62, 66, 120}, weave * 0.6f);
}

void paintFigure(Vec p, const Pose& pose, Colour& out) {
  const float s = pose.scale;
  auto over = [&out](float alpha, Colour c) { out = mix(out, c, alpha); };

  // Legs and shoes.
  for (Vec foot : {pose.leftFoot, pose.rightFoot}) {
    Vec hip{pose.hip.x + (foot.x < pose.hip.x ? -20 : 20) * s, pose.hip.y + 10 * s};
    float leg = capsule(p, hip, {foot.x, foot.y - 30 * s}, 22 * s);
    over(cover(leg), trousersAt(p, pose));
    float shoe = roundBox(p, {foot.x + 10 * s, foot.y - 8 * s}, 28 * s, 10 * s, 8 * s);
    over(cover(shoe), kShoes);
  }
  float torso = roundBox(p, {pose.neck.x, (pose.neck.y + pose.hip.y) / 2 + 2 * s}, 56 * s,
                         (pose.hip.y - pose.neck.y) / 2 + 4 * s, 22 * s);
  over(cover(torso), shirtAt(p, pose));
  float belt = roundBox(p, {pose.hip.x, pose.hip.y - 2 * s}, 56 * s, 7 * s, 3 * s);
  over(cover(std::max(belt, torso)), kBelt);
  // Sleeves over the torso, each with a dark seam so the arm reads apart from the body.
  for (int side = 0; side < 2; ++side) {
    Vec shoulder{pose.neck.x + (side ? 44 : -44) * s, pose.neck.y + 24 * s};
    Vec elbow = side ? pose.rightElbow : pose.leftElbow;
    Vec hand = side ? pose.rightHand : pose.leftHand;
    float arm = std::min(capsule(p, shoulder, elbow, 17 * s), capsule(p, elbow, hand, 14 * s));
    over(cover(arm - 2.0f * s), kSeam);
    over(cover(arm), shirtAt(p, pose));
    over(cover(circle(p, {hand.x, hand.y + 8 * s}, 14 * s)), kSkin);
  }
  // Neck, head, hair, eyes.
  over(cover(roundBox(p, {pose.neck.x, pose.neck.y - 4 * s}, 12 * s, 14 * s, 5 * s)), kSkin);
  over(cover(circle(p, pose.head, 34 * s)), kSkin);
  float hair =
      std::max(circle(p, {pose.head.x, pose.head.y - 6 * s}, 36 * s), p.y - (pose.head.y - 10 * s));
  over(cover(hair), kHair);
  for (float ex : {-12.0f, 12.0f})
    over(cover(circle(p, {pose.head.x + ex * s, pose.head.y + 4 * s}, 3.5f * s)),
         Colour{30, 30, 36});
}

// Plain chroma-green backdrop (far from sky, sea and skin colours) with a
// soft light falloff tied to the world, so a pan shows as the bright spot
// sliding across.
Colour backdropAt(float worldX, float y, int width, int height) {
  const Colour base{28, 182, 72};
  float dx = (worldX - width * 0.6f) / (width * 0.7f), dy = (y - height * 0.4f) / (height * 1.1f);
  float light = 1.0f - std::min(1.0f, dx * dx + dy * dy);
  float gain = 0.84f + 0.22f * light;
  return {base.r * gain, base.g * gain, base.b * gain};
}

std::vector<uint8_t> renderFrame(int frame, int width, int height, float panPerFrame) {
  const float camera = panPerFrame * frame;
  const float scale = height / 470.0f;
  // The camera follows the figure as it walks, a little behind and ahead of
  // it, so the figure sways around the middle of the picture.
  const float sway = 3.0f * scale * std::sin(6.2831853f * frame / 48.0f);
  const float worldX = width * 0.46f + camera + sway;
  const Pose pose = poseAt(frame, worldX - camera, height - 30 * scale, scale);
  // Only pixels near the figure need its shapes evaluated.
  const float margin = 60 * scale;
  const float left = std::min(pose.leftHand.x, pose.leftFoot.x) - margin;
  const float right = std::max(pose.rightHand.x, pose.rightFoot.x) + margin;
  const float top = pose.head.y - margin, bottom = height - 30 * scale + margin;
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Vec p{x + 0.5f, y + 0.5f};
      Colour c = backdropAt(p.x + camera, p.y, width, height);
      if (p.x > left && p.x < right && p.y > top && p.y < bottom) paintFigure(p, pose, c);
      uint8_t* px = &rgba[(static_cast<size_t>(y) * width + x) * 4];
      px[0] = static_cast<uint8_t>(std::clamp(c.r + 0.5f, 0.0f, 255.0f));
      px[1] = static_cast<uint8_t>(std::clamp(c.g + 0.5f, 0.0f, 255.0f));
      px[2] = static_cast<uint8_t>(std::clamp(c.b + 0.5f, 0.0f, 255.0f));
      px[3] = 255;
    }
  }
  return rgba;
}

int usage(const char* message) {
  if (message) std::fprintf(stderr, "talvane-make-clip: %s\n", message);
  std::fprintf(stderr,
               "usage: talvane-make-clip OUTDIR [--frames N] [--size WxH] [--pan PX]\n"
               "  writes OUTDIR/frame0000.png ... (default 48 frames of 960x540,\n"
               "  camera pan 3 pixels per frame)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string outDir;
  int frames = 48, width = 960, height = 540;
  float pan = 3.0f;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      usage(nullptr);
      return 0;
    } else if (arg == "--frames" && hasValue) {
      frames = std::atoi(argv[++i]);
    } else if (arg == "--size" && hasValue) {
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2) return usage("--size wants WxH");
    } else if (arg == "--pan" && hasValue) {
      pan = static_cast<float>(std::atof(argv[++i]));
    } else if (!arg.empty() && arg[0] != '-' && outDir.empty()) {
      outDir = arg;
    } else {
      return usage(("unknown or incomplete argument: " + arg).c_str());
    }
  }
  if (outDir.empty()) return usage("OUTDIR is missing");
  if (frames < 1 || frames > 100000 || width < 16 || height < 16 || width > 8192 || height > 8192)
    return usage("frames must be 1..100000 and sides 16..8192");
  std::string error;
  if (!prepareOutputDir(outDir, error)) {
    std::fprintf(stderr, "talvane-make-clip: %s\n", error.c_str());
    return 1;
  }
  for (int f = 0; f < frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame%04d.png", f);
    if (!writeRGBA8(outDir + name, renderFrame(f, width, height, pan), width, height, error)) {
      std::fprintf(stderr, "talvane-make-clip: %s\n", error.c_str());
      return 1;
    }
  }
  std::printf("wrote %d frames of %dx%d to %s\n", frames, width, height, outDir.c_str());
  return 0;
}
