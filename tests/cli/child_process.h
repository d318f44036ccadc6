// Running the project's programs from a test: talvane-render to completion,
// talvane-service in the background until the test stops it by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProgramResult {
  int exitCode = -1;  // -1 when it was killed or did not start
  bool timedOut = false;
  std::string out, err;
};

// Runs argv[0] with argv, the test's environment plus the "NAME=value"
// overrides in env, stdout and stderr captured through files under
// scratchDir. Killed after timeoutSeconds.
// fileSizeLimit > 0 sets RLIMIT_FSIZE in the child, in bytes.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& scratchDir, double timeoutSeconds,
                         long fileSizeLimit = 0);
// The same in two steps, for a test that acts on the running program: its
// stderr is scratchDir + "/.stderr" meanwhile.
pid_t startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& scratchDir);
ProgramResult waitProgram(pid_t pid, const std::string& scratchDir, double timeoutSeconds);

// Starts talvane-service on 127.0.0.1 with extra flags and waits (at most ten
// seconds) for its "listening on" line. Returns its PID with the port it
// reports, or -1 when it did not come up.
pid_t startService(const std::string& binary, const std::vector<std::string>& flags,
                   const std::string& logPath, int& port);
// SIGTERM, then SIGKILL if it has not ended within five seconds.
void stopProcess(pid_t pid);
