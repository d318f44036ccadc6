// Targets without a wider vector unit move a plate with the portable build.
#include "imaging/isa.h"

#if !TALVANE_ISA_X86_64

#include "imaging/plate_resample.h"

void resamplePlate(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                   uint8_t* out, int width, int height, int firstRow, int lastRow) {
  resamplePlatePortable(plate, plateWidth, plateHeight, map, out, width, height, firstRow, lastRow);
}

#endif  // !TALVANE_ISA_X86_64
