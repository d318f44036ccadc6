// The resampling sums in four-float vectors (SSE2 on x86-64, NEON on arm64, scalar
// elsewhere).
#include "imaging/resample_kernels.h"

#include <algorithm>
#include <cstring>

namespace {

typedef float F4 __attribute__((vector_size(16)));

inline F4 load(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }

F4 oneColumn(const ColumnFilter& f, const float* row, int x) {
  const float* p = row + static_cast<size_t>(f.first[x]) * 4;
  const float* w = f.weights + static_cast<size_t>(x) * f.taps * 4;
  F4 even = F4{}, odd = F4{};
  if (f.singleSum) {
    for (int k = 0; k < 4 * f.taps; k += 4) even += load(p + k) * load(w + k);
    return even;
  }
  for (int k = 0; k < 4 * f.taps; k += 8) {
    even += load(p + k) * load(w + k);
    odd += load(p + k + 4) * load(w + k + 4);
  }
  return even + odd;
}

// Columns x .. x+3 of one row: eight running sums in flight, so the adds do not wait on
// each other; each sum still takes its taps in order.
void fourColumns(const ColumnFilter& f, const float* row, float* out, int x) {
  const int n = 4 * f.taps;
  const float* p[4];
  const float* w[4];
  F4 even[4] = {}, odd[4] = {};
  for (int j = 0; j < 4; ++j) {
    p[j] = row + static_cast<size_t>(f.first[x + j]) * 4;
    w[j] = f.weights + static_cast<size_t>(x + j) * n;
  }
  for (int k = 0; k < n; k += 8)
    for (int j = 0; j < 4; ++j) {
      even[j] += load(p[j] + k) * load(w[j] + k);
      odd[j] += load(p[j] + k + 4) * load(w[j] + k + 4);
    }
  for (int j = 0; j < 4; ++j) store(out + 4 * (x + j), even[j] + odd[j]);
}

}  // namespace

void decodeWeightedPortable(const uint8_t* px, int n, const float* toLinear, float* out) {
  // (r, g, b, 1) * a gives the weighted colour and a itself.
  for (int x = 0; x < n; ++x, px += 4, out += 4) {
    const float a = static_cast<float>(px[3]) * (1.0f / 255.0f);
    store(out, F4{toLinear[px[0]], toLinear[px[1]], toLinear[px[2]], 1.0f} * F4{a, a, a, a});
  }
}

void decodeUnweightedPortable(const uint8_t* px, int n, const float* toLinear, float* out) {
  for (int x = 0; x < n; ++x, px += 4, out += 4)
    store(out, F4{toLinear[px[0]], toLinear[px[1]], toLinear[px[2]], 0.0f});
}

void filterColumnsPortable(const ColumnFilter& f, const float* const* rows, float* const* outs,
                           int count, int from, int to) {
  const int block = columnBlock(f);
  for (int x0 = from; x0 < to; x0 += block) {
    const int x1 = std::min(x0 + block, to);
    for (int i = 0; i < count; ++i) {
      int x = x0;
      if (!f.singleSum)
        for (; x + 4 <= x1; x += 4) fourColumns(f, rows[i], outs[i], x);
      for (; x < x1; ++x) store(outs[i] + 4 * x, oneColumn(f, rows[i], x));
    }
  }
}

// Sixteen floats at a time keep four sums in registers across all the rows.
void weightedRowSumPortable(const float* const* rows, const float* weights, int count, float* out,
                            int floats) {
  int j = 0;
  for (; j + 16 <= floats; j += 16) {
    F4 s[4] = {};
    for (int k = 0; k < count; ++k) {
      const F4 w = F4{weights[k], weights[k], weights[k], weights[k]};
      for (int v = 0; v < 4; ++v) s[v] += load(rows[k] + j + 4 * v) * w;
    }
    for (int v = 0; v < 4; ++v) store(out + j + 4 * v, s[v]);
  }
  for (; j < floats; ++j) {
    float s = 0.0f;
    for (int k = 0; k < count; ++k) s += rows[k][j] * weights[k];
    out[j] = s;
  }
}

void addWeightedRowPortable(float* acc, const float* row, float weight, int floats) {
  const F4 w = F4{weight, weight, weight, weight};
  int j = 0;
  for (; j + 4 <= floats; j += 4) store(acc + j, load(acc + j) + load(row + j) * w);
  for (; j < floats; ++j) acc[j] = acc[j] + row[j] * weight;
}
