// x86-64 moves a plate with AVX2 when the processor has it: eight floats a register instead
// of four, the same operations on the same lanes.
#include "imaging/isa.h"

#if TALVANE_ISA_X86_64

#include "imaging/plate_resample.h"

namespace {

__attribute__((target("avx2"))) void resamplePlateAvx2(const uint8_t* plate, int plateWidth,
                                                       int plateHeight, const PlateMap& map,
                                                       uint8_t* out, int width, int height,
                                                       int firstRow, int lastRow) {
  plate_resample::resampleRows<plate_resample::F8>(plate, plateWidth, plateHeight, map, out, width,
                                                   height, firstRow, lastRow);
}

}  // namespace

void resamplePlate(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                   uint8_t* out, int width, int height, int firstRow, int lastRow) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    resamplePlateAvx2(plate, plateWidth, plateHeight, map, out, width, height, firstRow, lastRow);
  } else {
    resamplePlatePortable(plate, plateWidth, plateHeight, map, out, width, height, firstRow,
                          lastRow);
  }
}

#endif  // TALVANE_ISA_X86_64
