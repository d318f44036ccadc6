// The account panel, the device sign-in poller, the version check and the
// guarded hand-off of URLs to the browser.
//
//   applyAccountState  sets the three buttons' visibility and the label.
//   refreshAccountUi   derives the panel from the stored token and a live
//                      account query (blocks for one query).
//   startDeviceSignIn  Sign In: device code, browser, Pending label, and a
//                      detached poller that finishes the sign-in by itself.
//   runVersionStep     end of every create-instance: the first one checks the
//                      latest version; each reveals the download button when
//                      an update is known; the first that sees it asks once.
//   openUrlInBrowser   the only way a URL reaches the browser.
//
// Files: panel.cpp (panel and labels), sign_in.cpp (Sign In and the poller),
// version_check.cpp (version step, versionIsNewer and the version globals),
// browser.cpp (the URL guard) with browser_launch.cpp (starts the build's
// opener: xdg-open, /usr/bin/open, or the tests' recording stand-in).
//
// Threads: applyAccountState and refreshAccountUi run on whichever thread
// calls them (host threads, or the poller while it holds its slot's mutex).
// The poller reaches its Instance only through its DeviceFlowSlot, under the
// slot's mutex and only while the slot is not cancelled. Each poller counts
// itself in the bundle's background-worker registry (core/core.h) for its
// whole life, and its sleep ends early once unload asks background work to
// stop (backend/backend.h), so unload can wait for it. Nothing here throws.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "core/core.h"

void applyAccountState(Instance* instance, AccountState state, const std::string& label);
void refreshAccountUi(Instance* instance);
void startDeviceSignIn(Instance* instance);
void runVersionStep(Instance* instance);
bool versionIsNewer(const std::string& latest, const std::string& current);
void openUrlInBrowser(const std::string& url);

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
void launchBrowser(const std::string& url);
