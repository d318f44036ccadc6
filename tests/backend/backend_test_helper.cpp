// Runs backend calls in a process of their own, for what a test process
// can't do twice: decide the debug switch afresh, or store tokens from a
// second process at the same time.
//
//   backend_test_helper dbg <new TALVANE_DEBUG or "-unset">
//       logs "first", changes the variable, logs "second"
//   backend_test_helper store <account prefix> <count>
//       stores token "t<i>" for account "<prefix><i>", i = 0..count-1
//   backend_test_helper workdir <uid>
//       becomes that user (needs root), then exits 0 when makeWorkDir() succeeds
#include "backend/backend.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "dbg") == 0) {
    dbg("first");
    if (std::strcmp(argv[2], "-unset") == 0) ::unsetenv("TALVANE_DEBUG");
    else ::setenv("TALVANE_DEBUG", argv[2], 1);
    dbg("second");
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "store") == 0) {
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      const std::string account = argv[2] + std::to_string(i);
      if (!keychainStoreToken(kPluginIdentifier, account, "t" + std::to_string(i))) return 1;
    }
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "workdir") == 0) {
    const unsigned uid = unsigned(std::strtoul(argv[2], nullptr, 10));
    if (::setgid(gid_t(uid)) != 0 || ::setuid(uid_t(uid)) != 0) return 4;
    return makeWorkDir() ? 0 : 3;
  }
  return 2;
}
