// Token store without a system keychain: one protected file per service.
//
// $XDG_CONFIG_HOME/talvane/ (else $HOME/.config/talvane/), mode 0700, holds
// "<service>.tokens", mode 0600, owned by us. Its format keeps any
// bytes exactly:
//   "talvane-tokens 1\n", then per account
//   "<account length> <token length>\n" <account bytes> <token bytes> "\n"
// Writers take an flock on "<service>.lock" around read-modify-write
// and replace the file atomically (temporary file, fsync, rename), so stores
// from several threads or processes never lose each other's tokens and a
// reader never sees half a file.
#include "backend/backend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

constexpr char kMagic[] = "talvane-tokens 1\n";
constexpr size_t kMaxField = 1 << 20;

using Records = std::vector<std::pair<std::string, std::string>>;

std::string storeDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/talvane";
  const char* home = std::getenv("HOME");
  if (home && home[0]) return std::string(home) + "/.config/talvane";
  return {};
}

// One service's files in the store's folder.
struct Store {
  std::string dir;
  std::string service;
};

std::string tokenPath(const Store& store) { return store.dir + "/" + store.service + ".tokens"; }
std::string lockPath(const Store& store) { return store.dir + "/" + store.service + ".lock"; }

// A service names files in the folder, so it may not step out of it.
bool isServiceName(const std::string& service) {
  return !service.empty() && service[0] != '.' && service.find('/') == std::string::npos &&
         service.find('\0') == std::string::npos;
}

// Creates dir and any missing parent with mode 0700; errno tells why not.
bool ensureDir(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    if (::mkdir(dir.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool readNumber(const std::string& s, size_t& i, char end, size_t& value) {
  size_t start = i;
  value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 8)
    value = value * 10 + size_t(s[i++] - '0');
  if (i == start || i >= s.size() || s[i] != end || value > kMaxField) return false;
  ++i;
  return true;
}

bool parseRecords(const std::string& content, Records& records) {
  const std::string magic = kMagic;
  if (content.compare(0, magic.size(), magic) != 0) return false;
  size_t i = magic.size();
  while (i < content.size()) {
    size_t accountLen = 0, tokenLen = 0;
    if (!readNumber(content, i, ' ', accountLen) || !readNumber(content, i, '\n', tokenLen))
      return false;
    if (content.size() - i < accountLen + tokenLen + 1) return false;
    std::string account = content.substr(i, accountLen);
    std::string token = content.substr(i + accountLen, tokenLen);
    i += accountLen + tokenLen;
    if (content[i++] != '\n') return false;
    records.emplace_back(std::move(account), std::move(token));
  }
  return true;
}

std::string formatRecords(const Records& records) {
  std::string out = kMagic;
  for (const auto& [account, token] : records) {
    out += std::to_string(account.size()) + " " + std::to_string(token.size()) + "\n";
    out += account;
    out += token;
    out += '\n';
  }
  return out;
}

enum class Load { Missing, Trusted, Untrusted };

// Reads the token file; a file others could read, that isn't ours or that
// doesn't parse is not trusted, and why goes to the debug log.
Load loadRecords(const Store& store, const char* caller, Records& records) {
  records.clear();
  char line[160];
  int fd = ::open(tokenPath(store).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return Load::Missing;
    std::snprintf(line, sizeof line, "%s: token file not trusted: cannot open (%d)", caller, errno);
    dbg(line);
    return Load::Untrusted;
  }
  struct stat st;
  const char* why = nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "not a regular file";
  else if (st.st_uid != ::geteuid()) why = "not owned by us";
  else if (st.st_mode & 077) why = "readable or writable by others";
  if (why) {
    ::close(fd);
    std::snprintf(line, sizeof line, "%s: token file not trusted: %s", caller, why);
    dbg(line);
    return Load::Untrusted;
  }
  const std::string content = readAll(fd);
  ::close(fd);
  if (!parseRecords(content, records)) {
    records.clear();
    std::snprintf(line, sizeof line, "%s: token file not trusted: corrupt", caller);
    dbg(line);
    return Load::Untrusted;
  }
  return Load::Trusted;
}

// Writes the records to a fresh 0600 file beside the store and renames it
// over the store; errno tells why not.
bool saveRecords(const Store& store, const Records& records) {
  static std::atomic<unsigned long long> counter{0};
  char tag[64];
  std::snprintf(tag, sizeof tag, ".tmp.%ld.%llu", long(::getpid()), ++counter);
  const std::string tmp = tokenPath(store) + tag;
  if (!writePrivateFile(tmp, formatRecords(records), true)) return false;
  if (::rename(tmp.c_str(), tokenPath(store).c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    errno = err;
    return false;
  }
  // Make the rename itself durable.
  int dirFd = ::open(store.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

// Holds the store's advisory lock while alive.
struct StoreLock {
  int fd = -1;
  explicit StoreLock(const Store& store) {
    fd = ::open(lockPath(store).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int err = errno;
      ::close(fd);
      fd = -1;
      errno = err;
    }
  }
  ~StoreLock() {
    if (fd >= 0) ::close(fd);
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
};

void logStoreFailure(int err) {
  char line[64];
  std::snprintf(line, sizeof line, "keychain store failed: %d", err);
  dbg(line);
}

}  // namespace

bool keychainStoreToken(const std::string& service, const std::string& account,
                        const std::string& token) {
  if (account.empty() || !isServiceName(service)) return false;
  const Store store{storeDir(), service};
  if (store.dir.empty()) {
    logStoreFailure(ENOENT);
    return false;
  }
  if (!ensureDir(store.dir)) {
    logStoreFailure(errno);
    return false;
  }
  StoreLock lock(store);
  if (lock.fd < 0) {
    logStoreFailure(errno);
    return false;
  }
  Records records;
  loadRecords(store, "keychainStoreToken",
              records);  // an untrusted file is replaced by a clean one
  bool replaced = false;
  for (auto& record : records) {
    if (record.first == account) {
      record.second = token;
      replaced = true;
    }
  }
  if (!replaced) records.emplace_back(account, token);
  if (!saveRecords(store, records)) {
    logStoreFailure(errno);
    return false;
  }
  return true;
}

std::string keychainGetToken(const std::string& service, const std::string& account) {
  if (account.empty() || !isServiceName(service)) return {};
  const Store store{storeDir(), service};
  if (store.dir.empty()) return {};
  Records records;
  if (loadRecords(store, "keychainGetToken", records) != Load::Trusted) return {};
  for (const auto& record : records)
    if (record.first == account) return record.second;
  return {};
}

bool keychainDeleteToken(const std::string& service, const std::string& account) {
  if (account.empty() || !isServiceName(service)) return false;
  const Store store{storeDir(), service};
  if (store.dir.empty()) return false;
  if (!fileExists(tokenPath(store))) return true;
  StoreLock lock(store);
  if (lock.fd < 0) return false;
  Records records;
  const Load load = loadRecords(store, "keychainDeleteToken", records);
  if (load == Load::Missing) return true;
  Records kept;
  for (auto& record : records)
    if (record.first != account) kept.push_back(std::move(record));
  // An untrusted file is rewritten clean; a trusted one only when it changes.
  if (load == Load::Trusted && kept.size() == records.size()) return true;
  return saveRecords(store, kept);
}
