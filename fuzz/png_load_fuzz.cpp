// Working PNGs come from the service and from disk: loadCached (render) and
// isValidPng (backend) on arbitrary file contents. On success the slot holds
// exactly width * height * channels bytes of a size the decode guard allows;
// on failure the slot is exactly as it was.
// Input: one byte choosing the channel count (1..4), then the file's bytes.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"
#include "render/render.h"

namespace {

std::string scratchFile() {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/talvane-fuzz-png-" + std::to_string(getpid()) + ".png";
}

bool writeAll(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::string file = scratchFile();
  const int channels = 1 + data[0] % 4;
  if (!writeAll(file, data + 1, size - 1)) return 0;

  static const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  FUZZ_CHECK(isValidPng(file) == (size - 1 >= 8 && std::memcmp(data + 1, kSignature, 8) == 0));

  ImageSlot slot;
  slot.path = "earlier";
  slot.mtime = 7;
  slot.pixels = {1, 2, 3};
  slot.width = 1;
  slot.height = 3;
  if (loadCached(slot, file, channels)) {
    FUZZ_CHECK(slot.path == file);
    FUZZ_CHECK(slot.width > 0 && slot.height > 0);
    FUZZ_CHECK(slot.width <= kMaxDecodeSide && slot.height <= kMaxDecodeSide);
    FUZZ_CHECK(int64_t(slot.width) * slot.height <= kMaxDecodePixels);
    FUZZ_CHECK(slot.pixels.size() == size_t(slot.width) * size_t(slot.height) * size_t(channels));
    // Unchanged on disk: the second call is answered from the slot.
    const std::vector<uint8_t> first = slot.pixels;
    FUZZ_CHECK(loadCached(slot, file, channels) && slot.pixels == first);
  } else {
    FUZZ_CHECK(slot.path == "earlier" && slot.mtime == 7 && slot.width == 1 && slot.height == 3 &&
               slot.pixels == std::vector<uint8_t>({1, 2, 3}));
  }
  return 0;
}
