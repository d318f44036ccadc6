// The single guarded way a URL reaches the browser. A URL comes from the
// service (verification and download pages) and ends up on an opener's
// command line, so anything a shell or an opener could read as more than one
// plain web address is refused, silently.
#include <cstdlib>
#include <cstring>
#include <string>

#include "account/account.h"

bool isOpenableUrl(const std::string& url) {
  if (url.empty()) return false;
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) return false;
  for (const char c : url) {
    if (c == '\0' || std::strchr("\t\n\r \"$'\\`", c) != nullptr) return false;
  }
  return true;
}

bool openUrlInBrowser(const std::string& url) {
  if (!isOpenableUrl(url)) return false;
  // Machines without a desktop (render nodes, the command-line renderer) say so.
  const char* noBrowser = std::getenv("TALVANE_NO_BROWSER");
  if (noBrowser && *noBrowser && *noBrowser != '0') return false;
  return launchBrowser(url);
}
