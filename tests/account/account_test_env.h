// Shared pieces of the account tests: a stand-in desktop opener that records
// what it was asked to open, the real bundle in our host, scripted reply
// sequences for the loopback service, and bounded waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "tests/support/loopback_server.h"
#include "tests/support/opener_stub.h"

// Waits until done() holds, polling every few milliseconds, at most `seconds`.
bool waitUntil(const std::function<bool()>& done, double seconds);

// Replies handed out in order; the last one repeats. Thread safe.
class ReplySequence {
 public:
  explicit ReplySequence(std::vector<Reply> replies) : replies_(replies.begin(), replies.end()) {}
  Reply next();

 private:
  std::mutex mutex_;
  std::deque<Reply> replies_;
};

// A one-shot gate a server handler or a test clock can wait on.
class Latch {
 public:
  void open();
  bool isOpen();
  bool wait(double seconds);  // false on time-out

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// The real test bundle loaded in our host, loaded and described in the
// filter context. Instances made through it are destroyed on close().
class BundleHost {
 public:
  explicit BundleHost(HostConfig config = HostConfig());
  ~BundleHost();
  BundleHost(const BundleHost&) = delete;
  BundleHost& operator=(const BundleHost&) = delete;

  bool ok() const { return host_ != nullptr; }
  const std::string& error() const { return error_; }
  Host* host() const { return host_; }
  HostInstance* create();
  void destroy(HostInstance* instance);
  // Sends unload and closes; called by the destructor when not called before.
  void close();

 private:
  Host* host_ = nullptr;
  std::string error_;
  std::vector<HostInstance*> instances_;
};

// The account panel as the host shows it.
struct PanelView {
  std::string label;
  int signInHidden = -1;
  int signOutHidden = -1;
  int buyTokensHidden = -1;
};
PanelView panelOf(HostInstance* instance);
// The states' visibility rules, for comparison with panelOf().
PanelView expectedPanel(int state, const std::string& label);
bool operator==(const PanelView& a, const PanelView& b);
std::ostream& operator<<(std::ostream& out, const PanelView& view);

// Every label the plug-in set on accountInfo, in order.
std::vector<std::string> labelHistory(HostInstance* instance);

// The JSON answers the service gives in these tests.
std::string deviceCodeJson(const std::string& deviceCode, int interval = 5, int expiresIn = 600,
                           const std::string& uri = "http://127.0.0.1:28517/device");
Reply tokenError(const std::string& code);
Reply tokenApproval(const std::string& token, const std::string& email = "ana@example.com");
