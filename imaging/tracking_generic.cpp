// Targets without a vector SAD use the plain loop.
#include "imaging/isa.h"

#if TALVANE_ISA_GENERIC

#include "imaging/sad.h"

uint64_t sadBlock(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols) {
  return sadBlockPlain(a, q, stride, rows, cols);
}

#endif  // TALVANE_ISA_GENERIC
