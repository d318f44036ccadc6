// Targets without a wider vector unit use the four-float column pass.
#include "imaging/resample_columns.h"

void filterColumns(const ColumnFilter& f, const float* const* rows, float* const* outs, int count) {
  filterColumnsPortable(f, rows, outs, count);
}
