// Linux: the desktop's opener, xdg-open, found through PATH and started
// directly (no shell), with the URL as its one argument.
//
// The opener may stay in the foreground for as long as the browser runs, so
// it is never waited for: a short-lived middle process starts it and exits,
// which hands the opener to init to reap. We wait only for the middle process,
// which lives just as long as the spawn takes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "account/account.h"
#include "backend/backend.h"

extern char** environ;

namespace {

constexpr int kOpenerMissing = 127;
constexpr int kOpenerFailed = 126;

}  // namespace

void launchBrowser(const std::string& url) {
  posix_spawn_file_actions_t quiet;
  if (posix_spawn_file_actions_init(&quiet) != 0) return;
  posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
  std::string word = url;
  char name[] = "xdg-open";
  char* argv[] = {name, &word[0], nullptr};

  // Everything the middle process needs is prepared above: after fork() in a
  // threaded host it may only spawn and exit.
  const pid_t middle = fork();
  if (middle == 0) {
    pid_t opener = 0;
    const int rc = posix_spawnp(&opener, "xdg-open", &quiet, nullptr, argv, environ);
    _exit(rc == 0 ? 0 : rc == ENOENT ? kOpenerMissing : kOpenerFailed);
  }
  posix_spawn_file_actions_destroy(&quiet);
  if (middle < 0) {
    dbg("openUrlInBrowser: fork failed");
    return;
  }

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(middle, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // A host that reaps every child itself leaves nothing to report.
  if (waited != middle || !WIFEXITED(status)) return;
  if (WEXITSTATUS(status) == kOpenerMissing) dbg("openUrlInBrowser: xdg-open not found in PATH");
  else if (WEXITSTATUS(status) != 0) dbg("openUrlInBrowser: xdg-open could not be started");
}
