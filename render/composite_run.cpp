// Drives compositeWorker on the host's multithread suite.
#include "render/render.h"

void runComposite(CompositeJob& job) {
  if (gMTSuite && gMTSuite->multiThread) {
    unsigned int count = 1;
    if (gMTSuite->multiThreadNumCPUs) gMTSuite->multiThreadNumCPUs(&count);
    if (count > 16) count = 16;
    if (count == 0) count = 1;
    if (gMTSuite->multiThread(compositeWorker, count, &job) == kOfxStatOK) return;
  }
  // Rows a failed run had already finished are computed again, with the same result.
  compositeWorker(0, 1, &job);
}
