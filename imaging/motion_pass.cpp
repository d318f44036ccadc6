#include "imaging/motion_pass.h"

void refinementSumsPortable(const MotionLevel& ref, const MotionLevel& cur,
                            const RefinementPass& pass, int firstRow, int lastRow,
                            RefinementSums& out) {
  if (pass.scaled) {
    motion_pass::refinementLanes<true>(ref, cur, pass, firstRow, lastRow, out);
  } else {
    motion_pass::refinementLanes<false>(ref, cur, pass, firstRow, lastRow, out);
  }
}
