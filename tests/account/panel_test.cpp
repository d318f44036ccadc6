// The account panel as the host shows it after create-instance, through the
// real bundle in our host, with the token in the real store under a temporary
// HOME and the account query answered by a loopback service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>

#include "backend/backend.h"
#include "tests/account/account_test_env.h"
#include "tests/support/temp_home.h"

namespace {

const char* const kService = TALVANE_TEST_SERVICE_URL;

class AccountPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(28517)) << "port 28517 busy";
    ASSERT_TRUE(bundle.ok()) << bundle.error();
  }

  TempHome home;
  LoopbackServer server;
  BundleHost bundle;
};

TEST_F(AccountPanel, NoStoredTokenShowsSignInOnlyAndAsksNothing) {
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"ana@example.com","balance":5})"});
  HostInstance* instance = bundle.create();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(panelOf(instance), expectedPanel(0, ""));
  EXPECT_TRUE(server.requestsTo("/v1/me").empty());
}

struct AccountCase {
  const char* name;
  Reply me;
  int state;
  std::string label;
  bool tokenKept;
};

// Test names carry the case name; keep the listing free of raw bytes.
void PrintTo(const AccountCase& c, std::ostream* out) { *out << c.name; }

class AccountAnswer : public AccountPanel, public ::testing::WithParamInterface<AccountCase> {};

TEST_P(AccountAnswer, DecidesStateLabelAndToken) {
  const AccountCase& c = GetParam();
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok-panel"));
  server.reply("GET", "/v1/me", c.me);
  HostInstance* instance = bundle.create();
  ASSERT_NE(instance, nullptr);

  EXPECT_EQ(panelOf(instance), expectedPanel(c.state, c.label));
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), c.tokenKept ? "tok-panel" : "");
  const auto me = server.requestsTo("/v1/me");
  ASSERT_EQ(me.size(), 1u);
  EXPECT_EQ(me[0].header("Authorization"), "Bearer tok-panel");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AccountAnswer,
    ::testing::Values(
        AccountCase{"BalanceOne",
                    {200, R"({"email":"ana@example.com","balance":1})"},
                    2,
                    "ana@example.com — 1 tokens",
                    true},
        AccountCase{"BalanceMany",
                    {200, R"({"email":"ana@example.com","balance":1250})"},
                    2,
                    "ana@example.com — 1250 tokens",
                    true},
        AccountCase{"BalanceZero",
                    {200, R"({"email":"ana@example.com","balance":0})"},
                    3,
                    "ana@example.com — 0 tokens — buy more →",
                    true},
        AccountCase{"BalanceNegative",
                    {200, R"({"email":"ana@example.com","balance":-2})"},
                    3,
                    "ana@example.com — 0 tokens — buy more →",
                    true},
        AccountCase{"BalanceAbsent",
                    {200, R"({"email":"ana@example.com"})"},
                    3,
                    "ana@example.com — 0 tokens — buy more →",
                    true},
        AccountCase{"Unauthorized",
                    {401, R"({"detail":"expired"})"},
                    0,
                    "Session expired — sign in again",
                    false},
        AccountCase{"Forbidden", {403, ""}, 0, "Session expired — sign in again", false},
        AccountCase{
            "ServerError", {500, "down"}, 2, "Signed in (backend unreachable — will retry)", true},
        AccountCase{"Unreachable",
                    {200, "", "application/json", 0, false, true},
                    2,
                    "Signed in (backend unreachable — will retry)",
                    true}),
    [](const ::testing::TestParamInfo<AccountCase>& info) { return std::string(info.param.name); });

TEST_F(AccountPanel, RejectedSessionLeavesTheNextInstanceSignedOutWithoutAQuery) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok-panel"));
  server.reply("GET", "/v1/me", Reply{403, ""});
  ASSERT_NE(bundle.create(), nullptr);
  HostInstance* next = bundle.create();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(panelOf(next), expectedPanel(0, "Session expired — sign in again"));
  EXPECT_EQ(server.requestsTo("/v1/me").size(), 1u);
}

TEST_F(AccountPanel, MalformedStoredTokenIsNeverSentAndReadsAsUnreachable) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok with space"));
  server.reply("GET", "/v1/me", Reply{200, R"({"email":"ana@example.com","balance":5})"});
  HostInstance* instance = bundle.create();
  EXPECT_EQ(panelOf(instance), expectedPanel(2, "Signed in (backend unreachable — will retry)"));
  EXPECT_TRUE(server.requestsTo("/v1/me").empty());
}

// The label buffer holds 255 bytes: a long address is cut there, and never in
// the middle of a character.
TEST_F(AccountPanel, LongEmailIsCutToTheLabelBufferOnACharacterBoundary) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok-panel"));
  const std::string email = std::string(253, 'a') + "@é.example";  // 'é' is bytes 254 and 255
  server.reply("GET", "/v1/me", Reply{200, R"({"email":")" + email + R"(","balance":9})"});
  HostInstance* instance = bundle.create();
  const std::string label = panelOf(instance).label;
  EXPECT_LE(label.size(), 255u);
  EXPECT_EQ(label, email.substr(0, 254)) << "the cut must drop the half character";
}

// With a token stored and a service that accepts connections but never
// answers, create-instance returns at once (the account worker waits out the
// query's time limit), and the user stays signed in. Many instances made and
// destroyed, as a host that makes one per frame does, ask the service once.
TEST_F(AccountPanel, SilentServiceNeverHoldsCreateInstance) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kService, "tok-panel"));
  Reply silent;
  silent.neverAnswer = true;
  server.reply("GET", "/v1/me", silent);
  server.reply("GET", "/version.json", silent);
  double slowest = 0;
  HostInstance* instance = nullptr;
  for (int i = 0; i < 25; ++i) {
    const auto start = std::chrono::steady_clock::now();
    OfxStatus status = kOfxStatFailed;
    HostInstance* made = hostCreateInstance(bundle.host(), kOfxImageEffectContextFilter, &status);
    slowest = std::max(
        slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_NE(made, nullptr);
    if (i + 1 < 25) hostDestroyInstance(made);
    else instance = made;
  }
  EXPECT_LT(slowest, 0.5) << "no create-instance waits on the network";
  EXPECT_EQ(hostGetString(instance, "accountInfo"), "Checking account...");
  ASSERT_TRUE(hostWaitForAccount(instance, 30.0));
  EXPECT_EQ(panelOf(instance), expectedPanel(2, "Signed in (backend unreachable — will retry)"));
  EXPECT_EQ(keychainGetToken(kTestKeychain, kService), "tok-panel");
  EXPECT_EQ(server.requestsTo("/v1/me").size(), 1u);
  hostDestroyInstance(instance);
}

}  // namespace
