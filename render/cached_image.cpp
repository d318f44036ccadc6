// One decoded working file per slot, decoded again only when the file changed, and its copy
// at the frame's size, made again only when the file or a size changed.
#include <stb_image_resize2.h>
#include <sys/stat.h>

#include "imaging/imaging.h"
#include "render/render.h"

bool loadCached(std::vector<uint8_t>& pixels, std::string& path, long& mtime, int& width,
                int& height, const std::string& file, int channels) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return false;
  const long fileMtime = static_cast<long>(st.st_mtime);
  if (path == file && mtime == fileMtime && !pixels.empty()) return true;
  std::vector<uint8_t> decoded;
  int w = 0;
  int h = 0;
  // A failed decode keeps the previous pixels with their previous path and time.
  if (!decodeImageFile(file, channels, decoded, w, h)) return false;
  pixels.swap(decoded);
  path = file;
  mtime = fileMtime;
  width = w;
  height = h;
  return true;
}

bool loadSlot(ImageSlot& slot, const std::string& file, int channels, bool& fresh) {
  const std::string oldPath = slot.path;
  const long oldMtime = slot.mtime;
  const bool ok = loadCached(slot, file, channels);
  fresh = ok && (slot.path != oldPath || slot.mtime != oldMtime);
  return ok;
}

const std::vector<uint8_t>& atFrameSize(const ImageSlot& slot, int width, int height,
                                        SizedImage& sized) {
  if (slot.width == width && slot.height == height) return slot.pixels;
  if (sized.path == slot.path && sized.mtime == slot.mtime && sized.fromWidth == slot.width &&
      sized.fromHeight == slot.height && sized.width == width && sized.height == height &&
      !sized.pixels.empty())
    return sized.pixels;
  sized.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
  if (slot.width > 0 && slot.height > 0 &&
      slot.pixels.size() == static_cast<size_t>(slot.width) * slot.height * 4)
    stbir_resize_uint8_srgb(slot.pixels.data(), slot.width, slot.height, slot.width * 4,
                            sized.pixels.data(), width, height, width * 4, STBIR_RGBA);
  sized.path = slot.path;
  sized.mtime = slot.mtime;
  sized.fromWidth = slot.width;
  sized.fromHeight = slot.height;
  sized.width = width;
  sized.height = height;
  return sized.pixels;
}
