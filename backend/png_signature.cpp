// The PNG test shared by the generation request and the cached-image loader.
#include "backend/backend.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstring>

bool isValidPng(const std::string& file) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[8];
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = ::read(fd, head + got, sizeof head - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  ::close(fd);
  return got == sizeof head && std::memcmp(head, kSignature, sizeof head) == 0;
}
