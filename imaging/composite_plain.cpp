// The compositing rule pixel by pixel, exactly as defined: the reference the
// fast worker in composite.cpp is held to.
#include "imaging/imaging.h"

RowBand rowBand(unsigned int index, unsigned int count, int height) {
  if (count == 0 || index >= count || height <= 0) return {0, 0};
  const int first = static_cast<int>(static_cast<int64_t>(index) * height / count);
  const int last = static_cast<int>((static_cast<int64_t>(index) + 1) * height / count);
  return {first, last};
}

void compositeWorkerPlain(unsigned int threadIndex, unsigned int threadCount, void* customArg) {
  const CompositeJob& job = *static_cast<const CompositeJob*>(customArg);
  const RowBand band = rowBand(threadIndex, threadCount, job.height);
  const int w = job.width;
  const int h = job.height;
  for (int y = band.first; y < band.last; ++y) {
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      const uint8_t* src = job.source + i * 4;
      uint8_t* out = job.output + i * 4;
      const int64_t sx = static_cast<int64_t>(x) - job.shiftX;
      const int64_t sy = static_cast<int64_t>(y) - job.shiftY;
      bool layer = sx >= 0 && sx < w && sy >= 0 && sy < h;
      size_t j = 0;
      uint8_t m = 0;
      uint8_t c = 0;
      if (layer) {
        j = static_cast<size_t>(sy) * w + static_cast<size_t>(sx);
        m = job.mask ? (*job.mask)[j] : 255;
        c = (*job.coverage)[j];
        layer = m != 0 && c != 0;
      }
      if (layer) {
        const float a = (c / 255.0f) * (m / 255.0f) * job.blend;
        const uint8_t* bg = job.background->data() + j * 4;
        uint8_t rgb[3];
        for (int k = 0; k < 3; ++k) {
          rgb[k] = static_cast<uint8_t>(static_cast<int>(bg[k] * a + src[k] * (1.0f - a)));
        }
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
      } else {
        out[0] = src[0];
        out[1] = src[1];
        out[2] = src[2];
      }
      out[3] = 255;
    }
  }
}
