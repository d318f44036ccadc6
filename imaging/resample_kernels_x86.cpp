// x86-64 sums with AVX, chosen at run time (without AVX the four-float sums run). In the
// column pass one eight-float register holds a column's even-tap sum in its low half and
// its odd-tap sum in its high half, so two neighbouring taps are one load and one multiply:
// the same operations on the same lanes as the four-float pass, at half the instructions.
// The row sum is lane by lane anyway. Decoding with AVX2 looks eight pixels' channels up
// at once (gathers) and multiplies them side by side before interleaving them back into
// pixels: the same products.
#include "imaging/isa.h"

#if TALVANE_ISA_X86_64

#include "imaging/resample_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

typedef float F8 __attribute__((vector_size(32)));
typedef float F4 __attribute__((vector_size(16)));

__attribute__((target("avx"))) inline F8 load8(const float* p) {
  F8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

__attribute__((target("avx"))) inline F4 halvesAdded(F8 v) {
  const F4 lo = __builtin_shufflevector(v, v, 0, 1, 2, 3);
  const F4 hi = __builtin_shufflevector(v, v, 4, 5, 6, 7);
  return lo + hi;
}

// Columns x .. x+C-1 of rows[0] .. rows[R-1]: R * C sums in flight, so that the adds do
// not wait on each other, and each pair of weights is loaded once for R rows.
template <int R, int C>
__attribute__((target("avx"))) inline void tile(const ColumnFilter& f, const float* const* rows,
                                                float* const* outs, int x) {
  const int n = 4 * f.taps;
  size_t off[C];
  const float* w[C];
  F8 s[R][C];
  for (int j = 0; j < C; ++j) {
    off[j] = static_cast<size_t>(f.first[x + j]) * 4;
    w[j] = f.weights + static_cast<size_t>(x + j) * n;
    for (int i = 0; i < R; ++i) s[i][j] = F8{};
  }
  for (int k = 0; k < n; k += 8)
    for (int j = 0; j < C; ++j) {
      const F8 wk = load8(w[j] + k);
      for (int i = 0; i < R; ++i) s[i][j] += load8(rows[i] + off[j] + k) * wk;
    }
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < C; ++j) {
      const F4 r = halvesAdded(s[i][j]);
      std::memcpy(outs[i] + 4 * (x + j), &r, sizeof r);
    }
}

__attribute__((target("avx"))) void filterColumnsAvx(const ColumnFilter& f,
                                                     const float* const* rows, float* const* outs,
                                                     int count, int from, int to) {
  const int block = columnBlock(f);
  for (int x0 = from; x0 < to; x0 += block) {
    const int x1 = std::min(x0 + block, to);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
      int x = x0;
      for (; x + 2 <= x1; x += 2) tile<4, 2>(f, rows + i, outs + i, x);
      for (; x < x1; ++x) tile<4, 1>(f, rows + i, outs + i, x);
    }
    for (; i < count; ++i) {
      int x = x0;
      for (; x + 8 <= x1; x += 8) tile<1, 8>(f, rows + i, outs + i, x);
      for (; x < x1; ++x) tile<1, 1>(f, rows + i, outs + i, x);
    }
  }
}

__attribute__((target("avx"))) void weightedRowSumAvx(const float* const* rows,
                                                      const float* weights, int count, float* out,
                                                      int floats) {
  int j = 0;
  for (; j + 32 <= floats; j += 32) {
    F8 s[4] = {};
    for (int k = 0; k < count; ++k) {
      const float wk = weights[k];
      const F8 w = F8{wk, wk, wk, wk, wk, wk, wk, wk};
      for (int v = 0; v < 4; ++v) s[v] += load8(rows[k] + j + 8 * v) * w;
    }
    std::memcpy(out + j, s, sizeof s);
  }
  for (; j < floats; ++j) {
    float s = 0.0f;
    for (int k = 0; k < count; ++k) s += rows[k][j] * weights[k];
    out[j] = s;
  }
}

// Eight pixels' channels looked up at once, weighted by alpha (or with a zero alpha lane
// when unweighted) and interleaved back into pixels.
template <bool Weighted>
__attribute__((target("avx2"))) void decodeAvx2(const uint8_t* px, int n, const float* toLinear,
                                                float* out) {
  const __m256i byte = _mm256_set1_epi32(255);
  const __m256 inv255 = _mm256_set1_ps(1.0f / 255.0f);
  int x = 0;
  for (; x + 8 <= n; x += 8, px += 32, out += 32) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px));
    __m256 r = _mm256_i32gather_ps(toLinear, _mm256_and_si256(p, byte), 4);
    __m256 g = _mm256_i32gather_ps(toLinear, _mm256_and_si256(_mm256_srli_epi32(p, 8), byte), 4);
    __m256 b = _mm256_i32gather_ps(toLinear, _mm256_and_si256(_mm256_srli_epi32(p, 16), byte), 4);
    __m256 a = _mm256_setzero_ps();
    if (Weighted) {
      a = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(p, 24)), inv255);
      r = _mm256_mul_ps(r, a);
      g = _mm256_mul_ps(g, a);
      b = _mm256_mul_ps(b, a);
    }
    const __m256 rg0 = _mm256_unpacklo_ps(r, g), rg1 = _mm256_unpackhi_ps(r, g);
    const __m256 ba0 = _mm256_unpacklo_ps(b, a), ba1 = _mm256_unpackhi_ps(b, a);
    const __m256 p04 = _mm256_shuffle_ps(rg0, ba0, 0x44), p15 = _mm256_shuffle_ps(rg0, ba0, 0xee);
    const __m256 p26 = _mm256_shuffle_ps(rg1, ba1, 0x44), p37 = _mm256_shuffle_ps(rg1, ba1, 0xee);
    _mm256_storeu_ps(out, _mm256_permute2f128_ps(p04, p15, 0x20));
    _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(p26, p37, 0x20));
    _mm256_storeu_ps(out + 16, _mm256_permute2f128_ps(p04, p15, 0x31));
    _mm256_storeu_ps(out + 24, _mm256_permute2f128_ps(p26, p37, 0x31));
  }
  if (Weighted) decodeWeightedPortable(px, n - x, toLinear, out);
  else decodeUnweightedPortable(px, n - x, toLinear, out);
}

__attribute__((target("avx"))) void addWeightedRowAvx(float* acc, const float* row, float weight,
                                                      int floats) {
  const F8 w = F8{weight, weight, weight, weight, weight, weight, weight, weight};
  int j = 0;
  for (; j + 8 <= floats; j += 8) {
    const F8 sum = load8(acc + j) + load8(row + j) * w;
    std::memcpy(acc + j, &sum, sizeof sum);
  }
  addWeightedRowPortable(acc + j, row + j, weight, floats - j);
}

bool haveAvx() {
  static const bool avx = __builtin_cpu_supports("avx");
  return avx;
}

bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

}  // namespace

void filterColumns(const ColumnFilter& f, const float* const* rows, float* const* outs, int count,
                   int from, int to) {
  if (!f.singleSum && haveAvx()) filterColumnsAvx(f, rows, outs, count, from, to);
  else filterColumnsPortable(f, rows, outs, count, from, to);
}

void weightedRowSum(const float* const* rows, const float* weights, int count, float* out,
                    int floats) {
  if (haveAvx()) weightedRowSumAvx(rows, weights, count, out, floats);
  else weightedRowSumPortable(rows, weights, count, out, floats);
}

void decodeWeighted(const uint8_t* px, int n, const float* toLinear, float* out) {
  if (haveAvx2()) decodeAvx2<true>(px, n, toLinear, out);
  else decodeWeightedPortable(px, n, toLinear, out);
}

void decodeUnweighted(const uint8_t* px, int n, const float* toLinear, float* out) {
  if (haveAvx2()) decodeAvx2<false>(px, n, toLinear, out);
  else decodeUnweightedPortable(px, n, toLinear, out);
}

void addWeightedRow(float* acc, const float* row, float weight, int floats) {
  if (haveAvx()) addWeightedRowAvx(acc, row, weight, floats);
  else addWeightedRowPortable(acc, row, weight, floats);
}

#endif  // TALVANE_ISA_X86_64
