#include "tests/account/account_test_env.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>

#include "tests/support/temp_home.h"

#ifndef TALVANE_TEST_BUNDLE
#error "TALVANE_TEST_BUNDLE must name the test bundle"
#endif

bool waitUntil(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// ---- ReplySequence and Latch ----

Reply ReplySequence::next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replies_.empty()) return Reply{404, "{}"};
  Reply reply = replies_.front();
  if (replies_.size() > 1) replies_.pop_front();
  return reply;
}

void Latch::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  cv_.notify_all();
}

bool Latch::isOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool Latch::wait(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(static_cast<long>(seconds * 1000)),
                      [this] { return open_; });
}

// ---- BundleHost ----

BundleHost::BundleHost(HostConfig config) {
  // The poller may outlive an instance; never unmap code it could still run.
  config.unloadBinary = false;
  host_ = hostOpen(TALVANE_TEST_BUNDLE, config, &error_);
  if (!host_) return;
  if (hostLoad(host_) != kOfxStatOK || hostDescribe(host_) != kOfxStatOK ||
      hostDescribeInContext(host_, kOfxImageEffectContextFilter) != kOfxStatOK) {
    error_ = "load or describe failed";
    hostClose(host_);
    host_ = nullptr;
  }
}

BundleHost::~BundleHost() { close(); }

HostInstance* BundleHost::create() {
  if (!host_) return nullptr;
  OfxStatus status = kOfxStatFailed;
  HostInstance* instance = hostCreateInstance(host_, kOfxImageEffectContextFilter, &status);
  if (instance) instances_.push_back(instance);
  // The panel's answer comes from the account worker; the tests read it once it is in.
  if (instance) hostWaitForAccount(instance, 30.0);
  return instance;
}

void BundleHost::destroy(HostInstance* instance) {
  auto it = std::find(instances_.begin(), instances_.end(), instance);
  if (it == instances_.end()) return;
  instances_.erase(it);
  hostDestroyInstance(instance);
}

void BundleHost::close() {
  if (!host_) return;
  while (!instances_.empty()) destroy(instances_.back());
  hostUnload(host_);
  hostClose(host_);
  host_ = nullptr;
}

// ---- Panel ----

PanelView panelOf(HostInstance* instance) {
  PanelView view;
  view.label = hostGetString(instance, "accountInfo");
  view.signInHidden = hostPropInt(hostParamProps(instance, "signIn"), "OfxParamPropSecret");
  view.signOutHidden = hostPropInt(hostParamProps(instance, "signOut"), "OfxParamPropSecret");
  view.buyTokensHidden = hostPropInt(hostParamProps(instance, "buyTokens"), "OfxParamPropSecret");
  return view;
}

PanelView expectedPanel(int state, const std::string& label) {
  PanelView view;
  view.label = label;
  const bool signedIn = state == 2 || state == 3;
  view.signInHidden = signedIn ? 1 : 0;
  view.signOutHidden = signedIn ? 0 : 1;
  view.buyTokensHidden = state == 3 ? 0 : 1;
  return view;
}

bool operator==(const PanelView& a, const PanelView& b) {
  return a.label == b.label && a.signInHidden == b.signInHidden &&
         a.signOutHidden == b.signOutHidden && a.buyTokensHidden == b.buyTokensHidden;
}

std::ostream& operator<<(std::ostream& out, const PanelView& view) {
  return out << "{label \"" << view.label << "\", hidden signIn " << view.signInHidden
             << " signOut " << view.signOutHidden << " buyTokens " << view.buyTokensHidden << "}";
}

std::vector<std::string> labelHistory(HostInstance* instance) {
  std::vector<std::string> labels;
  for (const ParamChange& change : hostParamChanges(instance)) {
    if (change.param == "accountInfo") labels.push_back(change.text);
  }
  return labels;
}

// ---- Service answers ----

std::string deviceCodeJson(const std::string& deviceCode, int interval, int expiresIn,
                           const std::string& uri) {
  std::ostringstream json;
  json << R"({"device_code":")" << deviceCode << R"(","user_code":"WDJB-MJHT","verification_uri":")"
       << uri << R"(","interval":)" << interval << R"(,"expires_in":)" << expiresIn << "}";
  return json.str();
}

Reply tokenError(const std::string& code) { return Reply{400, R"({"error":")" + code + R"("})"}; }

Reply tokenApproval(const std::string& token, const std::string& email) {
  return Reply{200, R"({"access_token":")" + token +
                        R"(","token_type":"Bearer","balance":7,"email":")" + email + R"("})"};
}
