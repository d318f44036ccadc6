// The compositing worker: one band of rows.
//
// Each row splits into at most three runs: columns whose shifted layer position
// falls outside the frame (the source shows, made opaque), and one contiguous
// run where it falls inside, handed to blendRun with straight pointers
// (pixel_kernels_<isa>.cpp). Nothing is allocated.
#include <cstring>

#include "imaging/imaging.h"

namespace {

// out = src with alpha 255, count pixels.
void opaqueSource(const uint8_t* src, uint8_t* out, int64_t count) {
  const uint8_t alphaBytes[4] = {0, 0, 0, 255};
  uint32_t alpha;
  std::memcpy(&alpha, alphaBytes, 4);  // the alpha byte as a word, whatever the byte order
  for (int64_t k = 0; k < count; ++k) {
    uint32_t p;
    std::memcpy(&p, src + 4 * k, 4);
    p |= alpha;
    std::memcpy(out + 4 * k, &p, 4);
  }
}

}  // namespace

void compositeWorker(unsigned int threadIndex, unsigned int threadCount, void* customArg) {
  const CompositeJob& job = *static_cast<const CompositeJob*>(customArg);
  const RowBand band = rowBand(threadIndex, threadCount, job.height);
  const int64_t w = job.width;
  const int64_t h = job.height;
  if (w <= 0) return;
  // Columns [x0, x1) read the layer at x - shiftX, which lies inside the frame.
  const int64_t x0 = job.shiftX > 0 ? (job.shiftX < w ? job.shiftX : w) : 0;
  const int64_t x1 = job.shiftX < 0 ? (w + job.shiftX > 0 ? w + job.shiftX : 0) : w;
  const uint8_t* mask = job.mask ? job.mask->data() : nullptr;
  const uint8_t* cov = job.coverage->data();
  const uint8_t* bg = job.background->data();
  for (int64_t y = band.first; y < band.last; ++y) {
    const uint8_t* src = job.source + y * w * 4;
    uint8_t* out = job.output + y * w * 4;
    const int64_t sy = y - job.shiftY;
    if (sy < 0 || sy >= h || x1 <= x0) {
      opaqueSource(src, out, w);
      continue;
    }
    const int64_t j0 = sy * w + (x0 - job.shiftX);  // layer index of column x0
    opaqueSource(src, out, x0);
    blendRun(src + x0 * 4, bg + j0 * 4, mask ? mask + j0 : nullptr, cov + j0, job.blend,
             out + x0 * 4, static_cast<int>(x1 - x0));
    opaqueSource(src + x1 * 4, out + x1 * 4, w - x1);
  }
}
