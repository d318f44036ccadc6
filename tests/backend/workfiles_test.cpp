// Working directory, file names, prompt keys and the debug-log switch.
#include "tests/backend/backend_fixture.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace {

// Sets or unsets one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(PromptKey, MatchesLibcxxStringHashOnEveryLengthPath) {
  // Reference values printed by std::hash<std::string> of libc++ 14 (x86-64).
  const struct {
    std::string prompt;
    uint64_t key;
  } cases[] = {
      {"", 11160318154034397263ULL},
      {"a", 2603192927274642682ULL},
      {"ab", 1725057946192985918ULL},
      {"abc", 4220206313085259313ULL},
      {"abcd", 8979402121050354847ULL},
      {"1234567", 16051747686835230389ULL},
      {"12345678", 9934520233202095969ULL},
      {"hello world", 12386028635079221413ULL},
      {"0123456789abcdef", 692747204941329175ULL},
      {"0123456789abcdefg", 792568009951096890ULL},
      {"a cat sitting on a mountain top", 5642578495265013948ULL},
      {"0123456789abcdef0123456789abcdef", 1759797222395115254ULL},
      {"0123456789abcdef0123456789abcdef0", 4234306910221515788ULL},
      {"a sunny beach with palm trees at golden hour, cinematic", 16882990108956310481ULL},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", 5090725117239243852ULL},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef!", 3208556932576496746ULL},
      {"A misty forest at dawn with rays of light breaking through tall pine trees, a winding "
       "dirt path, photorealistic, 35mm, shallow depth of field",
       15426876137952879679ULL},
      {std::string("\xff\x80\xc3\xa9\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", 14),
       3897215608161193935ULL},
  };
  for (const auto& c : cases) EXPECT_EQ(promptKey(c.prompt), c.key) << "length " << c.prompt.size();

  std::string big(1000, 'q');  // many 64-byte blocks plus a tail
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + 3);
  EXPECT_EQ(promptKey(big), 10711208671167433006ULL);
}

TEST(WorkFiles, DirectoryIsUnderHomeOrTheAccountsHome) {
  {
    ScopedEnv home("HOME", std::string("/Users/ann"));
    EXPECT_EQ(tempDir(), "/Users/ann/Documents/tollwick/quenbay/temp");
  }
  // Never a folder shared with other users, such as /tmp/Documents.
  const struct passwd* account = ::getpwuid(::geteuid());
  ASSERT_NE(account, nullptr);
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    ScopedEnv home("HOME", value);
    EXPECT_EQ(tempDir(), std::string(account->pw_dir) + "/Documents/tollwick/quenbay/temp");
  }
}

TEST(WorkFiles, NamesCarryTheEffectKeyAndPromptKey) {
  ScopedEnv home("HOME", std::string("/h"));
  const std::string dir = "/h/Documents/tollwick/quenbay/temp";
  const std::string key = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(grabbedFile(key), dir + "/ofx_grabbed_" + key + ".png");
  EXPECT_EQ(inputFile(key), dir + "/ofx_input_" + key + "_" + std::to_string(::getpid()) + ".png");
  EXPECT_EQ(cacheFile(key, "abc"), dir + "/bg_" + key + "_4220206313085259313.png");
  EXPECT_EQ(rawdiffFile(key, "abc"), dir + "/rawdiff_" + key + "_4220206313085259313.png");
  EXPECT_EQ(anchorFile(key, ""), dir + "/anchor_" + key + "_11160318154034397263.png");
  EXPECT_NE(cacheFile("a", "sea"), cacheFile("b", "sea"));
  EXPECT_EQ(cacheFile("a", "sea"), cacheFile("a", "sea"));
  EXPECT_NE(cacheFile("a", "sea"), cacheFile("a", "sea "));
}

TEST(WorkFiles, LongHomeIsCutAt511Characters) {
  ScopedEnv home("HOME", "/" + std::string(600, 'h'));
  EXPECT_EQ(cacheFile("a", "x").size(), 511u);
  EXPECT_EQ(grabbedFile("a").size(), 511u);
}

TEST(WorkFiles, MakeWorkDirCreatesEveryMissingLevelTheLastOneClosed) {
  TempHome home;
  const mode_t oldMask = ::umask(022);
  EXPECT_FALSE(fileExists(tempDir()));
  EXPECT_TRUE(makeWorkDir());
  ::umask(oldMask);
  EXPECT_TRUE(fileExists(tempDir()));
  const struct {
    const char* level;
    mode_t mode;
  } levels[] = {{"/Documents", 0755},
                {"/Documents/tollwick", 0755},
                {"/Documents/tollwick/quenbay", 0755},
                {"/Documents/tollwick/quenbay/temp", 0700}};
  for (const auto& l : levels) EXPECT_EQ(modeOf(home.path() + l.level), l.mode) << l.level;
  EXPECT_TRUE(makeWorkDir());  // already there: still fine
}

TEST(WorkFiles, MakeWorkDirFailsWhenALevelIsAFile) {
  TempHome home;
  ASSERT_TRUE(writeBytes(home.path() + "/Documents", "not a folder"));
  EXPECT_FALSE(makeWorkDir());
}

TEST(WorkFiles, FileExistsSeesFilesAndFolders) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());
  EXPECT_TRUE(fileExists(tempDir()));
  EXPECT_FALSE(fileExists(tempDir() + "/nothing.png"));
  ASSERT_TRUE(writeBytes(tempDir() + "/x.png", "x"));
  EXPECT_TRUE(fileExists(tempDir() + "/x.png"));
}

TEST(IsValidPng, ChecksTheEightByteSignature) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());
  const std::string path = tempDir() + "/p.png";
  ASSERT_TRUE(writeBytes(path, pngBytes()));
  EXPECT_TRUE(isValidPng(path));
  ASSERT_TRUE(writeBytes(path, pngBytes().substr(0, 7)));
  EXPECT_FALSE(isValidPng(path));
  ASSERT_TRUE(writeBytes(path, R"({"detail":"error"})"));
  EXPECT_FALSE(isValidPng(path));
  EXPECT_FALSE(isValidPng(tempDir() + "/missing.png"));
}

// Each case runs in a fresh process: the switch is decided once per process.
TEST(DebugLog, SwitchIsDecidedOnceFromTalvaneDebug) {
  const struct {
    std::optional<std::string> value;
    bool on;
  } cases[] = {
      {std::nullopt, false}, {"", false},   {"0", false},    {"00", false}, {"0yes", false},
      {"1", true},           {"yes", true}, {"false", true}, {" 0", true},
  };
  for (const auto& c : cases) {
    TempHome home;
    ASSERT_TRUE(makeWorkDir());
    std::map<std::string, std::string> env{{"HOME", home.path()}};
    if (c.value) env["TALVANE_DEBUG"] = *c.value;
    // The helper flips the variable between its two lines; that must change nothing.
    const HelperRun run = runHelper({"dbg", c.on ? "0" : "1"}, env);
    ASSERT_EQ(run.exitCode, 0);
    const std::string log = readFile(tempDir() + "/ofx_debug.log");
    EXPECT_EQ(log, c.on ? "first\nsecond\n" : "") << (c.value ? *c.value : "(unset)");
    EXPECT_EQ(fileExists(tempDir() + "/ofx_debug.log"), c.on);
  }
}

TEST(DebugLog, UnsettingTheVariableLaterKeepsLogging) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());
  const HelperRun run =
      runHelper({"dbg", "-unset"}, {{"HOME", home.path()}, {"TALVANE_DEBUG", "1"}});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(readFile(tempDir() + "/ofx_debug.log"), "first\nsecond\n");
}

TEST(DebugLog, MissingDirectoryOrHomeDropsTheLineQuietly) {
  TempHome home;  // working directory not created
  HelperRun run = runHelper({"dbg", "1"}, {{"HOME", home.path()}, {"TALVANE_DEBUG", "1"}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(fileExists(tempDir()));
  run = runHelper({"dbg", "1"}, {{"TALVANE_DEBUG", "1"}});  // no HOME at all
  EXPECT_EQ(run.exitCode, 0);
}

TEST(DebugLog, AppendsOneLinePerMessage) {
  TempHome home;
  ASSERT_TRUE(makeWorkDir());
  dbg("one");
  dbg("two words");
  const std::vector<std::string> expected{"one", "two words"};
  EXPECT_EQ(debugLines(), expected);
}
