// What the backend tests share: a temporary HOME with its working directory,
// a loopback service, helpers for the files a request leaves behind, and a
// way to run the test helper program in a fresh process.
#pragma once

#include "backend/backend.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// Eight-byte PNG signature followed by a few bytes: enough for isValidPng.
std::string pngBytes();
bool writeBytes(const std::string& path, const std::string& bytes);
// Names of the entries of a folder (not recursive), sorted.
std::vector<std::string> listDir(const std::string& dir);
// Names in the working directory that belong to a single request and must be
// gone once it has returned (status, header, form and staged answer files).
std::vector<std::string> leftoverRequestFiles();
// Lines of the debug log in the current working directory.
std::vector<std::string> debugLines();
bool hasDebugLine(const std::string& line);

struct HelperRun {
  int exitCode = -1;  // -1 when it didn't exit normally in time
};
// Runs the backend test helper with args and exactly the given environment,
// waiting at most timeoutSeconds.
HelperRun runHelper(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, int timeoutSeconds = 30);

// Fresh HOME, its working directory, and a running loopback service.
class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TempHome home;
  LoopbackServer server;
};
