// Closing what curl must not inherit, on Linux.
#if defined(__linux__)
#include "backend/backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <cstdlib>

void keepOnlyStandardStreams(posix_spawn_file_actions_t* actions, short* flags) {
  (void)flags;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Runs after the dup2 actions, so 0-2 are in place and everything above goes.
  if (posix_spawn_file_actions_addclosefrom_np(actions, 3) == 0) return;
#endif
  // Older C libraries: close, one by one, each descriptor open right now that
  // would survive exec. One the host opens after this look is missed; there
  // is no better way without closefrom in the child.
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return;
  const int own = ::dirfd(fds);
  while (const dirent* entry = ::readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == own) continue;
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0 && !(fdFlags & FD_CLOEXEC)) posix_spawn_file_actions_addclose(actions, fd);
  }
  ::closedir(fds);
}
#endif
