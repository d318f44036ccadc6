// The build's opener (kBrowserOpener: xdg-open, /usr/bin/open, or the tests'
// recording stand-in) started directly, never through a shell, with the URL as
// its one argument; a name without a slash is looked up in PATH.
//
// The opener may stay in the foreground for as long as the browser runs, so
// it is never waited for: a short-lived middle process starts it and exits,
// which hands the opener to init (launchd) to reap. We wait only for the
// middle process, which lives just as long as the spawn takes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "account/account.h"
#include "backend/backend.h"
#include "core/core.h"

#if defined(__APPLE__)
// A bundle cannot reach environ directly on macOS; the process's copy is here.
#include <crt_externs.h>
#define TALVANE_ENVIRON (*_NSGetEnviron())
#else
extern char** environ;
#define TALVANE_ENVIRON environ
#endif

namespace {

constexpr int kOpenerMissing = 127;
constexpr int kOpenerFailed = 126;

}  // namespace

bool launchBrowser(const std::string& url) {
  posix_spawn_file_actions_t quiet;
  if (posix_spawn_file_actions_init(&quiet) != 0) return false;
  posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
  std::string opener = kBrowserOpener;
  std::string word = url;
  char* argv[] = {&opener[0], &word[0], nullptr};
  char** env = TALVANE_ENVIRON;

  // Everything the middle process needs is prepared above: after fork() in a
  // threaded host it may only spawn and exit.
  const pid_t middle = fork();
  if (middle == 0) {
    pid_t child = 0;
    const int rc = posix_spawnp(&child, argv[0], &quiet, nullptr, argv, env);
    _exit(rc == 0 ? 0 : rc == ENOENT ? kOpenerMissing : kOpenerFailed);
  }
  posix_spawn_file_actions_destroy(&quiet);
  if (middle < 0) {
    dbg("openUrlInBrowser: fork failed");
    return false;
  }

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(middle, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // A host that reaps every child itself leaves nothing to report.
  if (waited != middle || !WIFEXITED(status) || WEXITSTATUS(status) == 0) return true;
  char line[600];
  std::snprintf(line, sizeof line, "openUrlInBrowser: %s %s", kBrowserOpener,
                WEXITSTATUS(status) == kOpenerMissing ? "not found" : "could not be started");
  dbg(line);
  return false;
}
