// The browser hand-off: the guard, and the real launch (posix_spawnp, no
// shell) of the build's opener, here the stand-in that records its arguments.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "account/account.h"
#include "backend/backend.h"
#include "tests/account/account_test_env.h"
#include "tests/support/temp_home.h"

namespace {

const std::string kSentinel = "https://example.com/sentinel";

struct UrlCase {
  const char* name;
  std::string url;
  bool opened;
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const UrlCase& c, std::ostream* out) { *out << c.name; }

class OpenUrl : public ::testing::TestWithParam<UrlCase> {
 protected:
  TempHome home;
  OpenerStub opener;
};

// A refused URL is followed by an accepted sentinel: once the sentinel is
// recorded, anything the refused call had started would have been recorded too.
TEST_P(OpenUrl, OpensExactlyTheSafeUrlsAndNothingElse) {
  const UrlCase& c = GetParam();
  openUrlInBrowser(c.url);
  openUrlInBrowser(kSentinel);
  const std::vector<std::string> expected =
      c.opened ? std::vector<std::string>{c.url, kSentinel} : std::vector<std::string>{kSentinel};
  ASSERT_TRUE(opener.waitForCalls(expected.size(), 5));
  std::vector<std::string> urls = opener.urls();
  std::sort(urls.begin(), urls.end());
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(urls, sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, OpenUrl,
    ::testing::Values(UrlCase{"Https", "https://pay.example.com/buy?plan=a&n=2#top", true},
                      UrlCase{"Http", "http://127.0.0.1:28517/download", true},
                      UrlCase{"ShellMetacharactersOutsideTheListStayOneWord",
                              "https://x.example/a;b|c&d<e>(f)*?", true},
                      UrlCase{"Empty", "", false}, UrlCase{"Ftp", "ftp://x.example/file", false},
                      UrlCase{"File", "file:///etc/passwd", false},
                      UrlCase{"Javascript", "javascript:alert(1)", false},
                      UrlCase{"UpperCaseScheme", "HTTPS://x.example/", false},
                      UrlCase{"SchemeOnlyPrefix", "https:/x.example/", false},
                      UrlCase{"LeadingSpace", " https://x.example/", false},
                      UrlCase{"Tab", "https://x.example/\tb", false},
                      UrlCase{"LineFeed", "https://x.example/\nb", false},
                      UrlCase{"CarriageReturn", "https://x.example/\rb", false},
                      UrlCase{"Space", "https://x.example/a b", false},
                      UrlCase{"DoubleQuote", "https://x.example/\"b", false},
                      UrlCase{"Dollar", "https://x.example/$(id)", false},
                      UrlCase{"SingleQuote", "https://x.example/'b", false},
                      UrlCase{"Backslash", "https://x.example/\\b", false},
                      UrlCase{"Backquote", "https://x.example/`id`", false},
                      UrlCase{"NulByte", std::string("https://x.example/a\0b", 21), false}),
    [](const ::testing::TestParamInfo<UrlCase>& info) { return std::string(info.param.name); });

}  // namespace
