// Command injection, as a property: for random prompts, service URLs, tokens,
// device codes and home folders, every curl run the plug-in makes gets exactly
// the intended argument words. Checked twice: the shell line each request
// renders splits (POSIX rules) into those words and nothing more, and the argv
// that really reaches posix_spawn equals them (this executable interposes
// posix_spawn and records every curl it starts).
#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/backend.h"
#include "tests/support/loopback_server.h"
#include "tests/support/shell_words.h"
#include "tests/support/temp_home.h"

namespace {

std::mutex gSpawnMutex;
std::vector<std::vector<std::string>> gCurlRuns;

}  // namespace

// Every posix_spawn of this process passes here first (the definition in the
// executable takes precedence over the C library's); the real one follows.
extern "C" int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attributes, char* const argv[],
                           char* const envp[]) {
  using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                        const posix_spawnattr_t*, char* const[], char* const[]);
  static const Spawn real = reinterpret_cast<Spawn>(dlsym(RTLD_NEXT, "posix_spawn"));
  if (std::string(path) == "/usr/bin/curl") {
    std::vector<std::string> words;
    for (char* const* a = argv; a && *a; ++a) words.emplace_back(*a);
    std::lock_guard<std::mutex> lock(gSpawnMutex);
    gCurlRuns.push_back(words);
  }
  return real(pid, path, actions, attributes, argv, envp);
}

namespace {

std::vector<std::vector<std::string>> takeCurlRuns() {
  std::lock_guard<std::mutex> lock(gSpawnMutex);
  std::vector<std::vector<std::string>> runs;
  runs.swap(gCurlRuns);
  return runs;
}

const std::string kTokenAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._";
// Service URLs: what isSafeUrl lets through except the bytes a shell would
// read as operators in the URL's unquoted place on the rendered line.
const std::string kUrlAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:/%=,+@!^"
    "\x80\xa0\xc3\xa9\xff";
// Those operators: isSafeUrl accepts them too. No shell ever runs, so they
// only have to reach curl inside the one URL word.
const std::string kUrlOperators = ";&|<>()*?#~{}[]";
// Folder names a home may have, quotes, dollars and backslashes included.
const std::string kHomeAlphabet = "abcXYZ019 ._-,;&|<>()*?#~!%+=@{}[]\"$`\\'";

// The upload's file name as curl's -F parser takes it whole.
std::string formFileName(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The tail every run shares: the answer's byte limit, the status on the error stream.
std::vector<std::string> withOutput(std::vector<std::string> words, uint64_t limit) {
  words.insert(words.end(),
               {"--max-filesize", std::to_string(limit), "-w", "%{stderr}%{http_code}", "-s"});
  return words;
}

// The request rendered as the shell line must split into the words curl
// gets, with the answer and status redirections and nothing else.
void expectShellLineMatches(const CurlRequest& request, const std::string& out,
                            const std::string& status, const std::vector<std::string>& words) {
  ASSERT_EQ(curlArguments(request, kJsonAnswerLimit), words);
  const std::string line = curlCommandLine(request, kJsonAnswerLimit, out, status);
  const ShellSplit split = splitShellWords(line);
  ASSERT_TRUE(split.ok) << split.error << " in: " << line;
  ASSERT_EQ(split.words, words) << line;
  ASSERT_EQ(split.redirects,
            (std::vector<std::pair<std::string, std::string>>{{">", out}, {"2>", status}}));
}

TEST(CommandWords, EveryRequestRendersExactlyItsWordsForRandomInputs) {
  std::mt19937 rng(8128);
  int checked = 0;
  for (int round = 0; round < 300; ++round) {
    const std::string url =
        trimmedUrl((round % 2 ? "https://" : "http://") + randomText(rng, kUrlAlphabet, 1, 60));
    if (!isSafeUrl(url)) continue;
    const std::string dir = "/home/" + randomText(rng, kHomeAlphabet, 1, 20) + "/temp";
    const std::string out = dir + "/answer.json", status = dir + "/status.txt";
    const std::string header = dir + "/hdr.txt", form = dir + "/form.txt";
    const std::string grabbed = dir + "/ofx_grabbed_3.png";
    const std::string prompt = randomText(rng, everyByteButNul(), 0, 200);
    const RequestLimits limits{int(rng() % 20), int(rng() % 400)};
    std::vector<std::string> limitWords;
    if (limits.totalSeconds > 0)
      limitWords.insert(limitWords.end(), {"--max-time", std::to_string(limits.totalSeconds)});
    if (limits.connectSeconds > 0)
      limitWords.insert(limitWords.end(),
                        {"--connect-timeout", std::to_string(limits.connectSeconds)});

    std::vector<std::string> generate{"/usr/bin/curl",
                                      "-q",
                                      "-X",
                                      "POST",
                                      url + "/v1/generate",
                                      "-H",
                                      "@" + header,
                                      "-F",
                                      "image=@" + formFileName(grabbed),
                                      "--form-string",
                                      "prompt=" + servicePrompt(prompt),
                                      "--form-string",
                                      "cache_key=3_77"};
    generate.insert(generate.end(), limitWords.begin(), limitWords.end());
    expectShellLineMatches(generationRequest(url, header, grabbed, prompt, "3_77", limits), out,
                           status, withOutput(generate, kJsonAnswerLimit));

    const std::vector<std::string> device{"/usr/bin/curl",
                                          "-q",
                                          "-X",
                                          "POST",
                                          url + "/v1/device/code",
                                          "-H",
                                          "Content-Type: application/json"};
    std::vector<std::string> deviceWords = curlArguments(deviceCodeRequest(url), kJsonAnswerLimit);
    ASSERT_GE(deviceWords.size(), device.size() + 5);
    ASSERT_TRUE(std::equal(device.begin(), device.end(), deviceWords.begin()));
    expectShellLineMatches(deviceCodeRequest(url), out, status, deviceWords);

    const std::vector<std::string> token{"/usr/bin/curl",
                                         "-q",
                                         "-X",
                                         "POST",
                                         url + "/v1/device/token",
                                         "-H",
                                         "Content-Type: application/x-www-form-urlencoded",
                                         "--data-binary",
                                         "@" + form};
    std::vector<std::string> tokenWords =
        curlArguments(deviceTokenRequest(url, form), kJsonAnswerLimit);
    ASSERT_TRUE(std::equal(token.begin(), token.end(), tokenWords.begin()));
    expectShellLineMatches(deviceTokenRequest(url, form), out, status, tokenWords);

    const std::vector<std::string> me{"/usr/bin/curl", "-q", "-X",        "GET",
                                      url + "/v1/me",  "-H", "@" + header};
    std::vector<std::string> meWords = curlArguments(accountRequest(url, header), kJsonAnswerLimit);
    ASSERT_TRUE(std::equal(me.begin(), me.end(), meWords.begin()));
    expectShellLineMatches(accountRequest(url, header), out, status, meWords);

    std::vector<std::string> versionWords = curlArguments(versionRequest(url), kJsonAnswerLimit);
    ASSERT_EQ(
        std::vector<std::string>(versionWords.begin(), versionWords.begin() + 5),
        (std::vector<std::string>{"/usr/bin/curl", "-q", "-X", "GET", url + "/version.json"}));
    expectShellLineMatches(versionRequest(url), out, status, versionWords);
    ++checked;
  }
  EXPECT_GT(checked, 200);
}

TEST(CommandWords, UrlsWithShellOperatorsStayOneArgumentWord) {
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    const std::string url = "https://h/" + randomText(rng, kUrlAlphabet + kUrlOperators, 1, 40);
    ASSERT_TRUE(isSafeUrl(trimmedUrl(url)));
    const std::string base = trimmedUrl(url);
    EXPECT_EQ(curlArguments(generationRequest(base, "/h", "/g", "p", "1_2", {0, 0}), 1)[4],
              base + "/v1/generate");
    EXPECT_EQ(curlArguments(deviceCodeRequest(base), 1)[4], base + "/v1/device/code");
    EXPECT_EQ(curlArguments(deviceTokenRequest(base, "/f"), 1)[4], base + "/v1/device/token");
    EXPECT_EQ(curlArguments(accountRequest(base, "/h"), 1)[4], base + "/v1/me");
    EXPECT_EQ(curlArguments(versionRequest(base), 1)[4], base + "/version.json");
  }
}

// The words of one real run, with the per-request file names read back from
// where they must stand.
struct RealRun {
  std::vector<std::string> argv;
  std::string at(size_t i) const { return i < argv.size() ? argv[i] : std::string(); }
};

class CommandWordsLive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start());
    server_.reply("POST", "/v1/generate", Reply{200, "\x89PNG\r\n\x1a\nrest", "image/png"});
    server_.reply("POST", "/v1/device/code", Reply{200, R"({"device_code":"d","user_code":"u"})"});
    server_.reply("POST", "/v1/device/token", Reply{400, R"({"error":"authorization_pending"})"});
    server_.reply("GET", "/v1/me", Reply{200, R"({"email":"e@x","balance":1})"});
    server_.reply("GET", "/version.json", Reply{200, R"({"latest":"1.0.0"})"});
    takeCurlRuns();
  }
  LoopbackServer server_;
};

// A home folder whose name holds blanks and shell operators: no shell sees
// the paths, so they arrive as single words and the upload reads the file.
TEST_F(CommandWordsLive, RealRunsPassExactlyTheIntendedArgvForRandomInputs) {
  std::mt19937 rng(31337);
  const std::regex requestFile(R"(.*/ofx_(auth_hdr|device_token_form)_\d+_[0-9a-f]{8}_\d+\.txt$)");
  for (int round = 0; round < 12; ++round) {
    TempHome home;
    const std::string odd =
        home.path() + "/" + randomText(rng, " ._-;,&|<>()!%+=@\"$`\\'", 1, 12) + "x";
    ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
    setenv("HOME", odd.c_str(), 1);
    ASSERT_TRUE(makeWorkDir());
    const std::string work = tempDir();
    const std::string id = std::to_string(5 + round);
    std::string png = "\x89PNG\r\n\x1a\n" + randomText(rng, everyByteButNul(), 10, 40);
    {
      FILE* f = std::fopen(grabbedFile(id).c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fwrite(png.data(), 1, png.size(), f);
      std::fclose(f);
    }
    // Even rounds talk to the service itself; odd ones to odd paths under it.
    const std::string url =
        round % 2 == 0 ? server_.url()
                       : server_.url() + "/" + randomText(rng, "abc019._-~!%+=@;&|<>()*?#^", 1, 16);
    ASSERT_TRUE(isSafeUrl(trimmedUrl(url))) << url;
    const std::string base = trimmedUrl(url);
    const std::string token = randomText(rng, kTokenAlphabet, 1, 256);
    const std::string code = randomText(rng, kTokenAlphabet, 1, 256);
    const std::string prompt = randomText(rng, everyByteButNul(), 0, 120);

    const int generated = sendToBackend(id, url, token, prompt, inputFile(id), {2, 10});
    if (round % 2 == 0) {
      EXPECT_EQ(generated, 200) << "home " << odd;
      const auto seen = server_.requestsTo("/v1/generate");
      ASSERT_FALSE(seen.empty());
      ASSERT_EQ(seen.back().files.count("image"), 1u);
      EXPECT_EQ(seen.back().files.at("image").content, png) << "the grabbed frame, byte for byte";
      EXPECT_EQ(seen.back().fields.at("prompt"), servicePrompt(prompt));
      EXPECT_EQ(seen.back().fields.at("cache_key"), id + "_" + std::to_string(promptKey(prompt)));
    }
    std::string deviceCode, userCode, verification, error, access, email;
    int interval = 0, expires = 0, balance = 0;
    requestDeviceCode(url, deviceCode, userCode, verification, interval, expires, error);
    pollDeviceToken(url, code, access, balance, email, error);
    fetchBalance(url, token, email, balance);
    std::string latest, download;
    fetchLatestVersion(url, latest, download);

    const auto runs = takeCurlRuns();
    ASSERT_EQ(runs.size(), 5u);
    const std::string key = id + "_" + std::to_string(promptKey(prompt));
    const RealRun gen{runs[0]};
    ASSERT_EQ(gen.argv.size(), 22u);
    EXPECT_EQ(std::vector<std::string>(gen.argv.begin(), gen.argv.begin() + 6),
              (std::vector<std::string>{"/usr/bin/curl", "-q", "-X", "POST", base + "/v1/generate",
                                        "-H"}));
    EXPECT_TRUE(std::regex_match(gen.at(6).substr(1), requestFile)) << gen.at(6);
    EXPECT_EQ(gen.at(6).substr(1, work.size()), work);
    EXPECT_EQ(gen.at(8), "image=@" + formFileName(grabbedFile(id)));
    EXPECT_EQ(gen.at(10), "prompt=" + servicePrompt(prompt));
    EXPECT_EQ(gen.at(12), "cache_key=" + key);
    EXPECT_EQ(gen.at(18), std::to_string(kPngAnswerLimit));

    const RealRun dev{runs[1]}, tok{runs[2]}, me{runs[3]}, ver{runs[4]};
    EXPECT_EQ(dev.at(4), base + "/v1/device/code");
    EXPECT_EQ(dev.at(6), "Content-Type: application/json");
    EXPECT_EQ(tok.at(4), base + "/v1/device/token");
    EXPECT_EQ(tok.at(8).substr(0, 1 + work.size()), "@" + work);
    EXPECT_TRUE(std::regex_match(tok.at(8).substr(1), requestFile)) << tok.at(8);
    EXPECT_EQ(me.at(4), base + "/v1/me");
    EXPECT_TRUE(std::regex_match(me.at(6).substr(1), requestFile)) << me.at(6);
    EXPECT_EQ(ver.at(4), base + "/version.json");
    for (const auto& run : runs) {
      // The tail every run shares: the body and status go to descriptors, the size is capped.
      ASSERT_GE(run.size(), 5u);
      EXPECT_EQ(run[run.size() - 5], "--max-filesize");
      EXPECT_EQ(std::vector<std::string>(run.end() - 3, run.end()),
                (std::vector<std::string>{"-w", "%{stderr}%{http_code}", "-s"}));
    }
    EXPECT_EQ(dev.at(dev.argv.size() - 4), std::to_string(kJsonAnswerLimit));
  }
  // Whatever reached the service came as the intended fields: the prompt as
  // text, the grabbed frame as the only file.
  for (const ServedRequest& r : server_.requests()) {
    if (r.path.size() < 12 || r.path.compare(r.path.size() - 12, 12, "/v1/generate") != 0) continue;
    EXPECT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files.count("image"), 1u);
    EXPECT_EQ(r.fields.count("prompt"), 1u);
  }
}

}  // namespace
