#include "tests/plugin/bundle_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

int testServicePort() {
  const std::string url = TALVANE_TEST_SERVICE_URL;
  return std::atoi(url.substr(url.find_last_of(':') + 1).c_str());
}

Host* openTestBundle(const HostConfig& config, OfxStatus* loadStatus) {
  std::string error;
  Host* host = hostOpen(TALVANE_TEST_BUNDLE, config, &error);
  EXPECT_NE(host, nullptr) << error;
  if (host && loadStatus) *loadStatus = hostLoad(host);
  return host;
}

void BundleTest::SetUp() {
  ASSERT_TRUE(service_.start(testServicePort()))
      << "port " << testServicePort() << " is busy: another test holds the test service";
  service_.reply("GET", "/version.json", Reply{200, R"({"latest":"1.0.0"})"});
  openAndDescribe();
}

void BundleTest::openAndDescribe() {
  OfxStatus load = -1;
  host_ = openTestBundle(HostConfig(), &load);
  ASSERT_NE(host_, nullptr);
  ASSERT_EQ(load, kOfxStatOK);
  ASSERT_EQ(hostDescribe(host_), kOfxStatOK);
  ASSERT_EQ(hostDescribeInContext(host_, kOfxImageEffectContextGeneral), kOfxStatOK);
  ASSERT_EQ(hostDescribeInContext(host_, kOfxImageEffectContextFilter), kOfxStatOK);
}

void BundleTest::TearDown() {
  for (HostInstance* instance : instances_) hostDestroyInstance(instance);
  instances_.clear();
  if (host_) {
    if (expectNoBadHandles_) {
      EXPECT_EQ(hostBadHandleCount(host_), 0u) << "the plug-in used a handle the host never gave";
    }
    hostUnload(host_);
    hostClose(host_);
  }
  service_.stop();
}

HostInstance* BundleTest::create(const SavedValues& saved) {
  OfxStatus status = -1;
  HostInstance* instance = hostCreateInstance(host_, kOfxImageEffectContextGeneral, &status, saved);
  EXPECT_EQ(status, kOfxStatOK);
  instances_.push_back(instance);
  // The panel's answer comes from the account worker; the tests read it once it is in.
  EXPECT_TRUE(hostWaitForAccount(instance, 30.0));
  return instance;
}

void BundleTest::destroy(HostInstance* instance) {
  instances_.erase(std::remove(instances_.begin(), instances_.end(), instance), instances_.end());
  EXPECT_EQ(hostDestroyInstance(instance), kOfxStatOK);
}
