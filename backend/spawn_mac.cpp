// Closing what curl must not inherit, on macOS.
#if defined(__APPLE__)
#include "backend/backend.h"

#include <spawn.h>

void keepOnlyStandardStreams(posix_spawn_file_actions_t* actions, short* flags) {
  (void)actions;
  // Every descriptor not named by a file action (our 0-2) is closed at exec.
  *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
}
#endif
