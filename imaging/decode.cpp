// The guard in front of every decode of a working file: the files come from disk and the
// service, so the header's claimed size is checked before the decoder allocates anything.
#include "imaging/imaging.h"

#include <cstdio>

#include "stb_image.h"

namespace {
bool acceptableSize(int width, int height) {
  return width > 0 && height > 0 && width <= kMaxDecodeSide && height <= kMaxDecodeSide &&
         static_cast<int64_t>(width) * height <= kMaxDecodePixels;
}
}  // namespace

bool decodeImageFile(const std::string& path, int channels, std::vector<uint8_t>& pixels,
                     int& width, int& height) {
  if (channels < 1 || channels > 4) return false;
  // One open file for the header check and the decode, so the file that was checked is the
  // file that is decoded even if the name is replaced in between.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  int w = 0, h = 0, fileChannels = 0;
  unsigned char* data = nullptr;
  if (stbi_info_from_file(f, &w, &h, &fileChannels) && acceptableSize(w, h))
    data = stbi_load_from_file(f, &w, &h, &fileChannels, channels);
  std::fclose(f);
  if (data == nullptr) return false;
  const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * channels;
  pixels.assign(data, data + bytes);
  stbi_image_free(data);
  width = w;
  height = h;
  return true;
}
