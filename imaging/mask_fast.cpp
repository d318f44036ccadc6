// Fast morphology and box blur. Both directions run one "down the rows" kernel whose
// inner loops walk contiguous bytes sixteen at a time: the vertical pass on the image rows,
// the horizontal pass on 16-row strips transposed so that image columns become rows.
//
// Morphology uses van Herk / Gil-Werman block prefix and suffix extrema, three min/max
// per pixel whatever the radius; the clipped window equals a window over a sequence padded
// with the operation's identity (0 for max, 255 for min). The box blur keeps running
// column sums and divides exactly by multiply-high.
#include "imaging/imaging.h"
#include "imaging/simd.h"

#include <algorithm>

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

// dst = pick(a, b) over w bytes; dst may alias a.
template <bool Dilate>
inline void pickRows(uint8_t* dst, const uint8_t* a, const uint8_t* b, int w) {
  int x = 0;
  for (; x + 16 <= w; x += 16)
    simd::store(dst + x, pick<Dilate>(simd::load(a + x), simd::load(b + x)));
  for (; x < w; ++x) dst[x] = pick<Dilate>(a[x], b[x]);
}

inline void copyRow(uint8_t* dst, const uint8_t* src, int w) {
  std::copy(src, src + w, dst);
}

// out row y = extremum of in rows max(y - r, 0) .. min(y + r, n - 1); rows are w bytes.
// Requires 1 <= r <= n - 1. h: n * w scratch, acc: w scratch.
template <bool Dilate>
void vanHerkRows(const uint8_t* in, uint8_t* out, int n, int w, int r, uint8_t* h,
                 uint8_t* acc) {
  const int k = 2 * r + 1;
  const auto row = [&](int i) { return in + static_cast<size_t>(i) * w; };
  // Suffix extrema within each block of the padded sequence (blocks start at -r + b*k);
  // h row j holds the suffix at padded index j - r, the only ones the windows read.
  const int lastStored = n - 1 - r;
  for (int b = (n - 1) / k; b >= 0; --b) {
    const int start = -r + b * k;
    const int top = std::min(start + k - 1, n - 1);
    const uint8_t* prev = nullptr;
    for (int i = top; i >= start; --i) {
      uint8_t* dst = i <= lastStored ? h + static_cast<size_t>(i + r) * w : acc;
      if (i < 0) {  // padding: the identity leaves the suffix as it is
        if (dst != prev) copyRow(dst, prev, w);
      } else if (prev == nullptr) {
        copyRow(dst, row(i), w);
      } else {
        pickRows<Dilate>(dst, prev, row(i), w);
      }
      prev = dst;
    }
  }
  // Prefix extrema running forward; window [y - r, y + r] = suffix(y - r) + prefix(y + r).
  const uint8_t* g = nullptr;  // nullptr: only padding so far in this block
  for (int i = -r; i <= n - 1 + r; ++i) {
    const bool blockStart = (i + r) % k == 0;
    if (i >= 0 && i < n) {
      if (blockStart || g == nullptr) {
        g = row(i);
      } else {
        pickRows<Dilate>(acc, g, row(i), w);
        g = acc;
      }
    } else if (blockStart) {
      g = nullptr;
    }
    if (i >= r) {
      const int y = i - r;
      uint8_t* dst = out + static_cast<size_t>(y) * w;
      const uint8_t* hy = h + static_cast<size_t>(y) * w;
      if (g == nullptr) copyRow(dst, hy, w);
      else pickRows<Dilate>(dst, hy, g, w);
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

// out row y = mean of in rows over the clipped window of radius r, truncated.
// Requires 1 <= r <= n - 1 and min(2r + 1, n) <= kMaxFastWindow. sums: w 16-bit lanes.
void boxRows(const uint8_t* in, uint8_t* out, int n, int w, int r, uint16_t* sums) {
  const Divisor* div = divisorTable();
  const auto row = [&](int i) { return in + static_cast<size_t>(i) * w; };
  std::fill(sums, sums + w, 0);
  for (int i = 0; i < r; ++i) {
    const uint8_t* src = row(i);
    for (int x = 0; x < w; ++x) sums[x] = static_cast<uint16_t>(sums[x] + src[x]);
  }
  const uint8_t zero[16] = {};
  for (int y = 0; y < n; ++y) {
    // Slide the window: row y + r enters, row y - r - 1 leaves.
    const bool enters = y + r <= n - 1;
    const bool leaves = y - r - 1 >= 0;
    const uint8_t* add = enters ? row(y + r) : nullptr;
    const uint8_t* sub = leaves ? row(y - r - 1) : nullptr;
    const int d = std::min(y + r, n - 1) - std::max(y - r, 0) + 1;
    uint8_t* dst = out + static_cast<size_t>(y) * w;
    int x = 0;
    for (; x + 16 <= w; x += 16) {
      const U8x16 a = add ? simd::load(add + x) : simd::load(zero);
      const U8x16 s = sub ? simd::load(sub + x) : simd::load(zero);
      U16x8 lo, hi;
      std::memcpy(&lo, sums + x, 16);
      std::memcpy(&hi, sums + x + 8, 16);
      lo += simd::widenLo(a) - simd::widenLo(s);
      hi += simd::widenHi(a) - simd::widenHi(s);
      std::memcpy(sums + x, &lo, 16);
      std::memcpy(sums + x + 8, &hi, 16);
      simd::store(dst + x, divide16(lo, hi, d, div));
    }
    for (; x < w; ++x) {
      sums[x] = static_cast<uint16_t>(sums[x] + (add ? add[x] : 0) - (sub ? sub[x] : 0));
      dst[x] = static_cast<uint8_t>(sums[x] / d);
    }
  }
}

// Runs a rows kernel along image rows: each strip of up to 16 rows is transposed into
// `width` rows of 16 bytes, processed, and transposed back in place. A strip is fully read
// before it is written, so working in place matches computing into a new image.
template <class Kernel>
void alongRows(std::vector<uint8_t>& mask, int width, int height, Kernel kernel) {
  const size_t tBytes = static_cast<size_t>(width) * 16;
  std::vector<uint8_t> t(tBytes), tOut(tBytes);
  U8x16 blk[16];
  for (int y0 = 0; y0 < height; y0 += 16) {
    const int rows = std::min(16, height - y0);
    uint8_t* base = mask.data() + static_cast<size_t>(y0) * width;
    for (int x0 = 0; x0 < width; x0 += 16) {
      const int cols = std::min(16, width - x0);
      for (int i = 0; i < 16; ++i) {
        blk[i] = U8x16{};
        if (i < rows) std::memcpy(&blk[i], base + static_cast<size_t>(i) * width + x0, cols);
      }
      simd::transpose(blk);
      for (int j = 0; j < cols; ++j) simd::store(t.data() + static_cast<size_t>(x0 + j) * 16, blk[j]);
    }
    kernel(t.data(), tOut.data(), width, 16);
    for (int x0 = 0; x0 < width; x0 += 16) {
      const int cols = std::min(16, width - x0);
      for (int j = 0; j < 16; ++j)
        blk[j] = j < cols ? simd::load(tOut.data() + static_cast<size_t>(x0 + j) * 16) : U8x16{};
      simd::transpose(blk);
      for (int i = 0; i < rows; ++i)
        std::memcpy(base + static_cast<size_t>(i) * width + x0, &blk[i], cols);
    }
  }
}

template <bool Dilate>
void morphAlongRows(std::vector<uint8_t>& mask, int width, int height, int r) {
  std::vector<uint8_t> h(static_cast<size_t>(width) * 16), acc(16);
  alongRows(mask, width, height, [&](const uint8_t* in, uint8_t* out, int n, int w) {
    vanHerkRows<Dilate>(in, out, n, w, r, h.data(), acc.data());
  });
}

template <bool Dilate>
void morphAlongColumns(std::vector<uint8_t>& mask, int width, int height, int r) {
  std::vector<uint8_t> out(mask.size()), h(mask.size()), acc(static_cast<size_t>(width));
  vanHerkRows<Dilate>(mask.data(), out.data(), height, width, r, h.data(), acc.data());
  mask.swap(out);
}

}  // namespace

void morphH(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0 || width == 1) return;
  const int r = std::min(radius, width - 1);  // wider windows clip to the whole row
  if (dilate) morphAlongRows<true>(mask, width, height, r);
  else morphAlongRows<false>(mask, width, height, r);
}

void morphV(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate) {
  if (!validGray(mask, width, height) || radius <= 0 || height == 1) return;
  const int r = std::min(radius, height - 1);
  if (dilate) morphAlongColumns<true>(mask, width, height, r);
  else morphAlongColumns<false>(mask, width, height, r);
}

void boxBlur(std::vector<uint8_t>& mask, int width, int height, int radius) {
  if (!validGray(mask, width, height) || radius <= 0) return;
  const int rh = std::min(radius, width - 1);
  const int rv = std::min(radius, height - 1);
  // Windows beyond the multiply-high divisor range take the plain path.
  if (std::min(2 * rh + 1, width) > kMaxFastWindow || std::min(2 * rv + 1, height) > kMaxFastWindow) {
    boxBlurPlain(mask, width, height, radius);
    return;
  }
  if (rh > 0) {
    std::vector<uint16_t> sums(16);
    alongRows(mask, width, height, [&](const uint8_t* in, uint8_t* out, int n, int w) {
      boxRows(in, out, n, w, rh, sums.data());
    });
  }
  if (rv > 0) {
    std::vector<uint8_t> out(mask.size());
    std::vector<uint16_t> sums(static_cast<size_t>(width));
    boxRows(mask.data(), out.data(), height, width, rv, sums.data());
    mask.swap(out);
  }
}
