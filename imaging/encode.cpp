// PNG working files: the grabbed frame, the reference difference and the motion anchor.
#include "imaging/pngfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
  // The user's footage: created anew for the owner alone, never through a link planted
  // in its place (a link left at path was removed above, not followed).
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool written = false;
  if (fd >= 0) {
    size_t done = 0;
    while (done < static_cast<size_t>(len)) {
      const ssize_t n = ::write(fd, png + done, static_cast<size_t>(len) - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    written = (::close(fd) == 0) && done == static_cast<size_t>(len);
    if (!written) std::remove(path.c_str());
  }
  std::free(png);
  return written;
}

bool writeGrayPng(const std::string& path, const uint8_t* gray, int width, int height) {
  return writePng(path, gray, width, height, 1);
}
