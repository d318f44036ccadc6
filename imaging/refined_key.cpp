// The per-frame key of the Refined mode and its edge decontamination. The key compares the
// frame with the original backdrop (moved by the camera), so it follows a moving subject;
// at the subject's edge it estimates how much backdrop a pixel holds from the colour of the
// solid subject nearby, so a strand of hair is partly background, not all subject.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "imaging/imaging.h"
#include "imaging/simd.h"

namespace {

constexpr int kEdgeRadius = 2;    // solid subject lies this far inside the edge
constexpr int kColourRadius = 6;  // nearby solid subject gives the edge its colour
// A pixel is read by its strand's core only when the two depart from their backdrops by
// this many thresholds together (their departures' product over the threshold squared):
// texture the backdrop estimate missed departs too little.
constexpr float kStrandCore = 3.0f;
constexpr float kRingDoubt = 0.05f;  // the least taken off a flank's share
// A pixel departing from its backdrop this many times as far as the solid subject's colour
// (along it) is not that colour mixed with the backdrop.
constexpr float kBeyondSolid = 1.3f;
constexpr int kStrandReach = 3;  // a free strand's faint flanks fade out this far
// A fill this near the backdrop it was filled from is as good as over the painted-over edge.
constexpr int kFillReach = 2;

// The largest of the three colour channels' differences.
int largestDifference(const uint8_t* a, const uint8_t* b) {
  return std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])});
}

}  // namespace

void subjectPixelsPlain(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                        const uint8_t* footprint, size_t count, int threshold, uint8_t* subject) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* s = frame + i * 4;
    const uint8_t* b = backdrop + i * 4;
    // Where the move uncovered the frame's edge the backdrop is unknown: background
    // unless the returned image says otherwise.
    subject[i] = b[3] != 0 && largestDifference(s, b) > threshold ? 255 : 0;
    // Under the footprint the backdrop is a guess; a subject still where and as it was at
    // generate time is told by the returned image, which kept it.
    if (subject[i] || still == nullptr || footprint == nullptr || !footprint[i]) continue;
    const uint8_t* r = still + i * 4;
    subject[i] = largestDifference(s, r) <= threshold ? 255 : 0;
  }
}

void subjectPixels(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                   const uint8_t* footprint, size_t count, int threshold, uint8_t* subject) {
  // Four pixels a step: the per-channel differences in bytes, the largest channel brought
  // into each pixel's low byte by shifting its 32-bit lane, then the tests lane by lane.
  using simd::U32x4;
  typedef int32_t I32x4 __attribute__((vector_size(16)));
  typedef int8_t I8x4 __attribute__((vector_size(4)));
  size_t i = 0;
  if (threshold >= 0 && threshold < 255) {
    const I32x4 t = I32x4{} + threshold;
    const auto largestChannel = [](simd::U8x16 a, simd::U8x16 b) {
      const simd::U8x16 ad = simd::vmax(a, b) - simd::vmin(a, b);
      const U32x4 lanes = reinterpret_cast<U32x4>(ad);
      const simd::U8x16 m = simd::vmax(simd::vmax(ad, reinterpret_cast<simd::U8x16>(lanes >> 8)),
                                       reinterpret_cast<simd::U8x16>(lanes >> 16));
      return reinterpret_cast<I32x4>(reinterpret_cast<U32x4>(m) & 0xFFu);
    };
    for (; i + 4 <= count; i += 4) {
      const simd::U8x16 s = simd::load(frame + i * 4), b = simd::load(backdrop + i * 4);
      const I32x4 known = reinterpret_cast<I32x4>(reinterpret_cast<U32x4>(b) >> 24) != 0;
      I32x4 sub = (largestChannel(s, b) > t) & known;
      uint32_t under4 = 0;  // most of the frame lies off the footprint: no still to read
      if (still != nullptr && footprint != nullptr) std::memcpy(&under4, footprint + i, 4);
      if (under4 != 0) {
        const I32x4 under =
            I32x4{footprint[i], footprint[i + 1], footprint[i + 2], footprint[i + 3]} != 0;
        sub |= (largestChannel(s, simd::load(still + i * 4)) <= t) & under;
      }
      // Lanes hold 0 or -1: narrowed to bytes they are 0 or 255.
      const I8x4 bytes = __builtin_convertvector(sub, I8x4);
      std::memcpy(subject + i, &bytes, 4);
    }
  }
  subjectPixelsPlain(frame + i * 4, backdrop + i * 4, still ? still + i * 4 : nullptr,
                     footprint ? footprint + i : nullptr, count - i, threshold, subject + i);
}

namespace {

size_t colourBin(const uint8_t* rgb) {
  return (static_cast<size_t>(rgb[0] >> 5) << 6) | (static_cast<size_t>(rgb[1] >> 5) << 3) |
         static_cast<size_t>(rgb[2] >> 5);
}

}  // namespace

ColourOdds colourOdds(const uint8_t* returned, const uint8_t* backdrop,
                      const std::vector<uint8_t>& footprint, const std::vector<uint8_t>& core,
                      int width, int height) {
  ColourOdds odds;
  const size_t n = static_cast<size_t>(width) * height;
  if (returned == nullptr || backdrop == nullptr || width <= 0 || height <= 0 ||
      footprint.size() != n || core.size() != n)
    return odds;
  odds.subject.assign(512, 0);
  odds.backdrop.assign(512, 0);
  // A subject's move uncovers backdrop like the backdrop it stood in front of.
  std::vector<uint8_t> around = footprint;
  const int reach = std::max(16, std::max(width, height) / 24);
  morphH(around, width, height, reach, true);
  morphV(around, width, height, reach, true);
  for (size_t i = 0; i < footprint.size(); ++i) {
    if (core[i]) {
      ++odds.subject[colourBin(returned + i * 4)];
      ++odds.subjectCount;
    } else if (around[i] && !footprint[i] && backdrop[i * 4 + 3] >= 128) {
      ++odds.backdrop[colourBin(backdrop + i * 4)];
      ++odds.backdropCount;
    }
  }
  return odds;
}

namespace {

// Fewer than one pixel in 2000 of the subject's counted have the colour.
bool rareInSubject(const ColourOdds& odds, const uint8_t* rgb) {
  return odds.subject.size() == 512 && odds.subject[colourBin(rgb)] * 2000 < odds.subjectCount;
}

}  // namespace

bool backdropColour(const ColourOdds& odds, const uint8_t* rgb) {
  if (odds.subject.size() != 512 || odds.backdrop.size() != 512 || odds.backdropCount == 0)
    return false;
  const size_t b = colourBin(rgb);
  const uint64_t inBackdrop = odds.backdrop[b], inSubject = odds.subject[b];
  return inBackdrop * 2000 >= odds.backdropCount &&
         inBackdrop * odds.subjectCount > 2 * inSubject * odds.backdropCount;
}

namespace {

// Most of a frame lies off the subject and its edge: planes are passed over eight bytes at a
// time where all eight are 0.
bool noneOfEight(const uint8_t* p) {
  uint64_t eight;
  std::memcpy(&eight, p, 8);
  return eight == 0;
}

// And most of the subject lies deep inside it: eight bytes all 255.
bool allOfEight(const uint8_t* p) {
  uint64_t eight;
  std::memcpy(&eight, p, 8);
  return eight == ~uint64_t{0};
}

// Whether the eight pixels from i are all subject under the footprint that the still rule
// keeps (each channel within t of the returned image): most of a kept subject is.
bool stillKeepsEight(const uint8_t* frame, const uint8_t* still, const uint8_t* footprint,
                     const uint8_t* subject, size_t i, uint8_t t) {
  if (!allOfEight(subject + i) || !allOfEight(footprint + i)) return false;
  const simd::U8x16 colour = reinterpret_cast<simd::U8x16>(simd::U32x4{} + 0x00FFFFFFu);
  const simd::U8x16 cut = simd::splat(t);
  simd::U8x16 over{};
  for (size_t k = i; k < i + 8; k += 4) {
    const simd::U8x16 a = simd::load(frame + k * 4), b = simd::load(still + k * 4);
    over |= ((simd::vmax(a, b) - simd::vmin(a, b)) & colour) > cut;
  }
  uint64_t halves[2];
  std::memcpy(halves, &over, 16);
  return (halves[0] | halves[1]) == 0;
}

// Where the subject plane says subject only because the frame departs from a fill (the
// still rule does not hold), the pixel's colour decides between the subject and the
// backdrop the move uncovered. Rows are independent: row bands give the same bytes.
// columns[x]: the core's column for frame column x, or -1 off the core's image.
// eightAtOnce: runs of eight pixels the still rule keeps are passed over at once.
void dropUncoveredBackdrop(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                           const uint8_t* footprint, int width, int firstRow, int lastRow,
                           int threshold, const UncoveredBackdrop& u,
                           const std::vector<int>& columns, bool eightAtOnce, uint8_t* subject) {
  // The fill has the texture around it smoothed away: a departure from it up to half as
  // much again as the cut is as likely the texture as the subject.
  const int nearFill = threshold + threshold / 2;
  const bool byEight = eightAtOnce && still != nullptr && footprint != nullptr && threshold >= 0;
  const uint8_t cut = static_cast<uint8_t>(std::min(threshold, 255));
  for (int y = firstRow; y < lastRow; ++y) {
    const long sy = std::lround(u.map.ay * y + u.map.by);
    if (sy < 0 || sy >= u.height) continue;
    const uint8_t* coreRow = u.core + static_cast<size_t>(sy) * u.width;
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      if (x + 8 <= width &&
          (noneOfEight(subject + i) ||
           (byEight && stillKeepsEight(frame, still, footprint, subject, i, cut)))) {
        x += 7;
        continue;
      }
      if (!subject[i] || columns[x] < 0 || !coreRow[columns[x]]) continue;
      const uint8_t* s = frame + i * 4;
      if (still != nullptr && footprint != nullptr && footprint[i]) {
        if (largestDifference(s, still + i * 4) <= threshold) continue;
      }
      // A colour the subject hardly shows, near the fill, is texture the fill missed.
      if (backdropColour(*u.odds, s) ||
          (rareInSubject(*u.odds, s) && largestDifference(s, backdrop + i * 4) <= nearFill))
        subject[i] = 0;
    }
  }
}

// A rectangle of the frame: columns x0 .. x1 - 1, rows y0 .. y1 - 1.
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int width() const { return x1 - x0; }
  int height() const { return y1 - y0; }
};

// The part of a whole-frame plane inside box.
std::vector<uint8_t> cropped(const std::vector<uint8_t>& plane, int width, const Box& box) {
  std::vector<uint8_t> out(static_cast<size_t>(box.width()) * box.height());
  for (int y = box.y0; y < box.y1; ++y)
    std::copy_n(plane.data() + static_cast<size_t>(y) * width + box.x0, box.width(),
                out.data() + static_cast<size_t>(y - box.y0) * box.width());
  return out;
}

// What the key makes at a pixel reads the subject up to kColourRadius + kEdgeRadius away
// (the colour window over the solid subject), and it marks pixels at most kStrandReach
// past the subject: parts of the subject more than kApart apart are keyed each in a box of
// its own, with the same bytes as one box round them all gives.
constexpr int kApart = 16;
static_assert(kApart > kStrandReach + kColourRadius + kEdgeRadius && kApart % 8 == 0,
              "parts keyed apart, their tiles read eight bytes a step");
// Past this many parts (noise over the whole frame) one box round them all costs less.
constexpr size_t kMostParts = 32;

// Chebyshev distance between two boxes' pixels; 0 when they overlap.
int gapBetween(const Box& a, const Box& b) {
  const int dx = std::max({0, b.x0 - a.x1 + 1, a.x0 - b.x1 + 1});
  const int dy = std::max({0, b.y0 - a.y1 + 1, a.y0 - b.y1 + 1});
  return std::max(dx, dy);
}

Box unionOf(const Box& a, const Box& b) {
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

Box grownInside(const Box& b, int margin, int width, int height) {
  return {std::max(0, b.x0 - margin), std::max(0, b.y0 - margin), std::min(width, b.x1 + margin),
          std::min(height, b.y1 + margin)};
}

// The subject's parts, each a bounding box grown by margin inside the frame, their pixels
// more than kApart apart: tiles kApart wide that hold subject and touch (diagonals too)
// make a part, and parts whose boxes come within kApart of each other are one.
std::vector<Box> subjectParts(const std::vector<uint8_t>& subject, int width, int height,
                              int margin) {
  const int tilesX = (width + kApart - 1) / kApart, tilesY = (height + kApart - 1) / kApart;
  const Box none{width, height, 0, 0};
  std::vector<Box> tiles(static_cast<size_t>(tilesX) * tilesY, none);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = subject.data() + static_cast<size_t>(y) * width;
    Box* tileRow = tiles.data() + static_cast<size_t>(y / kApart) * tilesX;
    for (int tx = 0; tx < tilesX; ++tx) {
      const int x0 = tx * kApart, x1 = std::min(width, x0 + kApart);
      bool empty = x1 - x0 == kApart;
      for (int k = 0; empty && k < kApart; k += 8) empty = noneOfEight(row + x0 + k);
      if (empty) continue;
      int first = x0;
      while (first < x1 && row[first] == 0) ++first;
      if (first == x1) continue;
      int last = x1;
      while (row[last - 1] == 0) --last;
      Box& t = tileRow[tx];
      t = {std::min(t.x0, first), std::min(t.y0, y), std::max(t.x1, last), y + 1};
    }
  }
  Box all = none;
  for (const Box& t : tiles) all = unionOf(all, t);
  std::vector<Box> parts;
  std::vector<int> stack;
  for (int start = 0; start < tilesX * tilesY; ++start) {
    if (tiles[start].x1 <= tiles[start].x0) continue;
    if (parts.size() == kMostParts) return {grownInside(all, margin, width, height)};
    Box part = tiles[start];
    tiles[start] = none;
    stack.assign(1, start);
    while (!stack.empty()) {
      const int t = stack.back();
      stack.pop_back();
      const int tx = t % tilesX, ty = t / tilesX;
      for (int ny = std::max(0, ty - 1); ny <= std::min(tilesY - 1, ty + 1); ++ny)
        for (int nx = std::max(0, tx - 1); nx <= std::min(tilesX - 1, tx + 1); ++nx) {
          Box& next = tiles[static_cast<size_t>(ny) * tilesX + nx];
          if (next.x1 <= next.x0) continue;
          part = unionOf(part, next);
          next = none;
          stack.push_back(ny * tilesX + nx);
        }
    }
    parts.push_back(part);
  }
  // Parts far apart may still have boxes that come near (a ring round a speck).
  for (bool merged = true; merged;) {
    merged = false;
    for (size_t i = 0; i < parts.size() && !merged; ++i)
      for (size_t j = i + 1; j < parts.size() && !merged; ++j)
        if (gapBetween(parts[i], parts[j]) <= kApart) {
          parts[i] = unionOf(parts[i], parts[j]);
          parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(j));
          merged = true;
        }
  }
  for (Box& b : parts) b = grownInside(b, margin, width, height);
  return parts;
}

// Where the subject was kept and the backdrop estimate is a fill more than kFillReach pixels
// from what it was filled from: the core eroded by that reach, over the part of the core's
// image that the frame's box maps to (grown by the reach, so the erosion inside it is the
// whole image's).
struct DeepCore {
  Box box;
  std::vector<uint8_t> plane;
  bool at(long x, long y) const {
    return x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1 &&
           plane[static_cast<size_t>(y - box.y0) * box.width() + (x - box.x0)] != 0;
  }
};

DeepCore deepCore(const UncoveredBackdrop& u, const Box& frameBox) {
  const long xa = std::lround(u.map.ax * frameBox.x0 + u.map.bx);
  const long xb = std::lround(u.map.ax * (frameBox.x1 - 1) + u.map.bx);
  const long ya = std::lround(u.map.ay * frameBox.y0 + u.map.by);
  const long yb = std::lround(u.map.ay * (frameBox.y1 - 1) + u.map.by);
  const auto inside = [](long v, int size) {
    return static_cast<int>(std::clamp<long>(v, 0, size));
  };
  DeepCore d;
  d.box = {inside(std::min(xa, xb) - kFillReach, u.width),
           inside(std::min(ya, yb) - kFillReach, u.height),
           inside(std::max(xa, xb) + 1 + kFillReach, u.width),
           inside(std::max(ya, yb) + 1 + kFillReach, u.height)};
  if (d.box.width() <= 0 || d.box.height() <= 0) return {};
  d.plane.resize(static_cast<size_t>(d.box.width()) * d.box.height());
  for (int y = d.box.y0; y < d.box.y1; ++y)
    std::copy_n(u.core + static_cast<size_t>(y) * u.width + d.box.x0, d.box.width(),
                d.plane.data() + static_cast<size_t>(y - d.box.y0) * d.box.width());
  morphH(d.plane, d.box.width(), d.box.height(), kFillReach, false);
  morphV(d.plane, d.box.width(), d.box.height(), kFillReach, false);
  return d;
}

enum class KeyWork { SubjectBox, WholeFrame };

// The frame-wide inputs of the key, read by each part's box.
struct KeyFrame {
  const uint8_t* frame;
  const uint8_t* backdrop;
  int width, height, threshold;
  const std::vector<uint8_t>* subject;
  const ParallelFor& parallel;
  const UncoveredBackdrop* uncovered;  // null when uncovered backdrop is not told by colour
  const std::vector<int>* coreColumns;
};

// The key inside box, where it lies wholly.
void keyInBox(const KeyFrame& whole, const Box& box, std::vector<uint8_t>& key);

std::vector<uint8_t> keyOf(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                           const uint8_t* footprint, int width, int height, int threshold,
                           const ParallelFor& parallel, KeyWork work,
                           const UncoveredBackdrop* uncovered) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * height;
  std::vector<uint8_t> key(n, 255);
  if (frame == nullptr || backdrop == nullptr) return key;
  std::vector<uint8_t> subject(n);
  const bool withUncovered =
      uncovered != nullptr && uncovered->core != nullptr && uncovered->odds != nullptr;
  std::vector<int> coreColumns;
  if (withUncovered) {
    coreColumns.resize(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
      const long sx = std::lround(uncovered->map.ax * x + uncovered->map.bx);
      coreColumns[x] = sx >= 0 && sx < uncovered->width ? static_cast<int>(sx) : -1;
    }
  }
  // Both per-pixel passes read and write nothing across pixels: row bands give the same bytes.
  inRowBands(height, parallel, [&](int firstRow, int lastRow) {
    const size_t first = static_cast<size_t>(firstRow) * width;
    subjectPixels(frame + first * 4, backdrop + first * 4, still ? still + first * 4 : nullptr,
                  footprint ? footprint + first : nullptr,
                  static_cast<size_t>(lastRow - firstRow) * width, threshold,
                  subject.data() + first);
    if (withUncovered)
      dropUncoveredBackdrop(frame, backdrop, still, footprint, width, firstRow, lastRow, threshold,
                            *uncovered, coreColumns, work == KeyWork::SubjectBox, subject.data());
  });
  // What the masks below mark lies at most kStrandReach pixels past the subject (the flanks,
  // the ring), and an erosion past a clear margin reads only backdrop, as it would in the
  // whole frame: they are made on each part's box, grown by that margin, alone.
  const KeyFrame whole{frame,       backdrop, width,    height,
                       threshold,   &subject, parallel, withUncovered ? uncovered : nullptr,
                       &coreColumns};
  if (work == KeyWork::WholeFrame) {
    keyInBox(whole, Box{0, 0, width, height}, key);
  } else {
    for (const Box& box : subjectParts(subject, width, height, kStrandReach))
      keyInBox(whole, box, key);
  }
  return key;
}

void keyInBox(const KeyFrame& whole, const Box& box, std::vector<uint8_t>& key) {
  const uint8_t* const frame = whole.frame;
  const uint8_t* const backdrop = whole.backdrop;
  const int width = whole.width, height = whole.height, threshold = whole.threshold;
  const std::vector<uint8_t>& subject = *whole.subject;
  const UncoveredBackdrop* const uncovered = whole.uncovered;
  const bool withUncovered = uncovered != nullptr;
  const std::vector<int>& coreColumns = *whole.coreColumns;
  const int bw = box.width(), bh = box.height();
  const size_t bn = static_cast<size_t>(bw) * bh;
  const std::vector<uint8_t> boxed = cropped(subject, width, box);
  // The box's planes are read at box(x, y) for frame pixels inside it; every subject
  // pixel is.
  const auto boxAt = [&](int x, int y) {
    return static_cast<size_t>(y - box.y0) * static_cast<size_t>(bw) + (x - box.x0);
  };
  // Specks (noise, a backdrop detail a fraction of a pixel off) are not subject: only what
  // lies near a solid 3x3 block of subject stays.
  std::vector<uint8_t> solid = boxed;
  morphH(solid, bw, bh, 1, false);
  morphV(solid, bw, bh, 1, false);
  std::vector<uint8_t> near = solid;
  morphH(near, bw, bh, 1 + kEdgeRadius, true);
  morphV(near, bw, bh, 1 + kEdgeRadius, true);
  // Thin subject (strands of hair, a cable) is no solid block, yet it hangs from one.
  const std::vector<uint8_t> hanging = joinedTo(solid, boxed, bw, bh);
  // A strand's soft flanks differ from the backdrop by less than the threshold: the pixels
  // beside it are weighed too, as strand. Not so beside a solid block (see the ring below),
  // where texture the estimate missed (a fill where a move uncovered the backdrop) would
  // creep in.
  std::vector<uint8_t> clear = solid;
  morphH(clear, bw, bh, 1, true);
  morphV(clear, bw, bh, 1, true);
  std::vector<uint8_t> weighed(bn), beside(bn);
  // Every plane here holds 0 or 255 alone: bitwise operations are the logic, with no branch.
  // They go through plain pointers: to the compiler a byte stored through operator[] might
  // be the vector's own pointer, and the loop would stay a byte at a time.
  const uint8_t* const boxedAt = boxed.data();
  const uint8_t* const nearAt = near.data();
  const uint8_t* const hangingAt = hanging.data();
  const uint8_t* const clearAt = clear.data();
  uint8_t* const weighedAt = weighed.data();
  uint8_t* const besideAt = beside.data();
  for (size_t i = 0; i < bn; ++i) {
    weighedAt[i] = static_cast<uint8_t>(boxedAt[i] & (nearAt[i] | hangingAt[i]));
    besideAt[i] = static_cast<uint8_t>(hangingAt[i] & ~clearAt[i]);
  }
  std::vector<uint8_t> flanks = beside;
  morphH(beside, bw, bh, 1, true);
  morphV(beside, bw, bh, 1, true);
  // A free strand's flanks fade over a few pixels, each too faint to key, together a share
  // of it that the composite would otherwise give wholly to the new background. They are
  // weighed too where the backdrop is known or a fill near it (the edge the service painted
  // over, a kept strand). Deep inside the place the subject was kept, the fill is the
  // subject's width across, and texture it missed would pass for a flank.
  if (withUncovered) {
    morphH(flanks, bw, bh, kStrandReach, true);
    morphV(flanks, bw, bh, kStrandReach, true);
    const DeepCore deep = deepCore(*uncovered, box);
    uint8_t* const besideFlanks = beside.data();
    for (int y = box.y0; y < box.y1; ++y) {
      const long sy = std::lround(uncovered->map.ay * y + uncovered->map.by);
      if (sy < 0 || sy >= uncovered->height) continue;
      const uint8_t* const flankRow = flanks.data() + boxAt(box.x0, y);
      for (int x = box.x0; x < box.x1; ++x) {
        if (x + 8 <= box.x1 && noneOfEight(flankRow + (x - box.x0))) {
          x += 7;
          continue;
        }
        const size_t j = boxAt(x, y);
        if (!flankRow[x - box.x0] || besideFlanks[j] || coreColumns[x] < 0 ||
            deep.at(coreColumns[x], sy) ||
            backdrop[(static_cast<size_t>(y) * width + x) * 4 + 3] != 255)
          continue;
        besideFlanks[j] = 255;
      }
    }
  }
  // The pixel next to a solid edge holds its anti-aliased flank, also under the threshold:
  // that ring is weighed against the solid subject's colour alone, less its doubt, so that
  // texture the estimate missed there passes for nothing.
  std::vector<uint8_t> ring(bn);
  uint8_t* ringAt = ring.data();
  for (size_t i = 0; i < bn; ++i) ringAt[i] = static_cast<uint8_t>(boxedAt[i] & nearAt[i]);
  morphH(ring, bw, bh, 1, true);
  morphV(ring, bw, bh, 1, true);
  ringAt = ring.data();
  uint8_t* const besideNow = beside.data();
  for (size_t i = 0; i < bn; ++i) {
    ringAt[i] = static_cast<uint8_t>(ringAt[i] & ~boxedAt[i] & ~besideNow[i]);
    besideNow[i] = static_cast<uint8_t>(besideNow[i] | weighedAt[i] | ringAt[i]);
  }
  std::vector<uint8_t> inner = boxed;
  morphH(inner, bw, bh, kEdgeRadius, false);
  morphV(inner, bw, bh, kEdgeRadius, false);

  inRowBands(bh, whole.parallel, [&](int firstBoxRow, int lastBoxRow) {
    const int firstRow = box.y0 + firstBoxRow, lastRow = box.y0 + lastBoxRow;
    // Running sums of the solid subject's count and colours along the rows of the box this
    // band's windows reach, made at its first edge pixel: a window's sums are then a
    // difference per row. Whole numbers, so summed in a float they are exact (169 bytes at
    // most), as the pixel-by-pixel float sum is.
    const int runFirst = std::max(box.y0, firstRow - kColourRadius);
    const int runLast = std::min(box.y1, lastRow + kColourRadius);
    const size_t stride = (static_cast<size_t>(bw) + 1) * 4;
    std::vector<uint32_t> solidRuns;
    const auto makeRuns = [&] {
      solidRuns.resize(stride * static_cast<size_t>(std::max(0, runLast - runFirst)));
      for (int y = runFirst; y < runLast; ++y) {
        uint32_t* run = solidRuns.data() + static_cast<size_t>(y - runFirst) * stride;
        const uint8_t* solidRow = inner.data() + boxAt(box.x0, y);
        const uint8_t* q = frame + (static_cast<size_t>(y) * width + box.x0) * 4;
        run[0] = run[1] = run[2] = run[3] = 0;
        for (int x = 0; x < bw; ++x, q += 4) {
          const uint32_t on = solidRow[x] ? 0xFFFFFFFFu : 0u;
          run[4 * x + 4] = run[4 * x] + (q[0] & on);
          run[4 * x + 5] = run[4 * x + 1] + (q[1] & on);
          run[4 * x + 6] = run[4 * x + 2] + (q[2] & on);
          run[4 * x + 7] = run[4 * x + 3] + (on & 1u);
        }
      }
    };
    for (int y = std::max(firstRow, box.y0); y < std::min(lastRow, box.y1); ++y) {
      const uint8_t* besideRow = beside.data() + boxAt(box.x0, y);
      const uint8_t* innerRow = inner.data() + boxAt(box.x0, y);
      uint8_t* keyRow = key.data() + static_cast<size_t>(y) * width;
      for (int x = box.x0; x < box.x1; ++x) {
        if (x + 8 <= box.x1 && noneOfEight(besideRow + (x - box.x0))) {
          x += 7;
          continue;
        }
        // Solid subject is weighed too (it is near itself), and is wholly subject.
        if (x + 8 <= box.x1 && allOfEight(innerRow + (x - box.x0))) {
          std::memset(keyRow + x, 0, 8);
          x += 7;
          continue;
        }
        if (!besideRow[x - box.x0]) continue;  // backdrop: the background shows
        const size_t i = static_cast<size_t>(y) * width + x;
        const size_t inBox = boxAt(x, y);
        if (inner[inBox]) {
          key[i] = 0;
          continue;
        }
        // Mean colour of the solid subject around the edge pixel.
        const int wx0 = std::max(0, x - kColourRadius),
                  wx1 = std::min(width - 1, x + kColourRadius);
        const int wy0 = std::max(0, y - kColourRadius),
                  wy1 = std::min(height - 1, y + kColourRadius);
        // No solid subject lies outside the box: the window's sums are taken within it.
        if (solidRuns.empty()) makeRuns();
        uint32_t whole[4] = {0, 0, 0, 0};
        const int bx0 = std::max(wx0, box.x0) - box.x0, bx1 = std::min(wx1, box.x1 - 1) - box.x0;
        for (int yy = std::max(wy0, box.y0); yy <= std::min(wy1, box.y1 - 1) && bx0 <= bx1; ++yy) {
          const uint32_t* run = solidRuns.data() + static_cast<size_t>(yy - runFirst) * stride;
          for (int k = 0; k < 4; ++k) whole[k] += run[4 * (bx1 + 1) + k] - run[4 * bx0 + k];
        }
        const float sum[4] = {static_cast<float>(whole[0]), static_cast<float>(whole[1]),
                              static_cast<float>(whole[2]), static_cast<float>(whole[3])};
        float sb[3];
        for (int k = 0; k < 3; ++k)
          sb[k] = static_cast<float>(frame[i * 4 + k] - backdrop[i * 4 + k]);
        // The subject nearby that is not solid, looked through only where a rule below asks:
        // its most distinct pixel (the core of a strand, whose colour is nearer the strand's
        // own than the solid subject's is), and the pixel that departs furthest from its
        // backdrop the way this one does (a strand's core even where the solid subject beside
        // it has another colour).
        int strongest = -1;
        size_t core = i;
        float furthest = 0.0f;
        size_t alike = i;
        const auto lookAround = [&] {
          for (int yy = wy0; yy <= wy1; ++yy) {
            const size_t row = static_cast<size_t>(yy) * width;
            for (int xx = wx0; xx <= wx1; ++xx) {
              const size_t j = row + xx;
              if (!subject[j] || inner[boxAt(xx, yy)]) continue;
              const uint8_t* q = frame + j * 4;
              const uint8_t* b = backdrop + j * 4;
              const int d = largestDifference(q, b);
              if (d > strongest) strongest = d, core = j;
              const float along =
                  (q[0] - b[0]) * sb[0] + (q[1] - b[1]) * sb[1] + (q[2] - b[2]) * sb[2];
              if (along > furthest) furthest = along, alike = j;
            }
          }
        };
        // Frame = a F + (1 - a) B: the share a of a subject colour F along B -> F.
        // unclear: the share when F is too near the backdrop to be told from it.
        const auto share = [&](const float f[3], float unclear) {
          float num = 0.0f, den = 0.0f;
          for (int k = 0; k < 3; ++k) {
            const float along = f[k] - backdrop[i * 4 + k];
            num += (frame[i * 4 + k] - backdrop[i * 4 + k]) * along;
            den += along * along;
          }
          const float minDen = static_cast<float>(threshold) * threshold;
          return den > minDen ? std::clamp(num / den, 0.0f, 1.0f) : unclear;
        };
        // The least subject share that keeps its colour F = B + (frame - B) / a inside 0..255:
        // for a strand of another colour than the solid subject nearby (dark hair by a face)
        // the projection on the solid subject's colour reads far too little subject.
        float least = 0.0f;
        for (int k = 0; k < 3; ++k) {
          const float b = backdrop[i * 4 + k], v = frame[i * 4 + k];
          if (v > b) least = std::max(least, (v - b) / (255.0f - b));
          if (v < b) least = std::max(least, (b - v) / b);
        }
        least = std::min(least, 1.0f);
        float a = least;
        if (ring[inBox]) {
          a = 0.0f;
          if (sum[3] >= 0.5f) {
            const float mean[3] = {sum[0] / sum[3], sum[1] / sum[3], sum[2] / sum[3]};
            // What of the pixel's departure lies off the line toward the subject's colour is
            // error (noise, texture the estimate missed); the same again may hide along it.
            float sb2 = 0.0f, fb2 = 0.0f, dot = 0.0f;
            for (int k = 0; k < 3; ++k) {
              const float f = mean[k] - backdrop[i * 4 + k];
              sb2 += sb[k] * sb[k];
              fb2 += f * f;
              dot += sb[k] * f;
            }
            const float off =
                fb2 > 0.0f ? std::sqrt(std::max(0.0f, sb2 - dot * dot / fb2) / fb2) : 1.0f;
            a = std::max(0.0f, share(mean, 0.0f) - std::max(kRingDoubt, off));
          }
        } else if (sum[3] >= 0.5f) {
          const float mean[3] = {sum[0] / sum[3], sum[1] / sum[3], sum[2] / sum[3]};
          a = std::max(share(mean, 1.0f), least);
          // Darker than its backdrop beside a brighter subject, or the other way about (dark
          // hair by a face): the solid subject's colour says nothing, and the least share
          // takes the strand for black. Its own core's colour is read as for a far strand.
          const float toMean = (mean[0] - backdrop[i * 4]) * sb[0] +
                               (mean[1] - backdrop[i * 4 + 1]) * sb[1] +
                               (mean[2] - backdrop[i * 4 + 2]) * sb[2];
          // Further from the backdrop than the solid subject's colour, past what its own
          // shading allows, the pixel is no mix of that colour and the backdrop but another
          // (a dark strand across a bright window, read as wholly subject): it too is read by
          // its own core's colour alone.
          float meanAway = 0.0f;
          for (int k = 0; k < 3; ++k) {
            const float f = mean[k] - backdrop[i * 4 + k];
            meanAway += f * f;
          }
          const bool beyond = !solid[inBox] &&
                              meanAway > static_cast<float>(threshold) * threshold &&
                              toMean > kBeyondSolid * meanAway;
          const bool ownColour = (toMean <= 0.0f || beyond) && subject[i];
          if (ownColour) lookAround();
          if (ownColour && alike != i &&
              furthest > kStrandCore * kStrandCore * threshold * threshold) {
            const float alikeColour[3] = {static_cast<float>(frame[alike * 4]),
                                          static_cast<float>(frame[alike * 4 + 1]),
                                          static_cast<float>(frame[alike * 4 + 2])};
            const float byCore = 0.5f * (least + share(alikeColour, 1.0f));
            a = beyond ? std::max(least, byCore) : std::max(a, byCore);
          }
        } else {
          lookAround();
          if (strongest >= 0) {
            // A strand with no solid subject near: its core is itself partly backdrop, so the
            // share read against the core's colour is too high about as much as the least
            // share is too low; the estimate takes the middle.
            const float coreColour[3] = {static_cast<float>(frame[core * 4]),
                                         static_cast<float>(frame[core * 4 + 1]),
                                         static_cast<float>(frame[core * 4 + 2])};
            a = std::max(least, 0.5f * (least + share(coreColour, 1.0f)));
          }
        }
        key[i] = static_cast<uint8_t>(std::lround((1.0f - a) * 255.0f));
      }
    }
  });
}

}  // namespace

std::vector<uint8_t> differenceKey(const uint8_t* frame, const uint8_t* backdrop,
                                   const uint8_t* still, const uint8_t* footprint, int width,
                                   int height, int threshold, const ParallelFor& parallel,
                                   const UncoveredBackdrop* uncovered) {
  return keyOf(frame, backdrop, still, footprint, width, height, threshold, parallel,
               KeyWork::SubjectBox, uncovered);
}

std::vector<uint8_t> differenceKeyPlain(const uint8_t* frame, const uint8_t* backdrop,
                                        const uint8_t* still, const uint8_t* footprint, int width,
                                        int height, int threshold,
                                        const UncoveredBackdrop* uncovered) {
  return keyOf(frame, backdrop, still, footprint, width, height, threshold, {}, KeyWork::WholeFrame,
               uncovered);
}

namespace {

// One output pixel by the whole rule.
inline void refinedPixel(const RefinedLayers& L, size_t i, float blend) {
  const uint8_t* s = L.source + i * 4;
  const uint8_t* nb = L.plate + i * 4;
  uint8_t* o = L.output + i * 4;
  const uint8_t mByte = L.mask ? L.mask[i] : 255;
  const uint8_t kByte = L.key && L.backdrop ? L.key[i] : 0;
  // Most pixels are wholly subject or wholly background: the rule below gives exactly
  // the source or exactly the plate there.
  if ((mByte == 0 && kByte == 0) || blend == 0.0f) {
    o[0] = s[0], o[1] = s[1], o[2] = s[2], o[3] = 255;
    return;
  }
  if (mByte == 255 && blend == 1.0f) {
    o[0] = nb[0], o[1] = nb[1], o[2] = nb[2], o[3] = 255;
    return;
  }
  const float m = mByte / 255.0f * blend;
  const float k = kByte / 255.0f * blend;
  // The frame as it would look over the new background: its backdrop share k
  // exchanged for the plate (plate-difference rule). The mask is the share of
  // background wanted in all; dec already holds k of it, the plate gives the rest.
  // A whole mask is the plate alone, so the background layer holds nothing of the source.
  const float rest = m >= 1.0f ? 1.0f : m <= k ? 0.0f : (m - k) / (1.0f - k);
  float rgb[3];
  for (int c = 0; c < 3; ++c) {
    float dec = s[c];
    if (k > 0.0f) dec = std::clamp(s[c] + k * (nb[c] - L.backdrop[i * 4 + c]), 0.0f, 255.0f);
    rgb[c] = dec + rest * (nb[c] - dec);
  }
  for (int c = 0; c < 3; ++c) o[c] = static_cast<uint8_t>(std::clamp(rgb[c] + 0.5f, 0.0f, 255.0f));
  o[3] = 255;
}

// Eight pixels' colours from one image, alpha 255; from may be to. The alpha bytes are set
// by one OR in vector registers: bytes stored one by one into a buffer then read back whole
// stall the load on most processors.
void opaqueEight(const uint8_t* from, uint8_t* to) {
  const simd::U8x16 alpha = reinterpret_cast<simd::U8x16>(simd::U32x4{} + 0xFF000000u);
  const simd::U8x16 lo = simd::load(from) | alpha, hi = simd::load(from + 16) | alpha;
  simd::store(to, lo);
  simd::store(to + 16, hi);
}

bool rowRangeValid(const RefinedLayers& L, int& firstRow, int& lastRow) {
  if (L.source == nullptr || L.output == nullptr || L.plate == nullptr || L.width <= 0)
    return false;
  firstRow = std::max(firstRow, 0);
  lastRow = std::min(lastRow, L.height);
  return true;
}

}  // namespace

void compositeRefinedRowsPlain(const RefinedLayers& L, int firstRow, int lastRow) {
  if (!rowRangeValid(L, firstRow, lastRow)) return;
  const float blend = std::clamp(L.blend, 0.0f, 1.0f);
  for (int y = firstRow; y < lastRow; ++y)
    for (int x = 0; x < L.width; ++x) refinedPixel(L, static_cast<size_t>(y) * L.width + x, blend);
}

void compositeRefinedRows(const RefinedLayers& L, int firstRow, int lastRow) {
  if (!rowRangeValid(L, firstRow, lastRow)) return;
  const float blend = std::clamp(L.blend, 0.0f, 1.0f);
  const bool withKey = L.key != nullptr && L.backdrop != nullptr;
  const uint64_t kAll = ~uint64_t{0};
  for (int y = firstRow; y < lastRow; ++y) {
    const size_t row = static_cast<size_t>(y) * L.width;
    for (int x = 0; x < L.width;) {
      const size_t i = row + x;
      // Eight pixels wholly subject or wholly background take the source or the plate as
      // they stand.
      if (x + 8 <= L.width) {
        uint64_t m8 = kAll, k8 = 0;
        if (L.mask) std::memcpy(&m8, L.mask + i, 8);
        if (withKey) std::memcpy(&k8, L.key + i, 8);
        if ((m8 == 0 && k8 == 0) || blend == 0.0f) {
          opaqueEight(L.source + i * 4, L.output + i * 4);
          x += 8;
          continue;
        }
        if (m8 == kAll && blend == 1.0f) {
          opaqueEight(L.plate + i * 4, L.output + i * 4);
          x += 8;
          continue;
        }
      }
      refinedPixel(L, i, blend);
      ++x;
    }
  }
}
