// The launch when the opener is missing. This executable's build names an
// opener looked up in PATH, as the shipped Linux bundle's xdg-open is, and
// the test empties PATH.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "account/account.h"
#include "backend/backend.h"
#include "tests/support/temp_home.h"

namespace {

TEST(OpenUrlWithoutOpener, DoesNothingVisibleAndLogsTheMissingOpener) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());  // where the debug log goes
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  ::setenv("PATH", "/nonexistent-talvane-bin", 1);
  openUrlInBrowser("https://x.example/page");
  ::setenv("PATH", saved.c_str(), 1);
  const std::string log = readFile(home.workDir() + "/ofx_debug.log");
  EXPECT_NE(log.find("openUrlInBrowser: talvane-missing-opener not found"), std::string::npos)
      << log;
}

}  // namespace
