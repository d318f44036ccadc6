// Who is signed in and how many tokens they hold; the newest plug-in version.
#include "backend/backend.h"

#include <unistd.h>
#include <cstdio>

namespace {

// The panel refresh runs on host threads: a stalled service must not hold them long.
constexpr RequestLimits kAccountLimits = {5, 15};
// The version check runs while the host creates an instance: about 3 s at most.
constexpr RequestLimits kVersionLimits = {2, 3};

}  // namespace

CurlRequest accountRequest(const std::string& url, const std::string& headerPath) {
  CurlRequest request = curlStart("GET", url + "/v1/me");
  request.push_back({"", "-H", Quote::None});
  request.push_back({"@", headerPath, Quote::Double});
  addTimeLimits(request, kAccountLimits);
  return request;
}

CurlRequest versionRequest(const std::string& url) {
  CurlRequest request = curlStart("GET", url + "/version.json");
  addTimeLimits(request, kVersionLimits);
  return request;
}

int fetchBalance(const std::string& serverUrl, const std::string& token, std::string& email,
                 int& balance, RequestFault* fault) {
  if (fault) *fault = RequestFault::None;
  email.clear();
  balance = 0;
  const std::string url = trimmedUrl(serverUrl);
  if (!isSafeUrl(url) || !isSafeToken(token)) return -1;

  const RequestFiles files = newRequestFiles();
  if (!makeWorkDir() || !writeAuthHeaderFile(files.header, token)) {
    if (fault) *fault = RequestFault::WorkFolder;
    return -1;
  }
  std::string body;
  const int status = runCurlForAnswer(accountRequest(url, files.header), "/ofx_me_response.json",
                                      files, body, fault);
  ::unlink(files.header.c_str());

  if (status != 200) {
    char line[64];
    std::snprintf(line, sizeof line, "fetchBalance: HTTP %d", status);
    dbg(line);
    return status;
  }
  email = extractStringField(body, "email");
  balance = extractIntField(body, "balance");
  return 200;
}

bool fetchLatestVersion(const std::string& serverUrl, std::string& latest, std::string& downloadUrl,
                        RequestFault* fault) {
  if (fault) *fault = RequestFault::None;
  latest.clear();
  downloadUrl.clear();
  const std::string url = trimmedUrl(serverUrl);
  if (!isSafeUrl(url)) return false;

  std::string body;
  const int status = runCurlForAnswer(versionRequest(url), "/ofx_version_response.json",
                                      newRequestFiles(), body, fault);
  if (status != 200) {
    char line[64];
    std::snprintf(line, sizeof line, "fetchLatestVersion: HTTP %d", status);
    dbg(line);
    return false;
  }
  latest = extractStringField(body, "latest");
  downloadUrl = extractStringField(body, "download_url");
  return !latest.empty();
}
