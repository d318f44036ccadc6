// Working directory, working-file names, prompt key and debug log.
#include "backend/backend.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Where the working folder's path starts; private is set when that is our own
// folder in /tmp, which must then be checked like the working folder itself.
std::string homeBase(bool* privateBase = nullptr) {
  if (privateBase) *privateBase = false;
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return home;
  // No HOME (a host started by a service manager): the account's own home.
  struct passwd entry;
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::geteuid(), &entry, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] != '\0')
    return found->pw_dir;
  // No home at all: a folder of our own in /tmp, never one shared with other users.
  if (privateBase) *privateBase = true;
  return "/tmp/talvane-" + std::to_string(unsigned(::geteuid()));
}

// Ours alone: a real folder (not a link), owned by us, closed to everyone else.
bool isPrivateFolder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

void refused(const std::string& dir, const char* why) {
  // The debug log lives in the refused folder, so the host's error stream it is (once).
  static std::atomic<bool> told{false};
  if (!told.exchange(true))
    std::fprintf(stderr,
                 "Talvane: working folder %s refused (%s); generation and sign-in are off\n",
                 dir.c_str(), why);
}

// True when the private /tmp base (if that is in use) and the working folder
// both exist as folders of ours that nobody else can enter.
bool workDirIsPrivate() {
  bool privateBase = false;
  const std::string base = homeBase(&privateBase);
  struct stat st;
  if (privateBase && (::lstat(base.c_str(), &st) != 0 || !isPrivateFolder(st))) return false;
  return ::lstat(tempDir().c_str(), &st) == 0 && isPrivateFolder(st);
}

std::string workFile(const std::string& name) {
  std::string path = tempDir() + "/" + name;
  if (path.size() > 511) path.resize(511);
  return path;
}

std::string perPromptFile(const char* kind, const std::string& key, const std::string& prompt) {
  char hash[24];
  std::snprintf(hash, sizeof hash, "%" PRIu64, promptKey(prompt));
  return workFile(std::string(kind) + "_" + key + "_" + hash + ".png");
}

// ---- libc++'s 64-bit string hash (CityHash64 as adapted there) ----

constexpr uint64_t k0 = 0xc3a5c85c97cb3127ULL;
constexpr uint64_t k1 = 0xb492b66fbe98f273ULL;
constexpr uint64_t k2 = 0x9ae16a3b2f90404fULL;
constexpr uint64_t k3 = 0xc949d7c7509e6557ULL;

// Loads are little-endian whatever the machine, as on every platform we ship.
uint64_t load64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t load32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t rotate(uint64_t v, int shift) {
  return shift == 0 ? v : (v >> shift) | (v << (64 - shift));
}

uint64_t shiftMix(uint64_t v) { return v ^ (v >> 47); }

uint64_t hashLen16(uint64_t u, uint64_t v) {
  const uint64_t mul = 0x9ddfea08eb382d69ULL;
  uint64_t a = (u ^ v) * mul;
  a ^= a >> 47;
  uint64_t b = (v ^ a) * mul;
  b ^= b >> 47;
  return b * mul;
}

uint64_t hashLen0to16(const unsigned char* s, uint64_t len) {
  if (len > 8) {
    uint64_t a = load64(s);
    uint64_t b = load64(s + len - 8);
    return hashLen16(a, rotate(b + len, int(len))) ^ b;
  }
  if (len >= 4) {
    // The shift stays in 32 bits, as libc++ does it.
    uint32_t a = load32(s);
    uint32_t b = load32(s + len - 4);
    return hashLen16(len + uint32_t(a << 3), b);
  }
  if (len > 0) {
    uint32_t y = uint32_t(s[0]) + (uint32_t(s[len >> 1]) << 8);
    uint32_t z = uint32_t(len) + (uint32_t(s[len - 1]) << 2);
    return shiftMix(y * k2 ^ z * k3) * k2;
  }
  return k2;
}

uint64_t hashLen17to32(const unsigned char* s, uint64_t len) {
  uint64_t a = load64(s) * k1;
  uint64_t b = load64(s + 8);
  uint64_t c = load64(s + len - 8) * k2;
  uint64_t d = load64(s + len - 16) * k0;
  return hashLen16(rotate(a - b, 43) + rotate(c, 30) + d, a + rotate(b ^ k3, 20) - c + len);
}

struct Pair {
  uint64_t first, second;
};

Pair weakHash32(uint64_t w, uint64_t x, uint64_t y, uint64_t z, uint64_t a, uint64_t b) {
  a += w;
  b = rotate(b + a + z, 21);
  uint64_t c = a;
  a += x;
  a += y;
  b += rotate(a, 44);
  return {a + z, b + c};
}

Pair weakHash32(const unsigned char* s, uint64_t a, uint64_t b) {
  return weakHash32(load64(s), load64(s + 8), load64(s + 16), load64(s + 24), a, b);
}

uint64_t hashLen33to64(const unsigned char* s, uint64_t len) {
  uint64_t z = load64(s + 24);
  uint64_t a = load64(s) + (len + load64(s + len - 16)) * k0;
  uint64_t b = rotate(a + z, 52);
  uint64_t c = rotate(a, 37);
  a += load64(s + 8);
  c += rotate(a, 7);
  a += load64(s + 16);
  uint64_t vf = a + z;
  uint64_t vs = b + rotate(a, 31) + c;
  a = load64(s + 16) + load64(s + len - 32);
  z += load64(s + len - 8);  // libc++ adds here where CityHash 1.0 assigns
  b = rotate(a + z, 52);
  c = rotate(a, 37);
  a += load64(s + len - 24);
  c += rotate(a, 7);
  a += load64(s + len - 16);
  uint64_t wf = a + z;
  uint64_t ws = b + rotate(a, 31) + c;
  uint64_t r = shiftMix((vf + ws) * k2 + (wf + vs) * k0);
  return shiftMix(r * k0 + vs) * k2;
}

uint64_t cityHash64(const unsigned char* s, uint64_t len) {
  if (len <= 16) return hashLen0to16(s, len);
  if (len <= 32) return hashLen17to32(s, len);
  if (len <= 64) return hashLen33to64(s, len);

  uint64_t x = load64(s + len - 40);
  uint64_t y = load64(s + len - 16) + load64(s + len - 56);
  uint64_t z = hashLen16(load64(s + len - 48) + len, load64(s + len - 24));
  Pair v = weakHash32(s + len - 64, len, z);
  Pair w = weakHash32(s + len - 32, y + k1, x);
  x = x * k1 + load64(s);

  // Whole 64-byte blocks from the start; the tail was folded in above.
  len = (len - 1) & ~uint64_t(63);
  do {
    x = rotate(x + y + v.first + load64(s + 8), 37) * k1;
    y = rotate(y + v.second + load64(s + 48), 42) * k1;
    x ^= w.second;
    y += v.first + load64(s + 40);
    z = rotate(z + w.first, 33) * k1;
    v = weakHash32(s, v.second * k1, x + w.first);
    w = weakHash32(s + 32, z + w.second, y + load64(s + 16));
    std::swap(z, x);
    s += 64;
    len -= 64;
  } while (len != 0);
  return hashLen16(hashLen16(v.first, w.first) + shiftMix(y) * k1 + z,
                   hashLen16(v.second, w.second) + x);
}

// -1 undecided, 0 off, 1 on.
std::atomic<int> gDebugEnabled{-1};

bool debugEnabled() {
  int state = gDebugEnabled.load(std::memory_order_acquire);
  if (state < 0) {
    const char* v = std::getenv("TALVANE_DEBUG");
    int decided = (v && v[0] != '\0' && v[0] != '0') ? 1 : 0;
    // The first decision wins; a racing thread computes the same value anyway.
    if (gDebugEnabled.compare_exchange_strong(state, decided, std::memory_order_acq_rel))
      state = decided;
  }
  return state == 1;
}

}  // namespace

std::string tempDir() { return homeBase() + "/Documents/tollwick/quenbay/temp"; }

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool makeWorkDir() {
  bool privateBase = false;
  const std::string base = homeBase(&privateBase);
  const std::string dir = tempDir();
  struct stat st;
  if (privateBase) {
    // Anyone can create this name in /tmp before us: use it only when it is ours and closed.
    if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (::lstat(base.c_str(), &st) != 0 || !isPrivateFolder(st)) {
      refused(base, "not a folder of ours closed to others");
      return false;
    }
  }
  if (::lstat(dir.c_str(), &st) != 0) {
    // A fresh machine has none of Documents/tollwick/quenbay/temp: create each missing level,
    // the last one closed to others.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
      if (pos != dir.size() && dir[pos] != '/') continue;
      const std::string level = dir.substr(0, pos);
      if (::mkdir(level.c_str(), pos == dir.size() ? 0700 : 0755) != 0 && errno != EEXIST)
        return false;
    }
  }
  // Checked through a descriptor of the folder itself, so what is checked is what is tightened.
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) refused(dir, "not a folder");
    return false;
  }
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  if (ok && (st.st_mode & 077) != 0) {
    // Left open by an earlier version: close it, and drop the token answer it used to keep.
    ok = ::fchmod(fd, 0700) == 0;
    if (ok) ::unlinkat(fd, "ofx_device_token.json", 0);
  }
  ::close(fd);
  if (!ok) refused(dir, "owned by another user");
  return ok;
}

std::string grabbedFile(const std::string& key) { return workFile("ofx_grabbed_" + key + ".png"); }
std::string inputFile(const std::string& key) {
  return workFile("ofx_input_" + key + "_" + std::to_string(long(::getpid())) + ".png");
}
std::string cacheFile(const std::string& key, const std::string& prompt) {
  return perPromptFile("bg", key, prompt);
}
std::string rawdiffFile(const std::string& key, const std::string& prompt) {
  return perPromptFile("rawdiff", key, prompt);
}
std::string anchorFile(const std::string& key, const std::string& prompt) {
  return perPromptFile("anchor", key, prompt);
}

std::string plateFile(const std::string& key, const std::string& prompt) {
  return perPromptFile("plate", key, prompt);
}

std::string backdropFile(const std::string& key, const std::string& prompt) {
  return perPromptFile("backdrop", key, prompt);
}

uint64_t promptKey(const std::string& prompt) {
  return cityHash64(reinterpret_cast<const unsigned char*>(prompt.data()), prompt.size());
}

void dbg(const char* message) {
  if (!message || !debugEnabled() || !workDirIsPrivate()) return;
  char path[512];
  std::snprintf(path, sizeof path, "%s/ofx_debug.log", tempDir().c_str());
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  // One write per line keeps lines from different threads whole.
  std::string line = std::string(message) + "\n";
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  ::close(fd);
}
