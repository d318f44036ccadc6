// No user text ever reaches a shell: requests are argument words for curl.
// The words are exactly those the equivalent shell command line splits into,
// and hostile prompts, URLs and tokens arrive as text and run nothing.
#include "tests/backend/backend_fixture.h"
#include "tests/support/shell_words.h"

#include <random>

namespace {

std::string highBytes() {
  std::string s;
  for (int b = 0x80; b < 0x100; b += 7) s += char(b);
  return s;
}

const std::string kTokenAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._";

class ShellSafety : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    ASSERT_TRUE(writeBytes(grabbedFile(kId), pngBytes()));
    server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});
  }
  std::string marker() const { return home.path() + "/pwned"; }
  static constexpr const char* kId = "9";
};

}  // namespace

TEST(ShellWordSplitter, SplitsQuotesAndRefusesWhatAShellWouldInterpret) {
  ShellSplit s = splitShellWords(R"(a "b c" 'd"e' f@"g h" > "out" 2>/dev/null)");
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.words, (std::vector<std::string>{"a", "b c", "d\"e", "f@g h"}));
  EXPECT_EQ(s.redirects,
            (std::vector<std::pair<std::string, std::string>>{{">", "out"}, {"2>", "/dev/null"}}));
  for (const char* bad : {"a \"$(x)\"", "a `x`", "a;b", "a | b", "a && b", "a *", "a ~", "a #c",
                          "a\nb", "a <b", "a $X"})
    EXPECT_FALSE(splitShellWords(bad).ok) << bad;
}

TEST(ShellWords, GenerationWordsMatchTheShellLineForRandomInputs) {
  TempHome home;
  const std::string header = tempDir() + "/ofx_auth_hdr_1_1.txt";
  const std::string grabbed = grabbedFile("12");
  const std::string out = inputFile("12");
  const std::string status = tempDir() + "/ofx_curl_status_1_1.txt";
  const std::string urlAlphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:/%=,+@!" + highBytes();
  std::mt19937 rng(20240611);
  int checked = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string prompt = randomText(rng, everyByteButNul(), 0, 300);
    const std::string url =
        trimmedUrl((round % 2 ? "https://" : "http://") + randomText(rng, urlAlphabet, 1, 80));
    if (!isSafeUrl(url)) continue;
    const std::string key = "12_" + std::to_string(promptKey(prompt));
    const RequestLimits limits{int(rng() % 30), int(rng() % 400)};
    const CurlRequest request = generationRequest(url, header, grabbed, prompt, key, limits);

    std::vector<std::string> expected{"/usr/bin/curl",
                                      "-q",
                                      "-X",
                                      "POST",
                                      url + "/v1/generate",
                                      "-H",
                                      "@" + header,
                                      "-F",
                                      "image=@\"" + grabbed + "\"",
                                      "--form-string",
                                      "prompt=" + servicePrompt(prompt),
                                      "--form-string",
                                      "cache_key=" + key};
    if (limits.totalSeconds > 0)
      expected.insert(expected.end(), {"--max-time", std::to_string(limits.totalSeconds)});
    if (limits.connectSeconds > 0)
      expected.insert(expected.end(), {"--connect-timeout", std::to_string(limits.connectSeconds)});
    expected.insert(expected.end(),
                    {"--max-filesize", "268435456", "-w", "%{stderr}%{http_code}", "-s"});
    ASSERT_EQ(curlArguments(request, kPngAnswerLimit), expected);

    const std::string line = curlCommandLine(request, kPngAnswerLimit, out, status);
    const ShellSplit split = splitShellWords(line);
    ASSERT_TRUE(split.ok) << split.error << " in " << line;
    ASSERT_EQ(split.words, expected);
    ASSERT_EQ(split.redirects,
              (std::vector<std::pair<std::string, std::string>>{{">", out}, {"2>", status}}));
    ++checked;
  }
  EXPECT_GT(checked, 300);
}

TEST(ShellWords, UrlWithShellOperatorsStaysOneWord) {
  // isSafeUrl lets these through; without a shell they are just URL bytes.
  std::mt19937 rng(7);
  const std::string alphabet = "ab;&|<>()*?[]#~!{}" + highBytes();
  for (int round = 0; round < 200; ++round) {
    const std::string url = "https://h/" + randomText(rng, alphabet, 1, 40);
    ASSERT_TRUE(isSafeUrl(url));
    const CurlRequest request = generationRequest(url, "/h", "/g", "p", "1_2", {0, 0});
    const std::vector<std::string> args = curlArguments(request, kPngAnswerLimit);
    ASSERT_EQ(args.size(), 18u);
    EXPECT_EQ(args[4], url + "/v1/generate");
  }
}

TEST(ShellWords, HeaderFileHoldsExactlyTheBearerLine) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());
  std::mt19937 rng(99);
  for (int round = 0; round < 50; ++round) {
    const std::string token = randomText(rng, kTokenAlphabet, 1, 256);
    const std::string path = tempDir() + "/hdr.txt";
    ASSERT_TRUE(writeAuthHeaderFile(path, token));
    EXPECT_EQ(readFile(path), "Authorization: Bearer " + token + "\n");
  }
}

TEST_F(ShellSafety, HostilePromptsArriveAsTypedAndRunNothing) {
  const std::string m = marker();
  const std::string prompts[] = {
      "it's a \"neon\" sign",
      "x\"; touch " + m + "; echo \"",
      "$(touch " + m + ")",
      "`touch " + m + "`",
      "; touch " + m,
      "' ; touch " + m + " ; '",
      "line one\ntouch " + m,
      "a & touch " + m + " | cat > " + m,
      "@/etc/passwd",
      "</etc/passwd",
      "\\\"$(touch " + m + ")\\\"",
  };
  for (const std::string& prompt : prompts) {
    ASSERT_EQ(sendToBackend(kId, server.url(), "tok", prompt, inputFile(kId)), 200) << prompt;
    const auto seen = server.requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().fields.at("prompt"), prompt);
    EXPECT_EQ(seen.back().files.count("prompt"), 0u);
    EXPECT_EQ(seen.back().files.size(), 1u);
    EXPECT_FALSE(fileExists(m)) << prompt;
  }
}

TEST_F(ShellSafety, UrlThatWouldChainACommandRunsNothing) {
  const std::string url = server.url() + "/x;touch>" + marker() + ";";
  ASSERT_TRUE(isSafeUrl(url));
  sendToBackend(kId, url, "tok", "p", inputFile(kId));
  EXPECT_FALSE(fileExists(marker()));
  std::string email;
  int balance = 0;
  fetchBalance(server.url() + "/y|touch>" + marker(), "tok", email, balance);
  EXPECT_FALSE(fileExists(marker()));
}

TEST_F(ShellSafety, HostileTokensAndDeviceCodesAreRefusedUnsent) {
  const std::string m = marker();
  for (const std::string& token :
       {"$(touch " + m + ")", "`touch " + m + "`", "a;touch " + m, std::string("a\nX-Injected: 1"),
        std::string("a\"b"), "@" + m, "<" + m}) {
    EXPECT_EQ(sendToBackend(kId, server.url(), token, "p", inputFile(kId)), 0);
    std::string email, access, error;
    int balance = 0;
    EXPECT_EQ(fetchBalance(server.url(), token, email, balance), -1);
    EXPECT_EQ(pollDeviceToken(server.url(), token, access, balance, email, error),
              PollOutcome::Failed);
    EXPECT_EQ(error, "Malformed device code");
  }
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(fileExists(m));
}
