// versionIsNewer: versions compared as lists of integers.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "account/account.h"

namespace {

struct VersionCase {
  const char* latest;
  const char* current;
  bool newer;
};

void PrintTo(const VersionCase& c, std::ostream* out) {
  *out << '"' << c.latest << "\" against \"" << c.current << '"';
}

class VersionIsNewer : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionIsNewer, ComparesComponentByComponent) {
  const VersionCase& c = GetParam();
  EXPECT_EQ(versionIsNewer(c.latest, c.current), c.newer)
      << '"' << c.latest << "\" against \"" << c.current << '"';
}

INSTANTIATE_TEST_SUITE_P(
    AgainstOurs, VersionIsNewer,
    ::testing::Values(VersionCase{"1.0.1", "1.0.0", true},
                      VersionCase{"1.0", "1.0.0", false},  // padded with zeros: equal
                      VersionCase{"1.0.0.1", "1.0.0", true}, VersionCase{"0.9.9", "1.0.0", false},
                      VersionCase{"1.0.0-rc2", "1.0.0", false},  // suffix ignored: 1, 0, 0
                      VersionCase{"2..0", "1.0.0", true},        // 2, 0, 0
                      VersionCase{"", "1.0.0", false}, VersionCase{"1.0.0", "1.0.0", false},
                      VersionCase{"v1.2", "1.0.0", false},  // a leading letter reads as 0
                      VersionCase{"10.0", "9.9", true},     // numbers, not text
                      VersionCase{"1.", "1", false},        // a trailing dot adds nothing
                      VersionCase{"1.2.3-beta", "1.2.2", true}, VersionCase{"1.0.1", "", false},
                      VersionCase{"1.10", "1.9", true},
                      VersionCase{"1.0.0.0.0.0.1", "1.0.0", true}));

}  // namespace
