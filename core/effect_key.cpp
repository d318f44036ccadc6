// Effect keys: random names for an effect's working files, and the process's
// register of the keys its live instances hold.
#include <fcntl.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>  // getentropy
#endif

#include <cerrno>
#include <mutex>
#include <random>
#include <set>

#include "core/core.h"

namespace {

std::mutex gKeysMutex;
// An object of the binary, not a heap one: a host that unloads the binary takes it
// along instead of leaving it unreachable (every instance is destroyed before unload).
std::set<std::string> gLiveKeys;
std::set<std::string>& liveKeys() { return gLiveKeys; }

bool readUrandom(unsigned char* bytes, size_t size) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, bytes + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return got == size;
}

}  // namespace

bool isEffectKey(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string newEffectKey() {
  unsigned char bytes[16] = {};
  if (::getentropy(bytes, sizeof bytes) != 0 && !readUrandom(bytes, sizeof bytes)) {
    // Neither source answered (a sandbox): the library's device, which on the
    // platforms we ship reads the same system source.
    std::random_device device;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
  }
  static const char kHex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key += kHex[b >> 4];
    key += kHex[b & 15];
  }
  return key;
}

std::string claimEffectKey(const std::string& saved) {
  std::lock_guard<std::mutex> lock(gKeysMutex);
  std::set<std::string>& keys = liveKeys();
  std::string key = saved;
  while (!isEffectKey(key) || keys.count(key)) key = newEffectKey();
  keys.insert(key);
  return key;
}

void releaseEffectKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(gKeysMutex);
  liveKeys().erase(key);
}
