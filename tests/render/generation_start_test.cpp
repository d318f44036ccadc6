// Starting a generation from a render: the token check, the grabbed frame, and
// a worker thread that cannot be started.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "backend/backend.h"
#include "render/render.h"
#include "tests/support/temp_home.h"

namespace {

// The debug switch is decided at the first log line of the process.
const bool kDebugOn = (setenv("TALVANE_DEBUG", "1", 1), true);

void refuseThread(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

std::function<void()> gBody;  // the worker's body, kept to run by hand
int gRan = 0;
void runInline(std::function<void()>) { ++gRan; }  // takes the body, never runs it

std::string debugLog() {
  std::ifstream in(tempDir() + "/ofx_debug.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Frame smallFrame() {
  Frame f;
  f.width = 2;
  f.height = 2;
  f.rgba.assign(16, 200);
  return f;
}

class StartGeneration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kDebugOn);
    ASSERT_TRUE(makeWorkDir());
    instance_.key = "42";
  }
  TempHome home_;
  Instance instance_;
};

}  // namespace

// The token is read by the worker, never on the render's thread.
TEST_F(StartGeneration, NoTokenFailsOnTheWorkerWithTheSignInLine) {
  startGeneration(instance_, "a beach", smallFrame(),
                  [](std::function<void()> b) { gBody = std::move(b); });
  EXPECT_EQ(instance_.genState->load(), Running);
  ASSERT_TRUE(gBody);
  gBody();
  EXPECT_EQ(instance_.genState->load(), Failed);
  EXPECT_NE(debugLog().find("doGen: no keychain token — sign in first\n"), std::string::npos);
}

TEST_F(StartGeneration, AThreadThatCannotStartLeavesFailedNotRunning) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kServiceBaseUrl, "tok-123"));
  const int before = runningWorkers();
  startGeneration(instance_, "a beach", smallFrame(), refuseThread);
  EXPECT_EQ(instance_.genState->load(), Failed);
  EXPECT_EQ(runningWorkers(), before);
  const std::string log = debugLog();
  EXPECT_NE(log.find("spawning generation thread\n"), std::string::npos);
  EXPECT_NE(log.find("render: could not start the generation thread\n"), std::string::npos);
  EXPECT_TRUE(fileExists(grabbedFile(instance_.key)));
}

TEST_F(StartGeneration, EmptyPromptOrRunningDropsTheRequest) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kServiceBaseUrl, "tok-123"));
  gRan = 0;
  startGeneration(instance_, "", smallFrame(), runInline);
  EXPECT_EQ(instance_.genState->load(), Idle);
  instance_.genState->store(Running);
  startGeneration(instance_, "a beach", smallFrame(), runInline);
  EXPECT_EQ(instance_.genState->load(), Running);
  EXPECT_EQ(gRan, 0);
  EXPECT_FALSE(fileExists(grabbedFile(instance_.key)));
}

TEST_F(StartGeneration, ALaunchedWorkerIsCountedUntilItFinishes) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, kServiceBaseUrl, "tok-123"));
  gRan = 0;
  const int before = runningWorkers();
  startGeneration(instance_, "a beach", smallFrame(), runInline);
  EXPECT_EQ(gRan, 1);
  EXPECT_EQ(instance_.genState->load(), Running);
  // The body was dropped unrun, so its finish was never counted: the registry
  // still sees it, which is exactly what unload waits on.
  EXPECT_EQ(runningWorkers(), before + 1);
  workerFinished();
}

TEST(BackgroundWorkers, WaitIsBoundedAndEndsWhenTheLastFinishes) {
  EXPECT_TRUE(waitForBackgroundWorkers(0.0));
  workerStarted();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waitForBackgroundWorkers(0.2));
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.19);
  EXPECT_LT(waited, 5.0);
  std::thread finisher([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    workerFinished();
  });
  EXPECT_TRUE(waitForBackgroundWorkers(5.0));
  finisher.join();
  EXPECT_EQ(runningWorkers(), 0);
}
