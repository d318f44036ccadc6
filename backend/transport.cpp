// Input checks, request files and the one place where curl is started.
//
// Each request is a list of argument words handed to /usr/bin/curl through
// posix_spawn: no shell ever sees the URL, token or prompt. The same words can
// be rendered as the shell command line they correspond to, which fixes the
// command-length limit and the debug line's length.
#include "backend/backend.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef __APPLE__
#include <crt_externs.h>
#define TALVANE_ENVIRON (*_NSGetEnviron())
#else
extern char** environ;
#define TALVANE_ENVIRON environ
#endif

namespace {

bool isBlankOrSlash(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/'; }

bool isShellSpecial(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '$' || c == '\'' || c == '\\' ||
         c == '`';
}

// Inside shell double quotes only these four bytes keep a meaning; escaping
// them keeps the rendered line equal to the words for any path or text.
std::string doubleQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string renderWord(const CurlWord& word) {
  switch (word.quote) {
    case Quote::Double:
      return word.prefix + doubleQuoted(word.text);
    case Quote::Single:
      return word.prefix + "'" + word.text + "'";
    case Quote::None:
      break;
  }
  return word.prefix + word.text;
}

std::string renderWords(const CurlRequest& words) {
  std::string line;
  for (const CurlWord& word : words) {
    if (!line.empty()) line += ' ';
    line += renderWord(word);
  }
  return line;
}

CurlRequest outputWords(const std::string& outPath) {
  return {{"", "-o", Quote::None},
          {"", outPath, Quote::Double},
          {"", "-w", Quote::None},
          {"", "%{http_code}", Quote::Single},
          {"", "-s", Quote::None}};
}

// Keeps a descriptor clear of 0-2 so redirecting the child's standard streams
// can never clobber it.
int aboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

// Starts curl with stdin and stderr on /dev/null and stdout into statusFd;
// returns the wait status the way system() would (-1 when it couldn't start).
int spawnCurl(const std::vector<std::string>& args, int statusFd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_adddup2(&actions, statusFd, 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), TALVANE_ENVIRON);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return -1;

  // Waited for in short naps rather than blocking, so a stop (the plug-in
  // being unloaded) ends the run at once instead of at curl's time limit.
  int wstatus = 0;
  std::chrono::microseconds nap(500);
  for (;;) {
    const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) return wstatus;
    if (done < 0 && errno != EINTR) return -1;
    if (backgroundStopRequested()) {
      ::kill(pid, SIGKILL);
      pid_t reaped;
      do {
        reaped = ::waitpid(pid, &wstatus, 0);
      } while (reaped < 0 && errno == EINTR);
      return -1;
    }
    std::this_thread::sleep_for(nap);
    nap = std::min(nap * 2, std::chrono::microseconds(20000));
  }
}

// The leading integer of curl's "%{http_code}" output, read like atoi.
int parseStatus(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) return 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return int(v);
}

constexpr int kCurlTimedOut = 28;

std::atomic<bool> gBackgroundStop{false};

}  // namespace

void setBackgroundStop(bool stop) { gBackgroundStop.store(stop); }

bool backgroundStopRequested() { return gBackgroundStop.load(); }

std::string trimmedUrl(const std::string& url) {
  std::string s = url;
  while (!s.empty() && isBlankOrSlash(s.back())) s.pop_back();
  size_t start = 0;
  while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
  return s.substr(start);
}

bool isSafeUrl(const std::string& url) {
  if (url.empty() || url.size() > 512) return false;
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) return false;
  for (char c : url)
    if (c == ' ' || isShellSpecial(c)) return false;
  return true;
}

bool isSafeToken(const std::string& text) {
  if (text.empty() || text.size() > 256) return false;
  for (unsigned char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string safeShell(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (isShellSpecial(c)) c = '_';
  return out;
}

bool writePrivateFile(const std::string& path, const std::string& bytes, bool durable) {
  // A leftover of an earlier run (or anything planted there) goes first, so
  // the file we write is always our own, created 0600 from the first byte.
  ::unlink(path.c_str());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == bytes.size() && (!durable || ::fsync(fd) == 0);
  int err = ok ? 0 : (errno ? errno : EIO);
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(path.c_str());
    errno = err;
  }
  return ok;
}

bool writeAuthHeaderFile(const std::string& path, const std::string& token) {
  return writePrivateFile(path, "Authorization: Bearer " + token + "\n");
}

std::string readAll(int fd) {
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buf, size_t(n));
  }
  return content;
}

std::string readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string content = readAll(fd);
  ::close(fd);
  return content;
}

RequestFiles newRequestFiles() {
  static std::atomic<unsigned long long> counter{0};
  char tag[64];
  std::snprintf(tag, sizeof tag, "_%ld_%llu", long(::getpid()), ++counter);
  const std::string dir = tempDir();
  return {dir + "/ofx_curl_status" + tag + ".txt", dir + "/ofx_auth_hdr" + tag + ".txt",
          dir + "/ofx_device_token_form" + tag + ".txt", dir + "/ofx_answer" + tag + ".json"};
}

CurlRequest curlStart(const std::string& method, const std::string& url) {
  return {{"", "/usr/bin/curl", Quote::None},
          {"", "-X", Quote::None},
          {"", method, Quote::None},
          {"", url, Quote::None}};
}

void addTimeLimits(CurlRequest& request, RequestLimits limits) {
  if (limits.totalSeconds > 0) {
    request.push_back({"", "--max-time", Quote::None});
    request.push_back({"", std::to_string(limits.totalSeconds), Quote::None});
  }
  if (limits.connectSeconds > 0) {
    request.push_back({"", "--connect-timeout", Quote::None});
    request.push_back({"", std::to_string(limits.connectSeconds), Quote::None});
  }
}

std::vector<std::string> curlArguments(const CurlRequest& request, const std::string& outPath) {
  std::vector<std::string> args;
  for (const CurlWord& w : request) args.push_back(w.prefix + w.text);
  for (const CurlWord& w : outputWords(outPath)) args.push_back(w.prefix + w.text);
  return args;
}

std::string curlRequestLine(const CurlRequest& request) { return renderWords(request); }

std::string curlCommandLine(const CurlRequest& request, const std::string& outPath,
                            const std::string& statusPath) {
  return renderWords(request) + " " + renderWords(outputWords(outPath)) + " > " +
         doubleQuoted(statusPath) + " 2>/dev/null";
}

int runCurl(const CurlRequest& request, const std::string& outPath, const RequestFiles& files) {
  if (backgroundStopRequested()) return 0;
  const size_t requestLength = curlRequestLine(request).size();
  char line[128];
  if (curlCommandLine(request, outPath, files.status).size() > kMaxCommandLength) {
    std::snprintf(line, sizeof line, "runCurl: command too long cmd_len=%zu", requestLength);
    dbg(line);
    return 0;
  }
  makeWorkDir();
  int statusFd = aboveStandardStreams(
      ::open(files.status.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  int rc = -1;
  if (statusFd >= 0) {
    rc = spawnCurl(curlArguments(request, outPath), statusFd);
    ::close(statusFd);
  }
  if (rc != 0) {
    std::snprintf(line, sizeof line, "curl rc=%d cmd_len=%zu", rc, requestLength);
    dbg(line);
  }
  const std::string statusText = readFile(files.status);
  ::unlink(files.status.c_str());
  if (backgroundStopRequested()) return 0;  // cut off: whatever arrived is incomplete
  // curl still prints the status of a reply cut short by --max-time; a
  // timed-out request has not succeeded whatever that status says.
  if (rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == kCurlTimedOut) return 0;
  return parseStatus(statusText);
}

int runCurlForAnswer(const CurlRequest& request, const std::string& answerName,
                     const RequestFiles& files, std::string& body) {
  int status = runCurl(request, files.answer, files);
  body = readFile(files.answer);
  if (fileExists(files.answer) &&
      ::rename(files.answer.c_str(), (tempDir() + answerName).c_str()) != 0)
    ::unlink(files.answer.c_str());
  return status;
}
