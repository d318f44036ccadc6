// Byte copies of host rows for frames that pass through unconverted.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "imaging/imaging.h"

void copyRows(const void* src, int srcRowBytes, void* dst, int dstRowBytes, int height,
              int64_t rowLength) {
  if (!src || !dst || height <= 0) return;
  int64_t n = std::llabs(static_cast<int64_t>(srcRowBytes));
  n = std::min<int64_t>(n, std::llabs(static_cast<int64_t>(dstRowBytes)));
  n = std::min<int64_t>(n, rowLength);
  if (n <= 0) return;
  for (int r = 0; r < height; ++r) {
    std::memcpy(static_cast<unsigned char*>(dst) + static_cast<int64_t>(r) * dstRowBytes,
                static_cast<const unsigned char*>(src) + static_cast<int64_t>(r) * srcRowBytes,
                static_cast<size_t>(n));
  }
}

void copyOverlap(const HostView& src, const HostView& dst) {
  if (!src.data || !dst.data) return;
  if (src.components != dst.components || src.depth != dst.depth) return;
  const int x1 = std::max(src.x1, dst.x1);
  const int x2 = std::min(src.x2, dst.x2);
  const int y1 = std::max(src.y1, dst.y1);
  const int y2 = std::min(src.y2, dst.y2);
  if (x2 <= x1 || y2 <= y1) return;
  const int64_t bpp = src.bytesPerPixel();
  // Row y of an image sits at data + (y - y1) * rowBytes; pixel x at (x - x1) * bpp.
  const unsigned char* s = static_cast<const unsigned char*>(src.data) +
                           static_cast<int64_t>(y1 - src.y1) * src.rowBytes +
                           static_cast<int64_t>(x1 - src.x1) * bpp;
  unsigned char* d = static_cast<unsigned char*>(dst.data) +
                     static_cast<int64_t>(y1 - dst.y1) * dst.rowBytes +
                     static_cast<int64_t>(x1 - dst.x1) * bpp;
  copyRows(s, src.rowBytes, d, dst.rowBytes, y2 - y1, static_cast<int64_t>(x2 - x1) * bpp);
}
