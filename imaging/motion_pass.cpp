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

void searchCostsPortable(const MotionLevel& ref, const std::vector<int>& known,
                         const MotionLevel& cur, int dy, int radius, double* costs) {
  motion_pass::searchCostLanes(ref, known, cur, dy, radius, costs);
}
