// PNG working files: the grabbed frame, the reference difference and the motion anchor.
#include "imaging/pngfile.h"

#include <cstdio>
#include <cstdlib>

#include "stb_image_write.h"

// The encoder's in-memory entry point is compiled in stb_impl.cpp but not declared by the
// header; its buffer comes from malloc (STBIW_MALLOC is left at its default).
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes,
                                                int x, int y, int n, int* out_len);

bool writePng(const std::string& path, const uint8_t* pixels, int width, int height, int channels) {
  // Whatever was at path describes an earlier frame: it goes first, so a write that fails
  // leaves no file rather than a stale or partial one for a reader to take as this one.
  std::remove(path.c_str());
  if (pixels == nullptr || width <= 0 || height <= 0 || channels < 1 || channels > 4) return false;
  int len = 0;
  unsigned char* png =
      stbi_write_png_to_mem(pixels, width * channels, width, height, channels, &len);
  if (png == nullptr) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  bool written = false;
  if (f != nullptr) {
    written = std::fwrite(png, 1, static_cast<size_t>(len), f) == static_cast<size_t>(len);
    written = (std::fclose(f) == 0) && written;
    if (!written) std::remove(path.c_str());
  }
  std::free(png);
  return written;
}

bool writeGrayPng(const std::string& path, const uint8_t* gray, int width, int height) {
  return writePng(path, gray, width, height, 1);
}
