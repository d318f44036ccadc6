// The pure rules every request relies on: URL trimming and checking, the
// token rule, prompt sanitising and the two JSON field extractors.
#include "backend/backend.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TextCase {
  std::string in;
  std::string out;
};

struct CheckCase {
  std::string text;
  bool accepted;
};

struct IntCase {
  std::string json;
  int value;
};

}  // namespace

TEST(TrimmedUrl, RemovesSurroundingBlanksAndTrailingSlashes) {
  const TextCase cases[] = {
      {"https://api.example.org", "https://api.example.org"},
      {"https://api.example.org/", "https://api.example.org"},
      {"https://api.example.org////", "https://api.example.org"},
      {"  https://api.example.org/ \n", "https://api.example.org"},
      {"\thttps://api.example.org", "https://api.example.org"},
      {"https://api.example.org/\r\n\t /", "https://api.example.org"},
      {"   ", ""},
      {" / / ", ""},
      {"", ""},
      {"https://", "https:"},
      {"\nhttps://a", "\nhttps://a"},  // only spaces and tabs lead away
      {"https://a/b c", "https://a/b c"},
  };
  for (const auto& c : cases) EXPECT_EQ(trimmedUrl(c.in), c.out) << '"' << c.in << '"';
}

TEST(IsSafeUrl, AcceptsOnlyPlainHttpOrigins) {
  const CheckCase cases[] = {
      {"http://127.0.0.1:8080", true},
      {"https://api.example.org", true},
      {"https://api.example.org/base", true},
      {"https://h/\xc3\xa9\xff", true},    // bytes above 127 pass
      {"https://h/a;b&c|d<e>f(g)", true},  // harmless: no shell sees the URL
      {"", false},
      {"ftp://api.example.org", false},
      {"HTTPS://api.example.org", false},
      {"Http://api.example.org", false},
      {"https:/api.example.org", false},
      {"https:", false},
      {"https://api.example.org/a b", false},
      {"https://api.example.org/$HOME", false},
      {"https://a\tb", false},
      {"https://a\nb", false},
      {"https://a\rb", false},
      {"https://a\"b", false},
      {"https://a'b", false},
      {"https://a\\b", false},
      {"https://a`b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isSafeUrl(c.text), c.accepted) << '"' << c.text << '"';
}

TEST(IsSafeUrl, LimitIs512Bytes) {
  const std::string base = "https://";
  EXPECT_TRUE(isSafeUrl(base + std::string(512 - base.size(), 'a')));
  EXPECT_FALSE(isSafeUrl(base + std::string(513 - base.size(), 'a')));
}

TEST(IsSafeUrl, SchemeAloneIsTrimmedAwayThenRefused) {
  EXPECT_FALSE(isSafeUrl(trimmedUrl("https://")));
  EXPECT_FALSE(isSafeUrl(trimmedUrl("http:// / ")));
  EXPECT_FALSE(isSafeUrl(trimmedUrl(" \t ")));
}

TEST(IsSafeToken, AcceptsLettersDigitsDashDotUnderscoreUpTo256) {
  const CheckCase cases[] = {
      {"abcXYZ019-._", true},
      {"a", true},
      {std::string(256, 'x'), true},
      {std::string(257, 'x'), false},
      {"", false},
      {"a+b", false},
      {"a/b", false},
      {"a=b", false},
      {"a b", false},
      {"a%b", false},
      {"a\nb", false},
      {"a;b", false},
      {"a$b", false},
      {"\xc3\xa9", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) EXPECT_EQ(isSafeToken(c.text), c.accepted) << '"' << c.text << '"';
}

TEST(ServicePrompt, KeepsTheTextAsTypedLessBrokenBytesAndControls) {
  const TextCase cases[] = {
      {"a sunny beach", "a sunny beach"},
      {"it's a \"neon\" sign for $5", "it's a \"neon\" sign for $5"},
      {"`x` \\ y", "`x` \\ y"},
      {"line one\nline two\r\tend", "line one\nline two\tend"},
      {"\x01"
       "bell\x07 del\x7f c1\xc2\x85.",
       "bell del c1."},
      {"caf\xc3\xa9 \xf0\x9f\x8c\x8a \xff", "caf\xc3\xa9 \xf0\x9f\x8c\x8a "},
      {"\xc0\xaf long \xed\xa0\x80 half \xf4\x90\x80\x80 big \xe2\x82 cut",
       " long  half  big  cut"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(servicePrompt(c.in), c.out) << c.in;
}

TEST(ExtractStringField, FollowsTheTextualMatchingRules) {
  const struct {
    std::string json, key, value;
  } cases[] = {
      {R"({"email":"ann@example.org","balance":3})", "email", "ann@example.org"},
      {R"({"email": "ann@example.org"})", "email", ""},  // blank after the colon
      {R"({"a":"x\"y"})", "a", "x\"y"},
      {R"({"a":"x\/y"})", "a", "x/y"},
      {R"({"a":"x\\y"})", "a", "x\\y"},
      {R"({"a":"1\n2\r3\t4"})", "a", "1\n2\r3\t4"},
      {R"({"a":"\u00e9!"})", "a", "00e9!"},
      {R"({"a":"b\bf\fz"})", "a", "bfz"},
      {R"({"a":"unterminated)", "a", "unterminated"},
      {"{\"a\":\"ends in backslash\\", "a", "ends in backslash\\"},
      {R"({"inner":{"k":"nested"},"k":"top"})", "k", "nested"},
      {R"({"xk":"suffix","k":"real"})", "k", "real"},
      {R"({"k":5})", "k", ""},
      {R"({"k":null})", "k", ""},
      {R"({"other":"x"})", "k", ""},
      {R"({"k":"caf\u00e9 café"})", "k", "caf00e9 café"},
      {"", "k", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(extractStringField(c.json, c.key), c.value) << c.json;
}

TEST(ExtractIntField, ReadsLeadingDigitsOrMinusOne) {
  const IntCase cases[] = {
      {R"({"n":42})", 42},
      {R"({"n":  42})", 42},
      {"{\"n\":\t7}", 7},
      {"{\"n\":\n7}", -1},  // a line feed stops the skipping
      {R"({"n":-7})", -7},
      {R"({"n":12.9})", 12},
      {R"({"n":1e3})", 1},
      {R"({"n":"5"})", -1},
      {R"({"n":null})", -1},
      {R"({"n":true})", -1},
      {R"({"n":-0})", 0},
      {R"({"n":-})", -1},
      {R"({"n":- 3})", -1},
      {R"({"n": )", -1},
      {R"({"n":)", -1},
      {R"({"n" : 3})", -1},
      {R"({"m":3})", -1},
      {R"({"n":2147483647})", 2147483647},
      {R"({"n":4294967296})", 0},  // wraps modulo 2^32
      {R"({"n":4294967297})", 1},
      {R"({"n":12345678901})", -539222987},
      {R"({"n":-2147483648})", -2147483647 - 1},
      {R"({"x":{"n":1},"n":2})", 1},
      {"", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(extractIntField(c.json, "n"), c.value) << c.json;
}
