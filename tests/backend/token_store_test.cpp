// The file-backed token store: one token per account, private, atomic and
// safe under concurrent writers.
#include "tests/backend/backend_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

const std::string kAccount = "http://127.0.0.1:28517";

class TokenStore : public ::testing::Test {
 protected:
  std::string dir() const { return home.path() + "/.config/talvane"; }
  std::string file() const { return dir() + "/app.talvane.background.plugin.tokens"; }
  mode_t modeOf(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  void SetUp() override { ASSERT_TRUE(makeWorkDir()); }  // for the debug log

  TempHome home;
};

}  // namespace

TEST_F(TokenStore, StoringTwiceKeepsOneItemWithTheSecondToken) {
  EXPECT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "first"));
  EXPECT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "second"));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "second");
  EXPECT_EQ(readFile(file()), "talvane-tokens 1\n22 6\n" + kAccount + "second\n");
}

TEST_F(TokenStore, ReadAfterDeleteIsEmptyAndDeletingTwiceSucceeds) {
  EXPECT_TRUE(keychainDeleteToken(kPluginIdentifier, kAccount));  // nothing stored yet
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  EXPECT_TRUE(keychainDeleteToken(kPluginIdentifier, kAccount));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
  EXPECT_TRUE(keychainDeleteToken(kPluginIdentifier, kAccount));
}

TEST_F(TokenStore, AccountsAreKeptApart) {
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, "https://a", "ta"));
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, "https://b", "tb"));
  ASSERT_TRUE(keychainDeleteToken(kPluginIdentifier, "https://a"));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, "https://a"), "");
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, "https://b"), "tb");
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, "https://b/"), "");
}

TEST_F(TokenStore, EmptyAccountKeyTouchesNothing) {
  EXPECT_FALSE(keychainStoreToken(kPluginIdentifier, "", "tok"));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, ""), "");
  EXPECT_FALSE(keychainDeleteToken(kPluginIdentifier, ""));
  EXPECT_FALSE(fileExists(dir()));
}

// The service names the store's files, so one that is empty or would reach
// outside the store's folder is refused; another service has a file of its own.
TEST_F(TokenStore, ServiceNamesItsOwnFileInsideTheFolderOnly) {
  const std::string refused[] = {"", "../escape", "a/b", ".hidden", std::string("a\0b", 3)};
  for (const std::string& service : refused) {
    EXPECT_FALSE(keychainStoreToken(service, kAccount, "tok")) << service;
    EXPECT_EQ(keychainGetToken(service, kAccount), "") << service;
    EXPECT_FALSE(keychainDeleteToken(service, kAccount)) << service;
  }
  EXPECT_FALSE(fileExists(dir()));
  EXPECT_FALSE(fileExists(home.path() + "/.config/escape.tokens"));
  ASSERT_TRUE(keychainStoreToken("app.talvane.other", kAccount, "other"));
  EXPECT_TRUE(fileExists(dir() + "/app.talvane.other.tokens"));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
}

TEST_F(TokenStore, AnyBytesComeBackExactly) {
  static const char raw[] = "\xc3\xa9\xff\x00\n 7 9\ntalvane-tokens 1\n";
  const std::string token(raw, sizeof raw - 1);
  const std::string account("acc\n\x00\xfe", 6);
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, account, token));
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, "other", ""));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, account), token);
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, "other"), "");
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, std::string("acc\n", 4)), "");
}

TEST_F(TokenStore, FolderIs0700AndFile0600) {
  const mode_t oldMask = ::umask(0);  // even with no umask nothing is wider
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  ::umask(oldMask);
  EXPECT_EQ(modeOf(dir()), 0700u);
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(modeOf(home.path() + "/.config"), 0700u);
}

TEST_F(TokenStore, FallsBackToHomeConfigWithoutXdg) {
  ::unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  EXPECT_TRUE(fileExists(file()));
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "tok");
}

TEST_F(TokenStore, GroupReadableFileIsNotTrustedThenRewrittenClean) {
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, "https://other", "other"));
  ASSERT_EQ(::chmod(file().c_str(), 0640), 0);
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
  EXPECT_TRUE(
      hasDebugLine("keychainGetToken: token file not trusted: readable or writable by others"));
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "fresh"));
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "fresh");
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, "https://other"),
            "");  // nothing carried over from it
}

TEST_F(TokenStore, FileOfAnotherOwnerIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  ASSERT_EQ(::chown(file().c_str(), 65534, 65534), 0);
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
  EXPECT_TRUE(hasDebugLine("keychainGetToken: token file not trusted: not owned by us"));
}

TEST_F(TokenStore, CorruptOrLinkedFileIsNotTrusted) {
  ASSERT_TRUE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  for (const std::string& bad :
       {std::string("garbage"), std::string("talvane-tokens 1\n22 99\nshort"),
        std::string("talvane-tokens 1\n1 1\nab"), std::string("talvane-tokens 1\nx 1\nab\n")}) {
    ASSERT_EQ(::unlink(file().c_str()), 0);
    ASSERT_TRUE(writeBytes(file(), bad));
    ASSERT_EQ(::chmod(file().c_str(), 0600), 0);
    EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "") << bad;
  }
  EXPECT_TRUE(hasDebugLine("keychainGetToken: token file not trusted: corrupt"));
  ASSERT_EQ(::unlink(file().c_str()), 0);
  const std::string elsewhere = home.path() + "/elsewhere";
  ASSERT_TRUE(writeBytes(elsewhere, "talvane-tokens 1\n22 3\n" + kAccount + "bad\n"));
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), file().c_str()), 0);
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
}

TEST_F(TokenStore, UnwritableStoreFailsWithErrno) {
  ASSERT_TRUE(writeBytes(home.path() + "/blocker", "a file where a folder should be"));
  ::setenv("XDG_CONFIG_HOME", (home.path() + "/blocker").c_str(), 1);
  EXPECT_FALSE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  EXPECT_TRUE(hasDebugLine("keychain store failed: " + std::to_string(ENOTDIR)));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
}

TEST_F(TokenStore, NoHomeAtAllStoresNothing) {
  ::unsetenv("XDG_CONFIG_HOME");
  const std::string savedHome = std::getenv("HOME");
  ::unsetenv("HOME");
  EXPECT_FALSE(keychainStoreToken(kPluginIdentifier, kAccount, "tok"));
  EXPECT_EQ(keychainGetToken(kPluginIdentifier, kAccount), "");
  ::setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(TokenStore, ConcurrentThreadsAndProcessesLoseNothing) {
  constexpr int kThreads = 4, kEach = 25;
  const std::map<std::string, std::string> env{{"HOME", home.path()},
                                               {"XDG_CONFIG_HOME", home.path() + "/.config"}};
  std::vector<std::thread> writers;
  std::vector<int> processResults(2, -1);
  for (int p = 0; p < 2; ++p) {
    writers.emplace_back([&, p] {
      processResults[p] =
          runHelper({"store", "proc" + std::to_string(p) + "-", std::to_string(kEach)}, env, 120)
              .exitCode;
    });
  }
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string account = "thread" + std::to_string(t) + "-" + std::to_string(i);
        if (!keychainStoreToken(kPluginIdentifier, account, "t" + std::to_string(i))) ++failures[t];
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(processResults, (std::vector<int>{0, 0}));
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  for (int i = 0; i < kEach; ++i) {
    for (int p = 0; p < 2; ++p)
      EXPECT_EQ(
          keychainGetToken(kPluginIdentifier, "proc" + std::to_string(p) + "-" + std::to_string(i)),
          "t" + std::to_string(i));
    for (int t = 0; t < kThreads; ++t)
      EXPECT_EQ(keychainGetToken(kPluginIdentifier,
                                 "thread" + std::to_string(t) + "-" + std::to_string(i)),
                "t" + std::to_string(i));
  }
  // Only the store and its lock remain: no temporary file is left behind.
  EXPECT_EQ(listDir(dir()), (std::vector<std::string>{"app.talvane.background.plugin.lock",
                                                      "app.talvane.background.plugin.tokens"}));
}
