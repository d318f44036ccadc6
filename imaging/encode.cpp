// One-channel PNG working files (the reference difference and the motion anchor).
#include "imaging/pngfile.h"

#include <cstdio>
#include <cstdlib>

#include "stb_image_write.h"

// The encoder's in-memory entry point is compiled in stb_impl.cpp but not declared by the
// header; its buffer comes from malloc (STBIW_MALLOC is left at its default).
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes,
                                                 int x, int y, int n, int* out_len);

bool writeGrayPng(const std::string& path, const uint8_t* gray, int width, int height) {
  if (gray == nullptr || width <= 0 || height <= 0) return false;
  int len = 0;
  unsigned char* png = stbi_write_png_to_mem(gray, width, width, height, 1, &len);
  if (png == nullptr) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::free(png);
    return false;
  }
  std::fwrite(png, 1, static_cast<size_t>(len), f);
  std::fclose(f);
  std::free(png);
  return true;
}
