// Reference difference image: how far the returned background departs from the grabbed
// frame, recorded once per generation as the raw input of the automatic mask.
#include "imaging/imaging.h"
#include "imaging/pngfile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "stb_image_resize2.h"

bool writeRawdiff(const std::string& grabbedPath, const std::string& backgroundPath,
                  const std::string& outPath) {
  // An earlier generation's difference must not outlive a failure to make this one's.
  std::remove(outPath.c_str());
  std::vector<uint8_t> grabbed, background;
  int w = 0, h = 0, bw = 0, bh = 0;
  if (!decodeImageFile(grabbedPath, 3, grabbed, w, h)) return false;
  if (!decodeImageFile(backgroundPath, 3, background, bw, bh)) return false;

  if (bw != w || bh != h) {
    std::vector<uint8_t> resized(static_cast<size_t>(w) * h * 3, 0);
    stbir_resize_uint8_srgb(background.data(), bw, bh, bw * 3, resized.data(), w, h, w * 3,
                            STBIR_RGB);
    background.swap(resized);
  }

  const size_t n = static_cast<size_t>(w) * h;
  std::vector<uint8_t> diff(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* g = &grabbed[i * 3];
    const uint8_t* b = &background[i * 3];
    diff[i] = static_cast<uint8_t>(
        std::max({std::abs(g[0] - b[0]), std::abs(g[1] - b[1]), std::abs(g[2] - b[2])}));
  }
  grabbed = {};
  background = {};
  return writeGrayPng(outPath, diff.data(), w, h);
}
