// Nothing in the working folder is readable by other users or reachable
// through their links: the folder is 0700 and ours, every file 0600, the
// answers holding a secret are gone once read, and a planted link is refused.
#include "tests/backend/backend_fixture.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

mode_t modeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class PrivateFiles : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    server.reply("POST", "/v1/device/code",
                 Reply{200, R"({"device_code":"dc-secret","user_code":"U-1"})"});
    server.reply("POST", "/v1/device/token",
                 Reply{200, R"({"access_token":"at-secret","balance":3,"email":"a@b.c"})"});
    server.reply("GET", "/v1/me", Reply{200, R"({"email":"a@b.c","balance":3})"});
    server.reply("GET", "/version.json", Reply{200, R"({"latest":"9.0.0"})"});
    server.reply("POST", "/v1/generate", Reply{200, pngBytes(), "image/png"});
  }
  int me() {
    std::string email;
    int balance = 0;
    return fetchBalance(server.url(), "at-secret", email, balance);
  }
};

}  // namespace

// An open folder left by an earlier version, a permissive umask and every
// request the plug-in makes: afterwards the folder is closed, every file is
// the owner's alone, and neither the token nor the device code lies on disk.
TEST_F(PrivateFiles, EveryFileIsOwnerOnlyAndNoSecretAnswerStays) {
  ASSERT_EQ(::chmod(tempDir().c_str(), 0755), 0);
  ASSERT_TRUE(writeBytes(tempDir() + "/ofx_device_token.json", R"({"access_token":"at-secret"})"));
  ASSERT_TRUE(writeBytes(grabbedFile("3"), pngBytes()));
  const mode_t oldMask = ::umask(022);
  std::string code, user, uri, error, token, email, latest, download;
  int interval = 0, expires = 0, balance = 0;
  EXPECT_TRUE(requestDeviceCode(server.url(), code, user, uri, interval, expires, error));
  EXPECT_EQ(pollDeviceToken(server.url(), code, token, balance, email, error),
            PollOutcome::Approved);
  EXPECT_EQ(me(), 200);
  EXPECT_TRUE(fetchLatestVersion(server.url(), latest, download));
  EXPECT_EQ(sendToBackend("3", server.url(), token, "p", inputFile("3")), 200);
  ::umask(oldMask);

  EXPECT_EQ(modeOf(tempDir()), 0700u);
  dbg("line");
  const std::vector<std::string> names = listDir(tempDir());
  for (const std::string& kept :
       {std::string("ofx_me_response.json"), std::string("ofx_version_response.json"),
        inputFile("3").substr(tempDir().size() + 1), std::string("ofx_debug.log")})
    EXPECT_NE(std::find(names.begin(), names.end(), kept), names.end()) << kept;
  for (const std::string& name : names) {
    const std::string path = tempDir() + "/" + name;
    if (path == grabbedFile("3")) continue;  // written by this test
    EXPECT_EQ(modeOf(path), 0600u) << name;
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes.find("at-secret"), std::string::npos) << name;
    EXPECT_EQ(bytes.find("dc-secret"), std::string::npos) << name;
  }
}

// A link where a working file will be written (the per-request files take the
// next numbers) is refused; the file it points to keeps its bytes.
TEST_F(PrivateFiles, LinksWhereWorkingFilesGoAreNeverFollowed) {
  const std::string victim = home.path() + "/victim.txt";
  ASSERT_TRUE(writeBytes(victim, "victim"));
  // The name a request file of the next call will have.
  auto next = [](std::string RequestFiles::*member) {
    std::string name = newRequestFiles().*member;
    const size_t end = name.rfind('.'), start = name.rfind('_', end) + 1;
    return name.replace(start, end - start,
                        std::to_string(std::stoull(name.substr(start, end - start)) + 1));
  };
  struct Case {
    const char* what;
    std::function<std::string()> plant;  // the name to plant a link at
    std::function<void()> run;
  };
  const Case cases[] = {
      {"answer", [&] { return next(&RequestFiles::answer); }, [&] { EXPECT_EQ(me(), 0); }},
      {"status", [&] { return next(&RequestFiles::status); }, [&] { EXPECT_EQ(me(), 0); }},
      {"header", [&] { return next(&RequestFiles::header); }, [&] { EXPECT_EQ(me(), -1); }},
      {"kept answer", [] { return tempDir() + "/ofx_me_response.json"; },
       [&] { EXPECT_EQ(me(), 200); }},
      {"debug log", [] { return tempDir() + "/ofx_debug.log"; }, [] { dbg("planted?"); }},
  };
  for (const Case& c : cases) {
    const std::string link = c.plant();
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0) << c.what;
    c.run();
    EXPECT_EQ(readFile(victim), "victim") << c.what;
    ::unlink(link.c_str());
  }
}

// A working folder that is a link, or another user's, is refused as a whole:
// nothing is written into it and nothing is sent.
TEST_F(PrivateFiles, FolderThatIsALinkOrAnotherUsersIsRefused) {
  const std::string elsewhere = home.path() + "/elsewhere";
  struct Case {
    const char* what;
    bool needsRoot;
    std::function<void()> make;
  };
  const Case cases[] = {
      {"a link to an open folder", false,
       [&] {
         ASSERT_EQ(::mkdir(elsewhere.c_str(), 0777), 0);
         ASSERT_EQ(::chmod(elsewhere.c_str(), 0777), 0);
         ASSERT_EQ(::symlink(elsewhere.c_str(), tempDir().c_str()), 0);
       }},
      {"another user's", true,
       [&] {
         ASSERT_EQ(::mkdir(tempDir().c_str(), 0700), 0);
         ASSERT_EQ(::chown(tempDir().c_str(), 65534, 65534), 0);
       }},
  };
  for (const Case& c : cases) {
    if (c.needsRoot && ::geteuid() != 0) continue;
    ASSERT_TRUE(removeTree(tempDir()));
    ASSERT_TRUE(removeTree(elsewhere));
    c.make();
    EXPECT_FALSE(makeWorkDir()) << c.what;
    RequestFault fault = RequestFault::None;
    std::string email;
    int balance = 0;
    EXPECT_EQ(fetchBalance(server.url(), "tok", email, balance, &fault), -1) << c.what;
    EXPECT_EQ(fault, RequestFault::WorkFolder) << c.what;
    EXPECT_TRUE(server.requests().empty()) << c.what;
    EXPECT_TRUE(listDir(elsewhere).empty()) << c.what;
  }
}

// No HOME and no home in the password database: /tmp/talvane-<uid>, made
// 0700 when missing and used only when it is that user's own and closed.
TEST(NoHome, PrivateTmpFolderIsMadeOrRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as an account without a home";
  uid_t uid = 47000;
  while (::getpwuid(uid) != nullptr) ++uid;
  const std::string base = "/tmp/talvane-" + std::to_string(uid);
  const struct {
    const char* what;
    bool planted;
    mode_t mode;
    uid_t owner;
    bool used;
  } cases[] = {
      {"made anew", false, 0, 0, true},
      {"planted open by another user", true, 0777, 0, false},
      {"the user's own but open", true, 0755, uid, false},
      {"the user's own and closed", true, 0700, uid, true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(removeTree(base));
    if (c.planted) {
      ASSERT_EQ(::mkdir(base.c_str(), c.mode), 0);
      ASSERT_EQ(::chmod(base.c_str(), c.mode), 0);
      ASSERT_EQ(::chown(base.c_str(), c.owner, c.owner), 0);
    }
    EXPECT_EQ(runHelper({"workdir", std::to_string(uid)}, {}).exitCode, c.used ? 0 : 3) << c.what;
    struct stat st;
    const std::string work = base + "/Documents/tollwick/quenbay/temp";
    ASSERT_EQ(::lstat(work.c_str(), &st) == 0, c.used) << c.what;
    if (c.used) {
      EXPECT_EQ(st.st_uid, uid) << c.what;
      EXPECT_EQ(st.st_mode & 0777, 0700u) << c.what;
    }
  }
  EXPECT_TRUE(removeTree(base));
}
