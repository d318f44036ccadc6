// Targets without a wider vector unit use the four-float sums.
#include "imaging/isa.h"

#if !TALVANE_ISA_X86_64

#include "imaging/resample_kernels.h"

void filterColumns(const ColumnFilter& f, const float* const* rows, float* const* outs, int count,
                   int from, int to) {
  filterColumnsPortable(f, rows, outs, count, from, to);
}

void weightedRowSum(const float* const* rows, const float* weights, int count, float* out,
                    int floats) {
  weightedRowSumPortable(rows, weights, count, out, floats);
}

void decodeWeighted(const uint8_t* px, int n, const float* toLinear, float* out) {
  decodeWeightedPortable(px, n, toLinear, out);
}

void decodeUnweighted(const uint8_t* px, int n, const float* toLinear, float* out) {
  decodeUnweightedPortable(px, n, toLinear, out);
}

void addWeightedRow(float* acc, const float* row, float weight, int floats) {
  addWeightedRowPortable(acc, row, weight, floats);
}

#endif  // !TALVANE_ISA_X86_64
