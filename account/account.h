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
#pragma once

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>

#include "plugin/plugin.h"

void applyAccountState(Instance* instance, AccountState state, const std::string& label);
void refreshAccountUi(Instance* instance);
void startDeviceSignIn(Instance* instance);
void runVersionStep(Instance* instance);
bool versionIsNewer(const std::string& latest, const std::string& current);
void openUrlInBrowser(const std::string& url);

// Version-check globals: state 0 not started, -1 running, 1 update, 2 done.
extern std::atomic<int> gVerCheckState;
extern std::atomic<bool> gUpdatePopupShown;
extern std::mutex gVerMutex;        // guards the two strings below
extern std::string gLatestVersion;
extern std::string gDownloadUrl;
