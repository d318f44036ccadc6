// Targets without a wider vector unit take the portable pass and search.
#include "imaging/isa.h"

#if !TALVANE_ISA_X86_64

#include "imaging/motion_pass.h"

void refinementSums(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                    int firstRow, int lastRow, RefinementSums& out) {
  refinementSumsPortable(ref, cur, pass, firstRow, lastRow, out);
}

void searchCosts(const MotionLevel& ref, const std::vector<int>& known, const MotionLevel& cur,
                 int dy, int radius, double* costs) {
  searchCostsPortable(ref, known, cur, dy, radius, costs);
}

#endif  // !TALVANE_ISA_X86_64
