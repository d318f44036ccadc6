// Accounts, access tokens and device grants, and their state file.
#include "service/service.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

using json = nlohmann::json;

namespace {

// Grants stay this long past their expiry so a late poll still reads expired_token
// rather than invalid_grant.
const int64_t kGrantKeepAfterExpiryMs = 3600 * 1000;

const char kTokenAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// No vowels, so a user code never spells a word, and no look-alike letters.
const char kUserCodeAlphabet[] = "BCDFGHJKLMNPQRSTVWXZ";

std::string randomText(size_t length, const char* alphabet) {
  std::random_device device;
  size_t n = std::strlen(alphabet);
  std::uniform_int_distribution<size_t> pick(0, n - 1);
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out += alphabet[pick(device)];
  return out;
}

std::string lowerTrimmed(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t\r\n");
  std::string out = text.substr(b, e - b + 1);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

const char* statusName(GrantStatus s) {
  switch (s) {
    case GrantStatus::Pending:
      return "pending";
    case GrantStatus::Approved:
      return "approved";
    case GrantStatus::Denied:
      return "denied";
    case GrantStatus::Consumed:
      return "consumed";
  }
  return "pending";
}

bool statusFromName(const std::string& name, GrantStatus& out) {
  for (GrantStatus s :
       {GrantStatus::Pending, GrantStatus::Approved, GrantStatus::Denied, GrantStatus::Consumed}) {
    if (name == statusName(s)) {
      out = s;
      return true;
    }
  }
  return false;
}

std::string stateJson(const ServiceState& state) {
  json accounts = json::array(), tokens = json::array(), grants = json::array();
  for (const auto& [key, a] : state.accounts)
    accounts.push_back({{"email", a.email}, {"balance", a.balance}});
  for (const auto& [token, t] : state.tokens)
    tokens.push_back(
        {{"token", token}, {"email", t.email}, {"issued_ms", t.issuedMs}, {"revoked", t.revoked}});
  for (const auto& [code, g] : state.grants)
    grants.push_back({{"device_code", g.deviceCode},
                      {"user_code", g.userCode},
                      {"issued_ms", g.issuedMs},
                      {"expires_ms", g.expiresMs},
                      {"interval_ms", g.intervalMs},
                      {"status", statusName(g.status)},
                      {"email", g.email}});
  json doc = {{"format", 1}, {"accounts", accounts}, {"tokens", tokens}, {"grants", grants}};
  return doc.dump(2) + "\n";
}

// Called with the mutex held after every change. A failed write is reported but the
// request still succeeds: the change is live in memory and the next write retries.
void persistLocked(const ServiceState& state) {
  if (state.path.empty()) return;
  std::string error;
  if (!writeFileAtomic(state.path, stateJson(state), error))
    std::cerr << "talvane-service: cannot save state: " << error << std::endl;
}

Account& accountLocked(ServiceState& state, const ServiceConfig& config, const std::string& email,
                       bool& created) {
  std::string key = lowerTrimmed(email);
  auto it = state.accounts.find(key);
  created = it == state.accounts.end();
  if (created) it = state.accounts.emplace(key, Account{key, config.startBalance}).first;
  return it->second;
}

void approveLocked(ServiceState& state, const ServiceConfig& config, DeviceGrant& grant,
                   const std::string& email) {
  bool created = false;
  grant.email = accountLocked(state, config, email, created).email;
  grant.status = GrantStatus::Approved;
}

}  // namespace

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool isValidEmail(const std::string& email) {
  if (email.empty() || email.size() > 254) return false;
  size_t at = email.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= email.size()) return false;
  if (email.find('@', at + 1) != std::string::npos) return false;
  for (unsigned char c : email) {
    // Printable ASCII without the characters that would need quoting anywhere.
    if (c <= ' ' || c >= 127) return false;
    if (std::strchr("\"'<>\\`$(),;:[]", c)) return false;
  }
  std::string domain = email.substr(at + 1);
  return domain.front() != '.' && domain.back() != '.';
}

std::string normalizeUserCode(const std::string& text) {
  std::string letters;
  for (char c : text) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) letters += c;
  }
  if (letters.size() != 8) return letters;
  return letters.substr(0, 4) + "-" + letters.substr(4);
}

bool writeFileAtomic(const std::string& path, const std::string& bytes, std::string& error) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    error = temp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = temp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += size_t(n);
  }
  // The data must be on disk before the rename makes it the state file.
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = temp + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool loadState(ServiceState& state, const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(state.mutex);
  state.path = path;
  state.accounts.clear();
  state.tokens.clear();
  state.grants.clear();
  if (path.empty()) return true;
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  try {
    json doc = json::parse(text.str());
    for (const json& a : doc.at("accounts")) {
      Account account{a.at("email").get<std::string>(), a.at("balance").get<int64_t>()};
      state.accounts[lowerTrimmed(account.email)] = account;
    }
    for (const json& t : doc.at("tokens")) {
      AccessToken token{t.at("email").get<std::string>(), t.at("issued_ms").get<int64_t>(),
                        t.at("revoked").get<bool>()};
      state.tokens[t.at("token").get<std::string>()] = token;
    }
    for (const json& g : doc.at("grants")) {
      DeviceGrant grant;
      grant.deviceCode = g.at("device_code").get<std::string>();
      grant.userCode = g.at("user_code").get<std::string>();
      grant.issuedMs = g.at("issued_ms").get<int64_t>();
      grant.expiresMs = g.at("expires_ms").get<int64_t>();
      grant.intervalMs = g.at("interval_ms").get<int64_t>();
      grant.email = g.at("email").get<std::string>();
      if (!statusFromName(g.at("status").get<std::string>(), grant.status))
        throw std::runtime_error("unknown grant status");
      state.grants[grant.deviceCode] = grant;
    }
  } catch (const std::exception& e) {
    error = path + ": not a state file (" + e.what() + ")";
    state.accounts.clear();
    state.tokens.clear();
    state.grants.clear();
    return false;
  }
  return true;
}

DeviceGrant issueDeviceGrant(ServiceState& state, const ServiceConfig& config, int64_t now) {
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto it = state.grants.begin(); it != state.grants.end();) {
    if (it->second.expiresMs + kGrantKeepAfterExpiryMs < now) it = state.grants.erase(it);
    else ++it;
  }
  DeviceGrant grant;
  grant.deviceCode = randomText(40, kTokenAlphabet);
  // A user code must name one live grant; the space is 20^8, so a clash is rare.
  for (;;) {
    std::string raw = randomText(8, kUserCodeAlphabet);
    grant.userCode = raw.substr(0, 4) + "-" + raw.substr(4);
    bool clash = false;
    for (const auto& [code, g] : state.grants) clash = clash || g.userCode == grant.userCode;
    if (!clash) break;
  }
  grant.issuedMs = now;
  grant.expiresMs = now + config.codeLifetimeMs;
  grant.intervalMs = config.pollIntervalMs;
  if (!config.autoApproveEmail.empty())
    approveLocked(state, config, grant, config.autoApproveEmail);
  state.grants[grant.deviceCode] = grant;
  persistLocked(state);
  return grant;
}

PollResult pollDeviceGrant(ServiceState& state, const std::string& deviceCode, int64_t now) {
  std::lock_guard<std::mutex> lock(state.mutex);
  PollResult result;
  auto it = state.grants.find(deviceCode);
  if (it == state.grants.end() || it->second.status == GrantStatus::Consumed) {
    result.outcome = PollOutcome::Unknown;
    return result;
  }
  DeviceGrant& grant = it->second;
  int64_t previous = grant.lastPollMs;
  grant.lastPollMs = now;
  if (grant.status == GrantStatus::Denied) {
    result.outcome = PollOutcome::Denied;
    return result;
  }
  if (now >= grant.expiresMs) {
    result.outcome = PollOutcome::Expired;
    return result;
  }
  if (grant.status == GrantStatus::Pending) {
    // A tenth of the interval of slack absorbs the client's own timing jitter.
    bool early = previous != 0 && now - previous < grant.intervalMs - grant.intervalMs / 10;
    result.outcome = early ? PollOutcome::SlowDown : PollOutcome::Pending;
    return result;
  }
  std::string token = "tlv_" + randomText(40, kTokenAlphabet);
  state.tokens[token] = AccessToken{grant.email, now, false};
  grant.status = GrantStatus::Consumed;
  const Account& account = state.accounts[lowerTrimmed(grant.email)];
  result.outcome = PollOutcome::Approved;
  result.accessToken = token;
  result.email = account.email.empty() ? grant.email : account.email;
  result.balance = account.balance;
  persistLocked(state);
  return result;
}

bool findGrantByUserCode(ServiceState& state, const std::string& userCode, DeviceGrant& out) {
  std::string code = normalizeUserCode(userCode);
  std::lock_guard<std::mutex> lock(state.mutex);
  for (const auto& [device, grant] : state.grants) {
    if (grant.userCode == code) {
      out = grant;
      return true;
    }
  }
  return false;
}

Decision decideDeviceGrant(ServiceState& state, const ServiceConfig& config,
                           const std::string& userCode, const std::string& email, bool approve,
                           int64_t now) {
  std::string code = normalizeUserCode(userCode);
  std::lock_guard<std::mutex> lock(state.mutex);
  DeviceGrant* grant = nullptr;
  for (auto& [device, g] : state.grants)
    if (g.userCode == code) grant = &g;
  if (!grant) return Decision::UnknownCode;
  if (now >= grant->expiresMs) return Decision::Expired;
  if (grant->status != GrantStatus::Pending) return Decision::AlreadyDecided;
  if (approve) {
    if (!isValidEmail(lowerTrimmed(email))) return Decision::BadEmail;
    approveLocked(state, config, *grant, email);
  } else {
    grant->status = GrantStatus::Denied;
  }
  persistLocked(state);
  return Decision::Done;
}

bool accountForToken(ServiceState& state, const std::string& token, Account& out) {
  std::lock_guard<std::mutex> lock(state.mutex);
  auto t = state.tokens.find(token);
  if (t == state.tokens.end() || t->second.revoked) return false;
  auto a = state.accounts.find(lowerTrimmed(t->second.email));
  if (a == state.accounts.end()) return false;
  out = a->second;
  return true;
}

bool revokeToken(ServiceState& state, const std::string& token) {
  std::lock_guard<std::mutex> lock(state.mutex);
  auto t = state.tokens.find(token);
  if (t == state.tokens.end() || t->second.revoked) return false;
  t->second.revoked = true;
  persistLocked(state);
  return true;
}

Charge chargeOneToken(ServiceState& state, const std::string& token, Account& after) {
  std::lock_guard<std::mutex> lock(state.mutex);
  auto t = state.tokens.find(token);
  if (t == state.tokens.end() || t->second.revoked) return Charge::BadToken;
  auto a = state.accounts.find(lowerTrimmed(t->second.email));
  if (a == state.accounts.end()) return Charge::BadToken;
  if (a->second.balance <= 0) return Charge::NoBalance;
  a->second.balance -= 1;
  after = a->second;
  persistLocked(state);
  return Charge::Charged;
}

void refundOneToken(ServiceState& state, const std::string& email) {
  std::lock_guard<std::mutex> lock(state.mutex);
  auto a = state.accounts.find(lowerTrimmed(email));
  if (a == state.accounts.end()) return;
  a->second.balance += 1;
  persistLocked(state);
}

Account addTokens(ServiceState& state, const ServiceConfig& config, const std::string& email,
                  int64_t count, bool& created) {
  std::lock_guard<std::mutex> lock(state.mutex);
  Account& account = accountLocked(state, config, email, created);
  account.balance += count;
  persistLocked(state);
  return account;
}
