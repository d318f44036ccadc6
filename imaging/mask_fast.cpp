// Fast morphology and box blur. Both directions run one "down the rows" kernel whose
// inner loops walk contiguous bytes sixteen at a time: the vertical pass on the image rows,
// the horizontal pass on 16-row strips transposed so that image columns become rows.
//
// Morphology uses van Herk / Gil-Werman block prefix and suffix extrema, three min/max
// per pixel whatever the radius; the clipped window equals a window over a sequence padded
// with the operation's identity (0 for max, 255 for min). The box blur keeps running
// column sums and divides exactly by multiply-high.
#include "imaging/imaging.h"
#include "imaging/mask_rules.h"
#include "imaging/simd.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

using simd::U16x8;
using simd::U8x16;

namespace {

bool validGray(const std::vector<uint8_t>& mask, int width, int height) {
  return width > 0 && height > 0 &&
         mask.size() == static_cast<size_t>(width) * static_cast<size_t>(height);
}

template <bool Dilate>
inline U8x16 pick(U8x16 a, U8x16 b) {
  return Dilate ? simd::vmax(a, b) : simd::vmin(a, b);
}
template <bool Dilate>
inline uint8_t pick(uint8_t a, uint8_t b) {
  return Dilate ? std::max(a, b) : std::min(a, b);
}

// Row widths: kStrip for transposed strips (one vector, known at compile time), or any
// width given at run time (kAnyWidth).
constexpr int kStrip = 16;
constexpr int kAnyWidth = 0;

// dst = pick(a, b) over w bytes; dst may alias a.
template <bool Dilate, int W>
inline void pickRows(uint8_t* dst, const uint8_t* a, const uint8_t* b, int w) {
  if (W == kStrip) {
    simd::store(dst, pick<Dilate>(simd::load(a), simd::load(b)));
    return;
  }
  int x = 0;
  for (; x + 16 <= w; x += 16)
    simd::store(dst + x, pick<Dilate>(simd::load(a + x), simd::load(b + x)));
  for (; x < w; ++x) dst[x] = pick<Dilate>(a[x], b[x]);
}

template <int W>
inline void copyRow(uint8_t* dst, const uint8_t* src, int w) {
  if (W == kStrip) simd::store(dst, simd::load(src));
  else std::memcpy(dst, src, static_cast<size_t>(w));
}

// out row y = extremum of in rows max(y - r, 0) .. min(y + r, n - 1); rows are w bytes.
// Requires 1 <= r <= n - 1. The padded sequence (identity rows for indices -r .. -1 and
// n .. n - 1 + r) is cut into blocks of k = 2r + 1 starting at -r; window [y - r, y + r]
// is the suffix of one block at y - r joined with the prefix of the next up to y + r.
// Each block's suffixes are taken when the walk enters the block, before any of its rows
// is overwritten, and row y is written only after row y + r was read: so out may be in.
// hPrev, hCur: k * w scratch each; acc: w scratch.
template <bool Dilate, int W>
void vanHerkRows(const uint8_t* in, uint8_t* out, int n, int w, int r, uint8_t* hPrev,
                 uint8_t* hCur, uint8_t* acc) {
  if (W == kStrip) w = kStrip;
  const int k = 2 * r + 1;
  const uint8_t identity = Dilate ? 0 : 255;
  const auto row = [&](int i) { return in + static_cast<size_t>(i) * w; };
  const auto suffixes = [&](int start, uint8_t* h) {
    for (int j = k - 1; j >= 0; --j) {
      const int i = start + j;
      uint8_t* dst = h + static_cast<size_t>(j) * w;
      const uint8_t* above = h + static_cast<size_t>(j + 1) * w;
      if (i < 0 || i >= n) {
        if (j == k - 1) std::memset(dst, identity, static_cast<size_t>(w));
        else copyRow<W>(dst, above, w);
      } else if (j == k - 1) {
        copyRow<W>(dst, row(i), w);
      } else {
        pickRows<Dilate, W>(dst, above, row(i), w);
      }
    }
  };
  const uint8_t* g = nullptr;  // running prefix of the current block; nullptr: padding only
  int blockStart = -r;
  for (int i = -r; i <= n - 1 + r; ++i) {
    if (i - blockStart == k || i == -r) {
      if (i != -r) blockStart = i;
      std::swap(hPrev, hCur);
      suffixes(blockStart, hCur);
      g = nullptr;
    }
    if (i >= 0 && i < n) {
      if (g == nullptr) {
        g = row(i);
      } else {
        pickRows<Dilate, W>(acc, g, row(i), w);
        g = acc;
      }
    }
    if (i >= r) {
      const int p = i - 2 * r;  // start of the window, in this block or the previous one
      const uint8_t* h = p >= blockStart ? hCur + static_cast<size_t>(p - blockStart) * w
                                         : hPrev + static_cast<size_t>(p - blockStart + k) * w;
      uint8_t* dst = out + static_cast<size_t>(i - r) * w;
      if (g == nullptr) copyRow<W>(dst, h, w);
      else pickRows<Dilate, W>(dst, h, g, w);
    }
  }
}

// floor(sum / d) for every sum <= 255 * d, as mulhi(sum, m) >> s. With k = 16 + s and
// m = ceil(2^k / d), the error e = m*d - 2^k < d gives sum*e < 255*d^2 <= 2^k, which keeps
// the quotient exact; m below 2^16 needs d <= 128 (d = 1 is the identity).
struct Divisor {
  uint16_t m = 0;
  int s = 0;
};
constexpr int kMaxFastWindow = 128;

Divisor divisorFor(int d) {
  Divisor dv;
  for (int s = 0; s < 16; ++s) {
    const uint64_t k2 = 1ull << (16 + s);
    const uint64_t m = (k2 + d - 1) / d;
    if (k2 >= 255ull * d * d && m <= 0xffff) {
      dv.m = static_cast<uint16_t>(m);
      dv.s = s;
      break;
    }
  }
  return dv;
}

const Divisor* divisorTable() {
  static const struct Table {
    Divisor d[kMaxFastWindow + 1];
    Table() {
      for (int i = 2; i <= kMaxFastWindow; ++i) d[i] = divisorFor(i);
    }
  } table;
  return table.d;
}

inline U8x16 divide16(U16x8 lo, U16x8 hi, int d, const Divisor* div) {
  if (d == 1) return simd::narrow(lo, hi);
  const Divisor dv = div[d];
  return simd::narrow(simd::mulhi(lo, dv.m) >> dv.s, simd::mulhi(hi, dv.m) >> dv.s);
}

// What a pass stores: its value as it is, or mapped with the index of the byte in the
// output (the last pass of buildMask merges the two ramps as it stores).
struct Identity {
  U8x16 operator()(size_t, U8x16 v) const { return v; }
  uint8_t operator()(size_t, uint8_t v) const { return v; }
};

// out row y = mean of in rows over the clipped window of radius r, truncated, stored
// through finish. Requires 1 <= r <= n - 1 and min(2r + 1, n) <= kMaxFastWindow. sums: w
// 16-bit lanes; ring: (r + 1) * w bytes keeping the rows still to leave the window, so out
// may be in.
template <int W, class Finish = Identity>
void boxRows(const uint8_t* in, uint8_t* out, int n, int w, int r, uint16_t* sums, uint8_t* ring,
             Finish finish = Finish{}) {
  const Divisor* div = divisorTable();
  if (W == kStrip) w = kStrip;
  const auto row = [&](int i) { return in + static_cast<size_t>(i) * w; };
  std::fill(sums, sums + w, 0);
  for (int i = 0; i < r; ++i) {
    const uint8_t* src = row(i);
    for (int x = 0; x < w; ++x) sums[x] = static_cast<uint16_t>(sums[x] + src[x]);
  }
  const uint8_t zero[16] = {};
  for (int y = 0; y < n; ++y) {
    // Slide the window: row y + r enters, row y - r - 1 leaves. Both rows share ring slot
    // y mod (r + 1), so the leaving row is read from it just before row y is saved there.
    const uint8_t* add = y + r <= n - 1 ? row(y + r) : zero;
    const bool leaves = y - r - 1 >= 0;
    uint8_t* slot = ring + static_cast<size_t>(y % (r + 1)) * w;
    const int d = std::min(y + r, n - 1) - std::max(y - r, 0) + 1;
    const uint8_t* self = row(y);
    const size_t base = static_cast<size_t>(y) * w;
    uint8_t* dst = out + base;
    const bool addVaries = add != zero;
    int x = 0;
    for (; x + 16 <= w; x += 16) {
      const U8x16 a = simd::load(addVaries ? add + x : zero);
      const U8x16 s = leaves ? simd::load(slot + x) : U8x16{};
      simd::store(slot + x, simd::load(self + x));
      U16x8 lo, hi;
      std::memcpy(&lo, sums + x, 16);
      std::memcpy(&hi, sums + x + 8, 16);
      lo += simd::widenLo(a) - simd::widenLo(s);
      hi += simd::widenHi(a) - simd::widenHi(s);
      std::memcpy(sums + x, &lo, 16);
      std::memcpy(sums + x + 8, &hi, 16);
      simd::store(dst + x, finish(base + x, divide16(lo, hi, d, div)));
    }
    for (; x < w; ++x) {
      const uint8_t s = leaves ? slot[x] : 0;
      slot[x] = self[x];
      sums[x] = static_cast<uint16_t>(sums[x] + (addVaries ? add[x] : 0) - s);
      dst[x] = finish(base + x, static_cast<uint8_t>(sums[x] / d));
    }
  }
}

// Runs a rows kernel along image rows: each strip of up to 16 rows of src is transposed
// into `width` rows of 16 bytes (after `prepare`, a map applied on the way in),
// processed into another such buffer, and transposed back into dst. A strip is fully read
// before it is written, so src may equal dst.
template <class Prepare, class Kernel>
void alongRows(const uint8_t* src, uint8_t* dst, int width, int height, Prepare prepare,
               Kernel kernel) {
  const size_t tBytes = static_cast<size_t>(width) * 16;
  std::vector<uint8_t> t(tBytes), tOut(tBytes);
  U8x16 blk[16];
  for (int y0 = 0; y0 < height; y0 += 16) {
    const int rows = std::min(16, height - y0);
    const uint8_t* in = src + static_cast<size_t>(y0) * width;
    uint8_t* out = dst + static_cast<size_t>(y0) * width;
    for (int x0 = 0; x0 < width; x0 += 16) {
      const int cols = std::min(16, width - x0);
      if (rows == 16 && cols == 16) {
        for (int i = 0; i < 16; ++i) blk[i] = simd::load(in + static_cast<size_t>(i) * width + x0);
      } else {
        for (int i = 0; i < 16; ++i) {
          blk[i] = U8x16{};
          if (i < rows) std::memcpy(&blk[i], in + static_cast<size_t>(i) * width + x0, cols);
        }
      }
      for (int i = 0; i < 16; ++i) blk[i] = prepare(size_t{0}, blk[i]);
      simd::transpose(blk);
      for (int j = 0; j < cols; ++j)
        simd::store(t.data() + static_cast<size_t>(x0 + j) * 16, blk[j]);
    }
    kernel(t.data(), tOut.data(), width);
    for (int x0 = 0; x0 < width; x0 += 16) {
      const int cols = std::min(16, width - x0);
      for (int j = 0; j < 16; ++j)
        blk[j] = j < cols ? simd::load(tOut.data() + static_cast<size_t>(x0 + j) * 16) : U8x16{};
      simd::transpose(blk);
      if (rows == 16 && cols == 16) {
        for (int i = 0; i < 16; ++i) simd::store(out + static_cast<size_t>(i) * width + x0, blk[i]);
      } else {
        for (int i = 0; i < rows; ++i)
          std::memcpy(out + static_cast<size_t>(i) * width + x0, &blk[i], cols);
      }
    }
  }
}

// Scratch for the kernels on rows of w bytes: van Herk block suffixes for radii up to
// maxRadius, accumulator, blur sums and a ring of saved rows, and (for strips) a whole
// intermediate strip of `rows` rows.
struct Scratch {
  std::vector<uint8_t> hPrev, hCur, acc, ring, tmp;
  std::vector<uint16_t> sums;
  Scratch(size_t w, int maxRadius, size_t rows = 0)
      : hPrev((2 * static_cast<size_t>(maxRadius) + 1) * w),
        hCur(hPrev.size()),
        acc(w),
        ring((static_cast<size_t>(maxRadius) + 1) * w),
        tmp(rows * w),
        sums(w) {}
};

// One morphology along the rows of a strip (n = image width, 16 lanes).
void stripMorph(const uint8_t* in, uint8_t* out, int n, int r, bool dilate, Scratch& s) {
  if (dilate)
    vanHerkRows<true, kStrip>(in, out, n, kStrip, r, s.hPrev.data(), s.hCur.data(), s.acc.data());
  else
    vanHerkRows<false, kStrip>(in, out, n, kStrip, r, s.hPrev.data(), s.hCur.data(), s.acc.data());
}

void columnMorph(const uint8_t* in, uint8_t* out, int width, int height, int r, bool dilate,
                 Scratch& s) {
  if (dilate)
    vanHerkRows<true, kAnyWidth>(in, out, height, width, r, s.hPrev.data(), s.hCur.data(),
                                 s.acc.data());
  else
    vanHerkRows<false, kAnyWidth>(in, out, height, width, r, s.hPrev.data(), s.hCur.data(),
                                  s.acc.data());
}

// Blur windows beyond the multiply-high divisor range take the plain path.
bool fastBlurRange(int width, int height, int radius) {
  const int rh = std::min(radius, width - 1);
  const int rv = std::min(radius, height - 1);
  return std::min(2 * rh + 1, width) <= kMaxFastWindow &&
         std::min(2 * rv + 1, height) <= kMaxFastWindow;
}

// One feathered ramp from the core: morphology of radius r in both directions, then the
// box blur of the same radius, horizontal pass first. Morphology along rows and along
// columns commute (both are extrema over the square), so the column pass runs first and
// the row pass shares its transposed strip with the horizontal blur. The result is stored
// through finish into dst, which may be out itself or another frame-sized buffer.
template <class Finish = Identity>
void featherRamp(const uint8_t* core, uint8_t* out, int width, int height, int r, bool dilate,
                 Scratch& cols, Scratch& strip, uint8_t* dst, Finish finish = Finish{}) {
  const int rh = std::min(r, width - 1), rv = std::min(r, height - 1);
  if (rv > 0) columnMorph(core, out, width, height, rv, dilate, cols);
  else std::memcpy(out, core, static_cast<size_t>(width) * height);
  if (rh > 0) {
    alongRows(out, out, width, height, Identity{}, [&](const uint8_t* in, uint8_t* o, int n) {
      stripMorph(in, strip.tmp.data(), n, rh, dilate, strip);
      boxRows<kStrip>(strip.tmp.data(), o, n, kStrip, rh, strip.sums.data(), strip.ring.data());
    });
  }
  if (rv > 0) {
    boxRows<kAnyWidth>(out, dst, height, width, rv, cols.sums.data(), cols.ring.data(), finish);
    return;
  }
  const size_t n = static_cast<size_t>(width) * height;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) simd::store(dst + i, finish(i, simd::load(out + i)));
  for (; i < n; ++i) dst[i] = finish(i, out[i]);
}

// Stores the inner ramp's byte where the core byte being replaced is set, else the value.
struct MergeRamps {
  const uint8_t* inner;
  const uint8_t* core;
  U8x16 operator()(size_t at, U8x16 v) const {
    const U8x16 k = simd::load(core + at);
    return (k & simd::load(inner + at)) | (~k & v);
  }
  uint8_t operator()(size_t at, uint8_t v) const { return core[at] == 255 ? inner[at] : v; }
};

// Working buffers lent out for one buildMask call and kept afterwards: a fresh buffer of a
// frame's size costs a page fault per 4 KB, more than a pass over it. At most kKeptBuffers
// stay (callers running at the same time beyond that get a fresh one), so the memory kept
// is bounded whatever the number of render threads.
constexpr size_t kKeptBuffers = 2;

struct BufferShelf {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> kept;
};

BufferShelf& bufferShelf() {
  static BufferShelf shelf;
  return shelf;
}

struct LentBuffer {
  std::vector<uint8_t> bytes;
  explicit LentBuffer(size_t n) {
    BufferShelf& shelf = bufferShelf();
    {
      std::lock_guard<std::mutex> lock(shelf.mutex);
      if (!shelf.kept.empty()) {
        bytes.swap(shelf.kept.back());
        shelf.kept.pop_back();
      }
    }
    if (bytes.size() < n) {
      bytes = std::vector<uint8_t>();  // let the old block go before taking the new one
      bytes.resize(n);
    }
  }
  ~LentBuffer() {
    BufferShelf& shelf = bufferShelf();
    std::lock_guard<std::mutex> lock(shelf.mutex);
    if (shelf.kept.size() < kKeptBuffers) shelf.kept.push_back(std::move(bytes));
  }
  LentBuffer(const LentBuffer&) = delete;
  LentBuffer& operator=(const LentBuffer&) = delete;
};

// A small window is read straight along each row: the row is copied between margins of the
// operation's neutral byte (a window clipped at the row's end reads as one that reaches
// into them), and each sixteen outputs take the extremum of 2r + 1 shifted loads. The
// transposed strips below pay a fixed toll per pixel that only a wide window repays.
constexpr int kDirectRadius = 4;

void morphRowsDirect(std::vector<uint8_t>& mask, int width, int height, int r, bool dilate) {
  const uint8_t neutral = dilate ? 0 : 255;
  std::vector<uint8_t> padded(static_cast<size_t>(width) + 2 * r + 16, neutral);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = mask.data() + static_cast<size_t>(y) * width;
    std::memcpy(padded.data() + r, row, static_cast<size_t>(width));
    const uint8_t* p = padded.data();
    int x = 0;
    for (; x + 16 <= width; x += 16) {
      U8x16 v = simd::load(p + x);
      for (int k = 1; k <= 2 * r; ++k)
        v = dilate ? simd::vmax(v, simd::load(p + x + k)) : simd::vmin(v, simd::load(p + x + k));
      simd::store(row + x, v);
    }
    for (; x < width; ++x) {
      uint8_t v = p[x];
      for (int k = 1; k <= 2 * r; ++k) v = dilate ? std::max(v, p[x + k]) : std::min(v, p[x + k]);
      row[x] = v;
    }
  }
}

}  // namespace

void morphH(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0 || width == 1) return;
  const int r = std::min(radius, width - 1);  // wider windows clip to the whole row
  if (r <= kDirectRadius) {
    morphRowsDirect(mask, width, height, r, dilate);
    return;
  }
  Scratch strip(kStrip, r);
  alongRows(
      mask.data(), mask.data(), width, height, Identity{},
      [&](const uint8_t* in, uint8_t* out, int n) { stripMorph(in, out, n, r, dilate, strip); });
}

void morphV(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0 || height == 1) return;
  const int r = std::min(radius, height - 1);
  Scratch cols(static_cast<size_t>(width), r);
  columnMorph(mask.data(), mask.data(), width, height, r, dilate, cols);
}

void boxBlur(std::vector<uint8_t>& mask, int width, int height, int radius) {
  if (!validGray(mask, width, height) || radius <= 0) return;
  if (!fastBlurRange(width, height, radius)) {
    boxBlurPlain(mask, width, height, radius);
    return;
  }
  const int rh = std::min(radius, width - 1);
  const int rv = std::min(radius, height - 1);
  if (rh > 0) {
    Scratch strip(kStrip, rh);
    alongRows(mask.data(), mask.data(), width, height, Identity{},
              [&](const uint8_t* in, uint8_t* out, int n) {
                boxRows<kStrip>(in, out, n, kStrip, rh, strip.sums.data(), strip.ring.data());
              });
  }
  if (rv > 0) {
    Scratch cols(static_cast<size_t>(width), rv);
    boxRows<kAnyWidth>(mask.data(), mask.data(), height, width, rv, cols.sums.data(),
                       cols.ring.data());
  }
}

// The chain of buildMask with fewer passes over the frame: classification rides on the
// first transposition, every column pass works in place, and each feather ramp shares one
// transposition between its row morphology and its horizontal blur. Every step is the same
// exact integer operation as in the plain composition, so the bytes are the same.
std::vector<uint8_t> buildMask(const std::vector<uint8_t>& source, int width, int height,
                               float threshold, bool softMatte, int grow, int innerFeather,
                               int outerFeather) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (source.size() != n) return std::vector<uint8_t>(n, 0);
  if ((innerFeather > 0 && !fastBlurRange(width, height, innerFeather)) ||
      (outerFeather > 0 && !fastBlurRange(width, height, outerFeather)))
    return buildMaskPlain(source, width, height, threshold, softMatte, grow, innerFeather,
                          outerFeather);

  const uint8_t t = maskThresholdByte(threshold);
  const U8x16 tv = simd::splat(t);
  const int a = std::max(innerFeather, 0), b = std::max(outerFeather, 0);
  // A soft matte going straight to the feathers is reduced to its core at once; a
  // thresholded mask is two-valued from the start, and morphology keeps it so, so its core
  // is the mask itself.
  const bool coreAtOnce = softMatte && grow == 0 && (a > 0 || b > 0);
  const U8x16 half = simd::splat(128);
  const auto classify = [&](size_t, U8x16 v) {
    return coreAtOnce ? (U8x16)(v >= half) : softMatte ? v : (U8x16)(v > tv);
  };
  const int g = std::abs(grow);
  const bool dilate = grow > 0;
  const int reach = std::max({g, a, b});
  Scratch cols(static_cast<size_t>(width), std::min(reach, height - 1));
  Scratch strip(kStrip, std::min(reach, width - 1), static_cast<size_t>(width));

  std::vector<uint8_t> w(n);
  const int gh = std::min(g, width - 1), gv = std::min(g, height - 1);
  if (gh > 0) {
    alongRows(source.data(), w.data(), width, height, classify,
              [&](const uint8_t* in, uint8_t* out, int len) {
                stripMorph(in, out, len, gh, dilate, strip);
              });
  } else {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) simd::store(&w[i], classify(i, simd::load(&source[i])));
    for (; i < n; ++i)
      w[i] = coreAtOnce  ? (source[i] >= 128 ? 255 : 0)
             : softMatte ? source[i]
                         : (source[i] > t ? 255 : 0);
  }
  if (gv > 0) columnMorph(w.data(), w.data(), width, height, gv, dilate, cols);
  if (a == 0 && b == 0) return w;

  // Core, in place: 255 where the grown mask is at least 128.
  if (softMatte && !coreAtOnce) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) simd::store(&w[i], (U8x16)(simd::load(&w[i]) >= half));
    for (; i < n; ++i) w[i] = w[i] >= 128 ? 255 : 0;
  }
  const uint8_t* core = w.data();

  // Result: the inner ramp where the core is set, the outer ramp elsewhere. The outer ramp's
  // last pass stores straight into w, each byte merged with the inner ramp and the core
  // byte it replaces.
  LentBuffer work(2 * n);
  uint8_t* inner = work.bytes.data();
  uint8_t* outer = inner + n;
  if (a > 0) featherRamp(core, inner, width, height, a, false, cols, strip, inner);
  const uint8_t* p = a > 0 ? inner : core;
  featherRamp(core, outer, width, height, b, true, cols, strip, w.data(), MergeRamps{p, w.data()});
  return w;
}
