// One decoded working file per slot, decoded again only when the file changed.
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
