// The account as the whole process knows it. One background worker reads the
// token and asks the service; every instance's panel shows the latest answer
// in its next action, so no action of the host ever waits on the network and a
// host that makes an instance per frame makes no query per frame.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "account/account.h"
#include "backend/backend.h"

namespace {

// Longest a known answer is reused before a new instance asks again.
constexpr std::chrono::seconds kRefreshInterval(60);

std::mutex gMutex;
AccountView gView;            // serial 0 until the first answer
bool gRefreshWanted = false;  // a refresh is due; the worker takes it
bool gWorkerRunning = false;
bool gEverAsked = false;
std::chrono::steady_clock::time_point gLastAsked;

uint64_t publish(const AccountView& view) {
  std::lock_guard<std::mutex> lock(gMutex);
  const uint64_t serial = gView.serial + 1;
  gView = view;
  gView.serial = serial;
  return serial;
}

void publishUnlessNewer(const AccountView& view, uint64_t asked) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gView.serial != asked) return;
  gView = view;
  gView.serial = asked + 1;
}

// Takes refreshes until none is wanted, then ends; a later request starts a
// new worker. Counted in the worker registry so unload can wait for it.
void accountWorker() {
  try {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(gMutex);
        if (!gRefreshWanted || backgroundStopRequested()) {
          gWorkerRunning = false;
          break;
        }
        gRefreshWanted = false;
      }
      // Published after the version check, so an instance that shows the
      // answer also knows whether an update is out. An answer published while
      // this one was asked (a sign-out, a sign-in's own) is newer: keep it.
      const uint64_t asked = latestAccount().serial;
      const AccountView view = queryAccount();
      checkVersionOnce();
      publishUnlessNewer(view, asked);
    }
  } catch (const std::exception& e) {
    dbg((std::string("account: refresh stopped: ") + e.what()).c_str());
    std::lock_guard<std::mutex> lock(gMutex);
    gWorkerRunning = false;
  } catch (...) {
    dbg("account: refresh stopped");
    std::lock_guard<std::mutex> lock(gMutex);
    gWorkerRunning = false;
  }
  // Last: after this the bundle may be unloaded, so nothing of ours may run.
  workerFinished();
}

}  // namespace

AccountView latestAccount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gView;
}

uint64_t publishAccount(AccountState state, const std::string& label) {
  AccountView view;
  view.state = state;
  view.label = label;
  return publish(view);
}

void requestAccountRefresh(RefreshWhen when) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(gMutex);
  if (when == RefreshWhen::IfStale && gEverAsked && now - gLastAsked < kRefreshInterval) return;
  gEverAsked = true;
  gLastAsked = now;
  gRefreshWanted = true;
  if (gWorkerRunning) return;
  workerStarted();
  try {
    std::thread(accountWorker).detach();
    gWorkerRunning = true;
  } catch (const std::exception& e) {
    workerFinished();
    gRefreshWanted = false;
    dbg((std::string("account: could not start the refresh: ") + e.what()).c_str());
  }
}

void forgetAccountState() {
  std::lock_guard<std::mutex> lock(gMutex);
  gView = AccountView();
  gRefreshWanted = false;
  gEverAsked = false;
}

void showLatestAccount(Instance* instance) {
  if (!instance) return;
  const AccountView view = latestAccount();
  // A sign-in in flight owns this panel until its poller has written its last label.
  const std::shared_ptr<DeviceFlowSlot> flow = instance->deviceFlow;
  const bool signingIn = flow && !flow->cancelled.load() && !flow->finished.load();
  if (!signingIn && view.serial != 0 && view.serial != instance->accountShown) {
    instance->accountShown = view.serial;
    applyAccountState(instance, view.state, view.label);
  }
  showVersionState(instance);
}
