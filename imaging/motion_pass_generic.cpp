// Targets without a wider vector unit take the portable pass.
#include "imaging/isa.h"

#if !TALVANE_ISA_X86_64

#include "imaging/motion_pass.h"

void refinementSums(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                    int firstRow, int lastRow, RefinementSums& out) {
  refinementSumsPortable(ref, cur, pass, firstRow, lastRow, out);
}

#endif  // !TALVANE_ISA_X86_64
