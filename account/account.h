// The account panel, the process-wide account state, the device sign-in
// poller, the version check and the guarded hand-off of URLs to the browser.
//
//   applyAccountState   sets the three buttons' visibility and the label.
//   queryAccount        what the stored token and one account query say the
//                       panel should show (blocks for the query: workers only).
//   requestAccountRefresh  asks the one account worker for a fresh answer:
//                       at once after sign-in, sign-out and each generation,
//                       otherwise only when the last is over a minute old.
//   showLatestAccount   in every action of an instance, on the host's thread:
//                       the latest answer on its panel, and the download
//                       button (and the one question) once an update is known.
//   startDeviceSignIn   Sign In: a Pending label and a detached poller that
//                       asks for the device code, opens the browser and
//                       finishes the sign-in by itself.
//   openUrlInBrowser    the only way a URL reaches the browser.
//
// Files: panel.cpp (panel, labels, queryAccount), account_state.cpp (the
// process-wide answer and its worker), sign_in.cpp (Sign In and the poller),
// version_check.cpp (the version check, versionIsNewer and the version
// globals), browser.cpp (the URL guard) with browser_launch.cpp (starts the
// build's opener: xdg-open, /usr/bin/open, or the tests' recording stand-in).
//
// Threads: no action of the host waits on the network or the token store; the
// account worker and the poller do. applyAccountState runs on host threads, or
// on the poller while it holds its slot's mutex. The poller reaches its
// Instance only through its DeviceFlowSlot, under the slot's mutex and only
// while the slot is not cancelled. The account worker never touches an
// instance. Each worker counts itself in the bundle's background-worker
// registry (core/core.h) for its whole life, and stops early once unload asks
// background work to stop (backend/backend.h), so unload can wait for it.
// Nothing here throws.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "core/core.h"

void applyAccountState(Instance* instance, AccountState state, const std::string& label);

// The panel as the account worker last learnt it; serial 0 while nothing is known.
struct AccountView {
  AccountState state = SignedOut;
  std::string label;
  uint64_t serial = 0;
};
AccountView queryAccount();
AccountView latestAccount();
// A new answer every instance picks up in its next action; returns its serial.
uint64_t publishAccount(AccountState state, const std::string& label);
enum class RefreshWhen { IfStale, Now };
void requestAccountRefresh(RefreshWhen when);
// Load: whatever an earlier load of this binary learnt is not carried over.
void forgetAccountState();
void showLatestAccount(Instance* instance);

void startDeviceSignIn(Instance* instance);

// The version check: once per process, on the account worker.
void checkVersionOnce();
// The download button and the one question, on the host's thread.
void showVersionState(Instance* instance);
bool versionIsNewer(const std::string& latest, const std::string& current);
// False when the URL is refused, TALVANE_NO_BROWSER is set, or the opener is
// missing or could not start (the browser itself is never waited for).
bool openUrlInBrowser(const std::string& url);

// Version-check globals. The check runs once per process.
enum VersionCheck : int { NotChecked = 0, Checking = -1, UpdateKnown = 1, NoUpdate = 2 };
extern std::atomic<int> gVerCheckState;  // a VersionCheck
extern std::atomic<bool> gUpdatePopupShown;
extern std::mutex gVerMutex;  // guards the two strings below
extern std::string gLatestVersion;
extern std::string gDownloadUrl;

// ---- Sign-in poller clock ----
// The poller reads the wall clock and sleeps only through this pair. Shipped
// code always uses the real clock (time() and a plain sleep); a test that
// links the account library directly may swap in its own so that waits of
// many seconds, expiry and cancellation take milliseconds. Each Sign In takes
// a copy of the clock in force when it starts.
struct PollClock {
  std::function<time_t()> now;
  std::function<void(int seconds)> sleepSeconds;
};
PollClock realPollClock();
void setPollClockForTesting(const PollClock& clock);  // empty members restore the real ones

// ---- Browser hand-off internals (browser.cpp, browser_launch.cpp) ----
// True for a URL the browser may be given: http:// or https://, and none of
// tab, LF, CR, space, '"', '$', '\'', '\\' or '`'.
bool isOpenableUrl(const std::string& url);
// Hands an already checked URL to the build's opener (kBrowserOpener) without
// waiting for the browser.
bool launchBrowser(const std::string& url);
