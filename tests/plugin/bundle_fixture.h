// The real test bundle in our host, behind a fresh HOME and a loopback
// service on the bundle's own port, for the plug-in's integration tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/support/loopback_server.h"
#include "tests/support/opener_stub.h"
#include "tests/support/temp_home.h"

// The port of the service URL compiled into the test bundle.
int testServicePort();

// Opens the test bundle with `config` and sends load; null (with a test
// failure) when it can't be opened. The caller closes it.
Host* openTestBundle(const HostConfig& config, OfxStatus* loadStatus = nullptr);

// Load, describe, and describe in both contexts; then instances can be made.
// The service answers the version check with the plug-in's own version, so
// nothing is offered as an update.
class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the test bundle into host_, loads it and describes it in both contexts.
  void openAndDescribe();

  // An instance in the General context (with saved values restored, as from a
  // project), destroyed by TearDown if still alive.
  HostInstance* create(const SavedValues& saved = {});
  void destroy(HostInstance* instance);

  TempHome home_;
  LoopbackServer service_;
  Host* host_ = nullptr;
  std::vector<HostInstance*> instances_;
  // Tests that hand the host a stale handle on purpose turn this off.
  bool expectNoBadHandles_ = true;
};
