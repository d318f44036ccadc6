// Generated backgrounds kept per prompt in a cache folder that render nodes
// can share. The plug-in itself reads its working files under the user's
// home; the tool copies an entry there before rendering and takes a fresh
// generation from there into the cache, so what a frame renders with is
// decided by the cache alone.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "backend/backend.h"
#include "cli/cli.h"

namespace {

const char kRecord[] = "record.txt";
// The entry's files and the plug-in's working files they stand for.
struct EntryFile {
  const char* name;
  std::string (*working)(const std::string& key, const std::string& prompt);
};
const EntryFile kEntryFiles[] = {
    {"background.png", cacheFile},
    {"difference.png", rawdiffFile},
    {"anchor.png", anchorFile},
};

std::string entryName(const std::string& prompt) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016" PRIx64, promptKey(prompt));
  return hex;
}

bool makeDirs(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string level = dir.substr(0, slash);
    if (!level.empty() && mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies a file through a temporary name beside `to`; false with errno's reason.
bool copyFile(const std::string& from, const std::string& to, std::string& error) {
  std::ifstream in(from, std::ios::binary);
  if (!in) {
    error = from + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string data = bytes.str();
  const std::string temp =
      dirName(to) + "/" + kTempMarker + std::to_string(getpid()) + "-" + baseName(to);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  int savedErrno = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, savedErrno = errno;
  if (ok && std::rename(temp.c_str(), to.c_str()) != 0) ok = false, savedErrno = errno;
  if (!ok) {
    ::unlink(temp.c_str());
    error = to + ": " + std::strerror(savedErrno);
  }
  return ok;
}

void removeTree(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") ::unlink((dir + "/" + name).c_str());
    }
    closedir(d);
  }
  ::rmdir(dir.c_str());
}

}  // namespace

std::string defaultCacheDir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/talvane";
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] ? home : "/tmp") + "/.cache/talvane";
}

CacheEntry findCacheEntry(const std::string& cacheDir, const std::string& prompt) {
  CacheEntry entry;
  entry.dir = cacheDir + "/" + entryName(prompt);
  std::ifstream record(entry.dir + "/" + kRecord);
  std::string line, recordedPrompt;
  while (std::getline(record, line)) {
    if (line.compare(0, 7, "prompt ") == 0) recordedPrompt = line.substr(7);
    if (line.compare(0, 5, "size ") == 0)
      std::sscanf(line.c_str() + 5, "%dx%d", &entry.width, &entry.height);
    if (line.compare(0, 6, "frame ") == 0) entry.frame = std::atol(line.c_str() + 6);
  }
  // Two prompts with the same key are told apart by the recorded prompt.
  entry.found = recordedPrompt == prompt && entry.width > 0 && entry.height > 0;
  return entry;
}

bool seedWorkingFiles(const CacheEntry* entry, const std::string& key, const std::string& prompt,
                      std::string& error) {
  if (!entry) {
    for (const EntryFile& f : kEntryFiles) ::unlink(f.working(key, prompt).c_str());
    return true;
  }
  if (!makeWorkDir()) {
    error = tempDir() + ": cannot create the plug-in's working folder";
    return false;
  }
  for (const EntryFile& f : kEntryFiles)
    if (!copyFile(entry->dir + "/" + f.name, f.working(key, prompt), error)) return false;
  return true;
}

bool storeCacheEntry(const std::string& cacheDir, const std::string& key, const std::string& prompt,
                     int width, int height, long frame, std::string& error) {
  if (!makeDirs(cacheDir)) {
    error = cacheDir + ": cannot create the cache folder: " + std::strerror(errno);
    return false;
  }
  // Built whole under a private name, then moved into place in one step.
  const std::string final = cacheDir + "/" + entryName(prompt);
  const std::string building =
      cacheDir + "/" + kTempMarker + std::to_string(getpid()) + "-" + entryName(prompt);
  removeTree(building);
  if (mkdir(building.c_str(), 0755) != 0) {
    error = building + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (const EntryFile& f : kEntryFiles)
    ok = ok && copyFile(f.working(key, prompt), building + "/" + f.name, error);
  if (ok) {
    std::ofstream record(building + "/" + kRecord);
    record << "prompt " << prompt << "\nsize " << width << "x" << height << "\nframe " << frame
           << "\n";
    record.close();
    if (!record) {
      error = building + "/" + kRecord + ": cannot write";
      ok = false;
    }
  }
  // An older entry (another frame size) is replaced; a rename onto a folder
  // another node filled meanwhile fails, and that node's entry is as good.
  if (ok) removeTree(final);
  if (ok && std::rename(building.c_str(), final.c_str()) != 0 && errno != ENOTEMPTY &&
      errno != EEXIST) {
    error = final + ": " + std::strerror(errno);
    ok = false;
  }
  removeTree(building);
  return ok;
}
