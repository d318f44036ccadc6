// macOS: the system's opener shows the URL in the default browser; the
// trailing "&" returns at once.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "account/account.h"

void launchBrowser(const std::string& url) {
  char command[1024];
  const int length =
      std::snprintf(command, sizeof command, "/usr/bin/open \"%s\" >/dev/null 2>&1 &", url.c_str());
  // A cut command would lose its closing quote; better to open nothing.
  if (length < 0 || static_cast<size_t>(length) >= sizeof command) return;
  const int ignored = std::system(command);
  (void)ignored;
}
