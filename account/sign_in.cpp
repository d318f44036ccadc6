// Sign In: the button shows a Pending label and starts a detached poller,
// which asks for the device code, hands the verification page to the browser
// (or shows its address and the user code when no browser can be opened), then
// asks for the token at the service's pace until approval, refusal or expiry,
// and updates the panel itself. The button's action never waits on the network.
//
// The poller never owns the Instance. It holds the DeviceFlowSlot, and touches
// slot->instance only under slot->mutex while the slot is not cancelled; the
// cancelling side (Sign In again, Sign Out, destroy) takes the same mutex, so
// once cancellation returns no panel update is running and none will start.
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "account/account.h"
#include "backend/backend.h"

namespace {

struct DevicePoll {
  std::shared_ptr<DeviceFlowSlot> slot;
  std::string deviceCode;
  int interval = 5;     // seconds, as the service sent it
  time_t deadline = 0;  // when the device code expires
  PollClock clock;
};

void signInFailed(Instance* instance, const std::string& reason) {
  applyAccountState(instance, SignedOut, "Sign in failed: " + reason);
}

std::mutex gClockMutex;
PollClock gClockOverride;  // members empty unless a test installed its own

PollClock currentClock() {
  PollClock clock = realPollClock();
  std::lock_guard<std::mutex> lock(gClockMutex);
  if (gClockOverride.now) clock.now = gClockOverride.now;
  if (gClockOverride.sleepSeconds) clock.sleepSeconds = gClockOverride.sleepSeconds;
  return clock;
}

// Runs fn with the slot's instance unless the slot was cancelled; the mutex
// is held throughout so cancellation waits for it.
template <typename Fn>
void withLiveInstance(DeviceFlowSlot& slot, Fn fn) {
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.cancelled.load()) fn(slot.instance);
}

// The device code, and the browser (or, failing that, the address and code on
// the panel). False when the sign-in ended here.
bool startFlow(DevicePoll& poll) {
  DeviceFlowSlot& slot = *poll.slot;
  std::string userCode, verificationUri, error;
  int expiresIn = 600;
  if (!requestDeviceCode(kServiceBaseUrl, poll.deviceCode, userCode, verificationUri, poll.interval,
                         expiresIn, error)) {
    dbg(("signIn: requestDeviceCode failed: " + error).c_str());
    withLiveInstance(slot, [&error](Instance* instance) { signInFailed(instance, error); });
    return false;
  }
  poll.deadline = poll.clock.now() + expiresIn;
  if (slot.cancelled.load()) return false;
  // Only the verification page is handed over; the user code travels inside it.
  const bool opened = openUrlInBrowser(verificationUri);
  // Without a browser the user needs the address and the code, or waits forever;
  // an address the browser guard refuses is not shown either.
  std::string label = "Approve in your browser to finish sign-in...";
  if (!opened && isOpenableUrl(verificationUri))
    label = "Open " + verificationUri + " and enter the code " + userCode + " to finish sign-in";
  else if (!opened)
    label = "Enter the code " + userCode + " on the service's sign-in page to finish sign-in";
  withLiveInstance(slot,
                   [&label](Instance* instance) { applyAccountState(instance, Pending, label); });
  return true;
}

void pollUntilDone(DevicePoll& poll) {
  DeviceFlowSlot& slot = *poll.slot;
  if (slot.cancelled.load() || !startFlow(poll)) return;
  int wait = poll.interval >= 1 ? poll.interval : 5;
  for (;;) {
    if (poll.clock.now() >= poll.deadline) {
      withLiveInstance(slot, [](Instance* instance) {
        applyAccountState(instance, SignedOut, "Sign-in code expired — click Sign In to retry");
      });
      return;
    }

    std::string accessToken, email, error;
    int balance = 0;
    const PollOutcome result =
        pollDeviceToken(kServiceBaseUrl, poll.deviceCode, accessToken, balance, email, error);
    if (result == PollOutcome::Approved) {
      // The approval is the user's; keep it even if this poll was cancelled.
      keychainStoreToken(kKeychainService, kServiceBaseUrl, accessToken);
      // Signed out meanwhile: the panel stays as the user left it and the
      // stored token is picked up by the next refresh, with no query now.
      // Any other cancel (the instance destroyed) still tells the others.
      if (slot.signedOut.load()) return;
      AccountView view = queryAccount();
      view.serial = publishAccount(view.state, view.label);
      withLiveInstance(slot, [&view](Instance* instance) {
        applyAccountState(instance, view.state, view.label);
        dbg("device flow: approved (auto-poll)");
      });
      return;
    }
    if (result == PollOutcome::Ended) {
      withLiveInstance(slot, [&error](Instance* instance) {
        applyAccountState(instance, SignedOut, "Sign-in " + error + " — click Sign In to retry");
      });
      return;
    }
    // Each slow_down lengthens every later wait; other answers keep the pace.
    if (result == PollOutcome::Pending && error == "slow_down") wait += 5;

    if (wait > 0) poll.clock.sleepSeconds(wait);
    if (slot.cancelled.load() || backgroundStopRequested()) return;
  }
}

void pollerThread(DevicePoll* raw) {
  {
    std::unique_ptr<DevicePoll> poll(raw);
    try {
      pollUntilDone(*poll);
    } catch (const std::exception& e) {
      dbg((std::string("device flow: poller stopped: ") + e.what()).c_str());
    } catch (...) {
      dbg("device flow: poller stopped");
    }
    // Whatever the panel shows now is this poll's last word; the instance's
    // next action shows only answers that come after it.
    withLiveInstance(*poll->slot,
                     [](Instance* instance) { instance->accountShown = latestAccount().serial; });
    poll->slot->finished = true;
  }
  // Last: after this the bundle may be unloaded, so nothing of ours may run.
  workerFinished();
}

// False when no thread could be started; the poll is then not running.
bool startPoller(std::unique_ptr<DevicePoll> poll) {
  workerStarted();
  try {
    std::thread(pollerThread, poll.get()).detach();
    poll.release();  // the thread owns it now
    return true;
  } catch (const std::exception& e) {
    workerFinished();
    dbg((std::string("signIn: could not start the poller: ") + e.what()).c_str());
    return false;
  }
}

}  // namespace

PollClock realPollClock() {
  PollClock clock;
  clock.now = [] { return std::time(nullptr); };
  // In short slices: when the plug-in is unloaded the poller must end within
  // a moment, not after the rest of its interval.
  clock.sleepSeconds = [](int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!backgroundStopRequested()) {
      const auto left = end - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) break;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
  };
  return clock;
}

void setPollClockForTesting(const PollClock& clock) {
  std::lock_guard<std::mutex> lock(gClockMutex);
  gClockOverride = clock;
}

void startDeviceSignIn(Instance* instance) {
  if (!instance) return;
  try {
    cancelDeviceFlow(instance);
    applyAccountState(instance, Pending, "Requesting a sign-in code...");

    auto slot = std::make_shared<DeviceFlowSlot>();
    slot->instance = instance;
    instance->deviceFlow = slot;

    auto poll = std::make_unique<DevicePoll>();
    poll->slot = slot;
    poll->clock = currentClock();
    if (!startPoller(std::move(poll))) {
      cancelDeviceFlow(instance);
      signInFailed(instance, "could not start the background poll");
      return;
    }
    dbg("signIn: device flow started, polling in background");
  } catch (...) {
    // Out of memory or the like: leave the panel signed out rather than let
    // anything reach the host.
    try {
      cancelDeviceFlow(instance);
      signInFailed(instance, "internal error");
    } catch (...) {
    }
  }
}
