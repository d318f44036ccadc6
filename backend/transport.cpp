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
#include <random>
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

// The body goes to curl's standard output and the status to its error
// stream (%{stderr}), both descriptors of files we created: curl opens no
// path of its own for them.
CurlRequest outputWords(uint64_t maxBytes) {
  return {{"", "--max-filesize", Quote::None},
          {"", std::to_string(maxBytes), Quote::None},
          {"", "-w", Quote::None},
          {"", "%{stderr}%{http_code}", Quote::Single},
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

// Creates path for our own writing, 0600 from the first byte. A leftover
// regular file goes first; a link (or anything else) where our file should
// be is refused, never followed or removed.
int createPrivate(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      dbg(("refused: not a plain file at " + path).c_str());
      errno = EEXIST;
      return -1;
    }
    ::unlink(path.c_str());
  }
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

struct CurlRun {
  int wstatus = -1;       // as waitpid reports it; -1 when curl could not start
  bool stopped = false;   // ended by the stop switch
  bool overflow = false;  // the answer outgrew its limit and curl was ended
};

void endChild(pid_t pid, int& wstatus) {
  ::kill(pid, SIGKILL);
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &wstatus, 0);
  } while (reaped < 0 && errno == EINTR);
}

// Starts curl with stdin on /dev/null, stdout into outFd and stderr into
// statusFd, nothing else of ours inherited and the signal state reset.
CurlRun spawnCurl(const std::vector<std::string>& args, int outFd, int statusFd,
                  uint64_t maxBytes) {
  CurlRun run;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return run;
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return run;
  }
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, statusFd, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The host's blocked and ignored signals are its own business, not curl's.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  keepOnlyStandardStreams(&actions, &flags);
  posix_spawnattr_setflags(&attributes, flags);
  pid_t pid = -1;
  int err = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), TALVANE_ENVIRON);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (err != 0) return run;

  // Waited for in short naps rather than blocking, so a stop (the plug-in
  // being unloaded) ends the run at once instead of at curl's time limit, and
  // an answer without a length (chunked) is cut as soon as it outgrows its limit.
  std::chrono::microseconds nap(500);
  for (;;) {
    const pid_t done = ::waitpid(pid, &run.wstatus, WNOHANG);
    if (done == pid) return run;
    if (done < 0 && errno != EINTR) {
      run.wstatus = -1;
      return run;
    }
    struct stat st;
    if (::fstat(outFd, &st) == 0 && uint64_t(st.st_size) > maxBytes) {
      run.overflow = true;
      endChild(pid, run.wstatus);
      return run;
    }
    if (backgroundStopRequested()) {
      run.stopped = true;
      endChild(pid, run.wstatus);
      return run;
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

// curl's exit codes that say why no status came.
RequestFault faultOfExit(int code) {
  switch (code) {
    case 0:
      return RequestFault::None;
    case 5:  // proxy name not resolved
    case 6:  // host name not resolved
    case 7:  // no connection
      return RequestFault::Unreachable;
    case 28:
      return RequestFault::TimedOut;
    case 23:  // could not write the answer
      return RequestFault::WorkFolder;
    case 63:  // --max-filesize
      return RequestFault::TooLarge;
    default:
      return RequestFault::ConnectionFailed;
  }
}

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

std::string servicePrompt(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char lead = p[i];
    // Length and smallest code point of the sequence this byte starts (0: none).
    size_t len = 0;
    uint32_t cp = 0, least = 0;
    if (lead < 0x80) len = 1, cp = lead;
    else if ((lead & 0xe0) == 0xc0) len = 2, cp = lead & 0x1f, least = 0x80;
    else if ((lead & 0xf0) == 0xe0) len = 3, cp = lead & 0x0f, least = 0x800;
    else if ((lead & 0xf8) == 0xf0) len = 4, cp = lead & 0x07, least = 0x10000;
    bool valid = len > 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      valid = (p[i + k] & 0xc0) == 0x80;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    valid = valid && cp >= least && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
    if (!valid) {
      ++i;  // a stray byte goes alone; what follows may still be good text
      continue;
    }
    const bool control = cp < 0x20 || (cp >= 0x7f && cp <= 0x9f);
    if (!control || cp == '\t' || cp == '\n') out.append(text, i, len);
    i += len;
  }
  return out;
}

bool writePrivateFile(const std::string& path, const std::string& bytes, bool durable) {
  int fd = createPrivate(path);
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

std::string readAll(int fd, uint64_t maxBytes) {
  std::string content;
  char buf[65536];
  while (content.size() < maxBytes) {
    ssize_t n = ::read(fd, buf, size_t(std::min<uint64_t>(sizeof buf, maxBytes - content.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buf, size_t(n));
  }
  return content;
}

std::string readFile(const std::string& path, uint64_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  std::string content = readAll(fd, maxBytes);
  ::close(fd);
  return content;
}

const char* faultText(RequestFault fault) {
  switch (fault) {
    case RequestFault::None:
      return "";
    case RequestFault::Unreachable:
      return "cannot reach the service";
    case RequestFault::TimedOut:
      return "the service did not answer in time";
    case RequestFault::WorkFolder:
      return "cannot write the working folder";
    case RequestFault::TooLarge:
      return "the service's answer was too large";
    case RequestFault::ConnectionFailed:
      return "the connection to the service failed";
    case RequestFault::Stopped:
      return "stopped";
  }
  return "";
}

RequestFiles newRequestFiles() {
  static std::atomic<unsigned long long> counter{0};
  // Two copies of this code in one process (two bundles a host loaded, or a test
  // beside the bundle) count from 1 alike: a random tag per copy keeps them apart.
  static const unsigned copyTag = std::random_device{}();
  char tag[64];
  std::snprintf(tag, sizeof tag, "_%ld_%08x_%llu", long(::getpid()), copyTag, ++counter);
  const std::string dir = tempDir();
  return {dir + "/ofx_curl_status" + tag + ".txt", dir + "/ofx_auth_hdr" + tag + ".txt",
          dir + "/ofx_device_token_form" + tag + ".txt", dir + "/ofx_answer" + tag + ".json"};
}

CurlRequest curlStart(const std::string& method, const std::string& url) {
  // -q must come first: the user's ~/.curlrc could add headers to the body or follow redirects.
  return {{"", "/usr/bin/curl", Quote::None},
          {"", "-q", Quote::None},
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

std::vector<std::string> curlArguments(const CurlRequest& request, uint64_t maxBytes) {
  std::vector<std::string> args;
  for (const CurlWord& w : request) args.push_back(w.prefix + w.text);
  for (const CurlWord& w : outputWords(maxBytes)) args.push_back(w.prefix + w.text);
  return args;
}

std::string curlRequestLine(const CurlRequest& request) { return renderWords(request); }

std::string curlCommandLine(const CurlRequest& request, uint64_t maxBytes,
                            const std::string& outPath, const std::string& statusPath) {
  return renderWords(request) + " " + renderWords(outputWords(maxBytes)) + " > " +
         doubleQuoted(outPath) + " 2> " + doubleQuoted(statusPath);
}

int runCurl(const CurlRequest& request, const std::string& outPath, const RequestFiles& files,
            uint64_t maxBytes, RequestFault* fault) {
  RequestFault ignored;
  RequestFault& why = fault ? *fault : ignored;
  why = RequestFault::None;
  if (backgroundStopRequested()) {
    why = RequestFault::Stopped;
    return 0;
  }
  const size_t requestLength = curlRequestLine(request).size();
  char line[160];
  if (curlCommandLine(request, maxBytes, outPath, files.status).size() > kMaxCommandLength) {
    std::snprintf(line, sizeof line, "runCurl: command too long cmd_len=%zu", requestLength);
    dbg(line);
    why = RequestFault::ConnectionFailed;
    return 0;
  }
  if (!makeWorkDir()) {
    dbg("runCurl: working folder unusable");
    why = RequestFault::WorkFolder;
    return 0;
  }
  const int outFd = aboveStandardStreams(createPrivate(outPath));
  const int statusFd = aboveStandardStreams(createPrivate(files.status));
  CurlRun run;
  if (outFd >= 0 && statusFd >= 0)
    run = spawnCurl(curlArguments(request, maxBytes), outFd, statusFd, maxBytes);
  struct stat st;
  // What arrived in the last nap counts too.
  const bool tooLarge =
      run.overflow || (outFd >= 0 && ::fstat(outFd, &st) == 0 && uint64_t(st.st_size) > maxBytes);
  if (outFd >= 0) ::close(outFd);
  if (statusFd >= 0) ::close(statusFd);
  const std::string statusText = readFile(files.status, 64);
  ::unlink(files.status.c_str());

  const int exitCode = run.wstatus != -1 && WIFEXITED(run.wstatus) ? WEXITSTATUS(run.wstatus) : -1;
  if (exitCode != 0) {
    std::snprintf(line, sizeof line, "curl rc=%d cmd_len=%zu", run.wstatus, requestLength);
    dbg(line);
  }
  if (outFd < 0 || statusFd < 0) {
    dbg("runCurl: cannot create the answer files");
    why = RequestFault::WorkFolder;
  } else if (run.stopped || backgroundStopRequested()) {
    why = RequestFault::Stopped;  // cut off: whatever arrived is incomplete
  } else if (tooLarge || exitCode == 63) {
    std::snprintf(line, sizeof line, "runCurl: answer larger than %llu bytes, dropped",
                  static_cast<unsigned long long>(maxBytes));
    dbg(line);
    why = RequestFault::TooLarge;
  } else if (exitCode == -1) {
    why = RequestFault::ConnectionFailed;
  } else {
    why = faultOfExit(exitCode);
    const int status = parseStatus(statusText);
    // curl still prints the status of a reply cut short by --max-time; a
    // timed-out request has not succeeded whatever that status says.
    if (why != RequestFault::TimedOut && status != 0) {
      why = RequestFault::None;
      return status;
    }
    if (why == RequestFault::None) why = RequestFault::ConnectionFailed;
  }
  ::unlink(outPath.c_str());
  return 0;
}

int runCurlForAnswer(const CurlRequest& request, const std::string& answerName,
                     const RequestFiles& files, std::string& body, RequestFault* fault) {
  body.clear();
  const int status = runCurl(request, files.answer, files, kJsonAnswerLimit, fault);
  body = readFile(files.answer, kJsonAnswerLimit);
  // Kept (0600) for a look when something goes wrong; answers carrying a
  // secret have no name and go as soon as they are read.
  if (answerName.empty() || ::rename(files.answer.c_str(), (tempDir() + answerName).c_str()) != 0)
    ::unlink(files.answer.c_str());
  return status;
}
