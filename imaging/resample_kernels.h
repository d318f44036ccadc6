// The pixel work of downsample.cpp, as the resampler does it (see imaging/resize_plan.h):
//   decodeWeighted   RGBA8 -> four floats per pixel: weighted R, G, B and alpha (or, by
//                    decodeUnweighted, R, G, B and 0);
//   filterColumns    each output column is a weighted sum of a run of decoded pixels of
//                    one row, in the resampler's order;
//   weightedRowSum   a weighted sum of whole rows, float by float, in order (or, by
//                    addWeightedRow, one more row added to such a sum).
// One implementation per instruction set (resample_kernels_x86.cpp,
// resample_kernels_generic.cpp) over the portable one in resample_kernels.cpp; all give the
// same bits. Internal to imaging/.
#pragma once

#include <cstdint>

struct ColumnFilter {
  int outW = 0;
  int taps = 0;                    // even; weights past a column's real taps are zero
  bool singleSum = false;          // one running sum; otherwise even and odd taps apart, added last
  const int* first = nullptr;      // outW: first pixel of each column's run in the row
  const float* weights = nullptr;  // outW * taps weights, each repeated in four lanes
};

// Filters output columns from .. to-1 of `count` rows: rows[i] -> outs[i] (outW pixels of
// four floats each; the other columns are left alone). Columns are taken in blocks across
// all the rows, so that a block's weights are read from cache.
void filterColumns(const ColumnFilter& f, const float* const* rows, float* const* outs, int count,
                   int from, int to);
void filterColumnsPortable(const ColumnFilter& f, const float* const* rows, float* const* outs,
                           int count, int from, int to);

// out[4x .. 4x+3] = (L[r] * a, L[g] * a, L[b] * a, a) for the n pixels at px, where L is
// toLinear (256 floats) and a = A * (1 / 255).
void decodeWeighted(const uint8_t* px, int n, const float* toLinear, float* out);
void decodeWeightedPortable(const uint8_t* px, int n, const float* toLinear, float* out);
// out[4x .. 4x+3] = (L[r], L[g], L[b], 0).
void decodeUnweighted(const uint8_t* px, int n, const float* toLinear, float* out);
void decodeUnweightedPortable(const uint8_t* px, int n, const float* toLinear, float* out);

// acc[j] = acc[j] + row[j] * weight for j < floats.
void addWeightedRow(float* acc, const float* row, float weight, int floats);
void addWeightedRowPortable(float* acc, const float* row, float weight, int floats);

// out[j] = (((0 + rows[0][j] * weights[0]) + rows[1][j] * weights[1]) + ...) for j < floats.
void weightedRowSum(const float* const* rows, const float* weights, int count, float* out,
                    int floats);
void weightedRowSumPortable(const float* const* rows, const float* weights, int count, float* out,
                            int floats);

// Columns per block: the block's weights stay within about 16 KB.
inline int columnBlock(const ColumnFilter& f) {
  const int fit = 16384 / (f.taps * 16);
  return fit < 8 ? 8 : (fit > 32 ? 32 : fit & ~7);
}
