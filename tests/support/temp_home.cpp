#include "tests/support/temp_home.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "backend/backend.h"

const std::string kTestKeychain = TALVANE_TEST_KEYCHAIN_SERVICE;

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path) == 0 ? 0 : -1;
}

void restore(const char* name, bool had, const std::string& value) {
  if (had) ::setenv(name, value.c_str(), 1);
  else ::unsetenv(name);
}

}  // namespace

bool removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return true;
  ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return ::lstat(path.c_str(), &st) != 0;
}

TempHome::TempHome() {
  char pattern[] = "/tmp/talvane-home-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (const char* h = std::getenv("HOME")) {
    hadHome_ = true;
    oldHome_ = h;
  }
  if (const char* x = std::getenv("XDG_CONFIG_HOME")) {
    hadXdg_ = true;
    oldXdg_ = x;
  }
  ::setenv("HOME", path_.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (path_ + "/.config").c_str(), 1);
}

TempHome::~TempHome() {
  // On Linux the store is a file under this home; on macOS the login keychain.
  for (const char* account : {TALVANE_TEST_SERVICE_URL, TALVANE_DEMO_SERVICE_URL})
    keychainDeleteToken(kTestKeychain, account);
  restore("HOME", hadHome_, oldHome_);
  restore("XDG_CONFIG_HOME", hadXdg_, oldXdg_);
  removeTree(path_);
}

std::string TempHome::workDir() const { return path_ + "/Documents/tollwick/quenbay/temp"; }
