// Once per process, on the account worker: ask the service for the latest
// version. On the host's threads: reveal the download button on every instance
// when it is newer, and ask the user once.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "account/account.h"
#include "backend/backend.h"

std::atomic<int> gVerCheckState{NotChecked};
std::atomic<bool> gUpdatePopupShown{false};
std::mutex gVerMutex;
std::string gLatestVersion;
std::string gDownloadUrl;

namespace {

// Runs of digits separated by '.', anything else after a run ignored:
// "1.2.3-beta" gives 1, 2, 3; "v1.2" gives 0, 2; "2..0" gives 2, 0, 0.
std::vector<long long> versionNumbers(const std::string& text) {
  std::vector<long long> numbers;
  size_t i = 0;
  while (i < text.size()) {
    long long value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (value < 1000000000LL) value = value * 10 + (text[i] - '0');
      ++i;
    }
    numbers.push_back(value);
    while (i < text.size() && text[i] != '.') ++i;
    if (i < text.size()) ++i;  // the '.'
  }
  return numbers;
}

// The single check of the process; the caller won the NotChecked -> Checking exchange.
void checkLatestVersion() {
  std::string latest, downloadUrl;
  if (!fetchLatestVersion(kServiceBaseUrl, latest, downloadUrl) ||
      !versionIsNewer(latest, kPluginVersion)) {
    gVerCheckState.store(NoUpdate);
    return;
  }
  std::lock_guard<std::mutex> lock(gVerMutex);
  gLatestVersion = latest;
  gDownloadUrl = downloadUrl.empty() ? std::string(kServiceBaseUrl) + "/download" : downloadUrl;
  gVerCheckState.store(UpdateKnown);
  char line[160];
  std::snprintf(line, sizeof line, "version check: update available (%s -> %s)", kPluginVersion,
                latest.c_str());
  dbg(line);
}

void showUpdateButton(Instance* instance) {
  if (!instance->handle(ParamId::UpdateAvailable) || !gParamSuite || !gPropSuite) return;
  OfxPropertySetHandle props = nullptr;
  if (gParamSuite->paramGetPropertySet(instance->handle(ParamId::UpdateAvailable), &props) !=
          kOfxStatOK ||
      !props)
    return;
  gPropSuite->propSetInt(props, "OfxParamPropSecret", 0, 0);
}

}  // namespace

bool versionIsNewer(const std::string& latest, const std::string& current) {
  std::vector<long long> a = versionNumbers(latest);
  std::vector<long long> b = versionNumbers(current);
  if (a.empty() || b.empty()) return false;
  if (a.size() < b.size()) a.resize(b.size(), 0);
  if (b.size() < a.size()) b.resize(a.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return false;
}

void checkVersionOnce() {
  int expected = NotChecked;
  if (!gVerCheckState.compare_exchange_strong(expected, Checking)) return;
  try {
    checkLatestVersion();
  } catch (...) {
    // A check that cannot finish counts as "no update"; Checking must not stick.
    gVerCheckState.store(NoUpdate);
  }
}

void showVersionState(Instance* instance) {
  if (!instance || gVerCheckState.load() != UpdateKnown) return;

  showUpdateButton(instance);
  if (gUpdatePopupShown.exchange(true)) return;
  if (!gMessageSuite) return;  // this process never asks, by design

  std::string latest, downloadUrl;
  try {
    std::lock_guard<std::mutex> lock(gVerMutex);
    latest = gLatestVersion;
    downloadUrl = gDownloadUrl;
  } catch (...) {
    return;
  }
  const OfxStatus answer = gMessageSuite->message(
      nullptr, kOfxMessageQuestion, "talvane.update",
      "A newer version of Talvane (%s) is available.\n\nYou're on %s. Open the download page now?",
      latest.c_str(), kPluginVersion);
  if (answer == kOfxStatReplyYes) openUrlInBrowser(downloadUrl);
}
