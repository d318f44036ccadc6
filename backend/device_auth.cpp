// Client side of the OAuth 2.0 device authorization grant (RFC 8628).
#include "backend/backend.h"

#include <unistd.h>
#include <cstdio>

namespace {

// Device-code and token requests are small; a stalled service must not hold
// the button press or the sign-in worker for long.
constexpr RequestLimits kDeviceLimits = {5, 15};

std::string httpError(int status) { return "HTTP " + std::to_string(status); }

}  // namespace

CurlRequest deviceCodeRequest(const std::string& url) {
  CurlRequest request = curlStart("POST", url + "/v1/device/code");
  request.push_back({"", "-H", Quote::None});
  request.push_back({"", "Content-Type: application/json", Quote::Double});
  addTimeLimits(request, kDeviceLimits);
  return request;
}

CurlRequest deviceTokenRequest(const std::string& url, const std::string& formPath) {
  CurlRequest request = curlStart("POST", url + "/v1/device/token");
  request.push_back({"", "-H", Quote::None});
  request.push_back({"", "Content-Type: application/x-www-form-urlencoded", Quote::Double});
  request.push_back({"", "--data-binary", Quote::None});
  request.push_back({"@", formPath, Quote::Double});
  addTimeLimits(request, kDeviceLimits);
  return request;
}

bool requestDeviceCode(const std::string& serverUrl, std::string& deviceCode, std::string& userCode,
                       std::string& verificationUri, int& interval, int& expiresIn,
                       std::string& error) {
  deviceCode.clear();
  userCode.clear();
  verificationUri.clear();
  error.clear();
  interval = 5;
  expiresIn = 600;

  const std::string url = trimmedUrl(serverUrl);
  if (!isSafeUrl(url)) {
    error = "Invalid server URL";
    return false;
  }
  std::string body;
  const int status =
      runCurlForAnswer(deviceCodeRequest(url), "/ofx_device_code.json", newRequestFiles(), body);

  if (status != 200) {
    const std::string detail = extractStringField(body, "detail");
    error = detail.empty() ? httpError(status) : detail;
    return false;
  }
  deviceCode = extractStringField(body, "device_code");
  userCode = extractStringField(body, "user_code");
  verificationUri = extractStringField(body, "verification_uri_complete");
  if (verificationUri.empty()) verificationUri = extractStringField(body, "verification_uri");
  const int answeredInterval = extractIntField(body, "interval");
  if (answeredInterval > 0) interval = answeredInterval;
  const int answeredExpiry = extractIntField(body, "expires_in");
  if (answeredExpiry > 0) expiresIn = answeredExpiry;

  if (!deviceCode.empty() && !userCode.empty()) return true;
  error = "Malformed device-code response";
  return false;
}

PollOutcome pollDeviceToken(const std::string& serverUrl, const std::string& deviceCode,
                            std::string& accessToken, int& balance, std::string& email,
                            std::string& error) {
  accessToken.clear();
  email.clear();
  error.clear();
  balance = 0;

  const std::string url = trimmedUrl(serverUrl);
  if (!isSafeUrl(url)) {
    error = "Invalid server URL";
    return PollOutcome::Failed;
  }
  if (deviceCode.empty()) {
    error = "Missing device code";
    return PollOutcome::Failed;
  }
  if (!isSafeToken(deviceCode)) {
    error = "Malformed device code";
    return PollOutcome::Failed;
  }

  const RequestFiles files = newRequestFiles();
  makeWorkDir();
  // The token rule leaves only unreserved characters, so no percent-encoding is needed.
  if (!writePrivateFile(
          files.form,
          "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=" + deviceCode)) {
    dbg("pollDeviceToken: cannot write form file");
    error = httpError(0);
    return PollOutcome::Failed;
  }
  std::string body;
  const int status =
      runCurlForAnswer(deviceTokenRequest(url, files.form), "/ofx_device_token.json", files, body);
  ::unlink(files.form.c_str());

  if (status == 429) {
    error = "rate_limited";
    return PollOutcome::Pending;
  }
  if (status == 400) {
    std::string code = extractStringField(body, "error");
    if (code.empty()) code = extractStringField(body, "detail");
    if (code == "authorization_pending" || code == "slow_down") {
      error = code;
      return PollOutcome::Pending;
    }
    if (code == "expired_token" || code == "access_denied" || code == "invalid_grant") {
      error = code;
      return PollOutcome::Ended;
    }
    error = code.empty() ? "bad request" : code;
    return PollOutcome::Failed;
  }
  if (status != 200) {
    error = httpError(status);
    return PollOutcome::Failed;
  }
  accessToken = extractStringField(body, "access_token");
  balance = extractIntField(body, "balance");
  email = extractStringField(body, "email");
  if (isSafeToken(accessToken)) return PollOutcome::Approved;
  error = "Malformed access token";
  return PollOutcome::Failed;
}
