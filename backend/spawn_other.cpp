// Closing what curl must not inherit, on the other POSIX systems.
#if !defined(__linux__) && !defined(__APPLE__)
#include "backend/backend.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

void keepOnlyStandardStreams(posix_spawn_file_actions_t* actions, short* flags) {
  (void)flags;
  // No closefrom action here: close each descriptor that would survive exec.
  const long most = ::sysconf(_SC_OPEN_MAX);
  const int last = most > 0 && most < 65536 ? int(most) : 65536;
  for (int fd = 3; fd < last; ++fd) {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0 && !(fdFlags & FD_CLOEXEC)) posix_spawn_file_actions_addclose(actions, fd);
  }
}
#endif
