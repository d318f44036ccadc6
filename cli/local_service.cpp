// --local-service: the tool starts the local reference service itself and
// stops it when it ends, so a first run needs nothing but this build.
//
// A bundle talks to the one address compiled into it. The demo bundle's is a
// fixed loopback port; when that port is taken, the service listens on a
// free one and the tool loads a private copy of the bundle whose address
// names that port instead (same length: both are five-digit ports).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/render_tool.h"

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The plug-in binary of a bundle folder: Contents/<arch>/<Name>.ofx.
std::string bundleBinary(const std::string& bundle) {
  struct stat st {};
  if (stat(bundle.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return bundle;
  std::string name = baseName(bundle);
  if (name.size() > 7 && name.compare(name.size() - 7, 7, ".bundle") == 0)
    name.resize(name.size() - 7);
  const std::string contents = bundle + "/Contents";
  std::string found;
  if (DIR* d = opendir(contents.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string candidate = contents + "/" + entry->d_name + "/" + name;
      if (found.empty() && entry->d_name[0] != '.' && stat(candidate.c_str(), &st) == 0 &&
          S_ISREG(st.st_mode))
        found = candidate;
    }
    closedir(d);
  }
  return found;
}

bool originChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
         c == '[' || c == ']';
}

// Every NUL-terminated "http(s)://host[:port]" string of the binary, with its offset.
std::vector<std::pair<size_t, std::string>> originsIn(const std::string& bytes) {
  std::vector<std::pair<size_t, std::string>> found;
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix = scheme;
    for (size_t at = bytes.find(prefix); at != std::string::npos; at = bytes.find(prefix, at + 1)) {
      size_t end = at + prefix.size();
      while (end < bytes.size() && originChar(bytes[end])) ++end;
      if (end < bytes.size() && bytes[end] == '\0' && end > at + prefix.size())
        found.emplace_back(at, bytes.substr(at, end - at));
    }
  }
  return found;
}

int urlPort(const std::string& url) {
  size_t colon = url.rfind(':');
  if (colon == std::string::npos || colon < url.find("://") + 3) return 0;
  return std::atoi(url.c_str() + colon + 1);
}

std::string selfDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  return dirName(path);
}

std::string findService() {
  std::string beside = selfDir() + "/talvane-service";
  if (access(beside.c_str(), X_OK) == 0) return beside;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/talvane-service";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Starts the service on port (0: a free one) and waits up to ten seconds
// for its "listening on" line; the pid and the address it reports.
pid_t spawnService(const std::string& binary, int port, const std::string& statePath,
                   const std::string& log, std::string& url) {
  const std::string portText = std::to_string(port);
  std::vector<std::string> argv = {binary,   "--bind",  "127.0.0.1", "--port",
                                   portText, "--state", statePath,   "--auto-approve"};
  pid_t pid = fork();
  if (pid == 0) {
    // Its own process group: a Ctrl-C meant for the render must not end the
    // service under a request; the tool stops it itself.
    setpgid(0, 0);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int null = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    execv(binary.c_str(), args.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  const std::string marker = "listening on ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = readWhole(log);
    size_t at = text.find(marker);
    size_t end = at == std::string::npos ? at : text.find('\n', at);
    if (end != std::string::npos) {
      url = text.substr(at + marker.size(), end - at - marker.size());
      return pid;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

bool copyTree(const std::string& from, const std::string& to) {
  struct stat st {};
  if (stat(from.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) return false;
    DIR* d = opendir(from.c_str());
    if (!d) return false;
    bool ok = true;
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") ok = copyTree(from + "/" + name, to + "/" + name) && ok;
    }
    closedir(d);
    return ok;
  }
  std::ofstream out(to, std::ios::binary);
  out << readWhole(from);
  out.close();
  return static_cast<bool>(out) && chmod(to.c_str(), st.st_mode & 0777) == 0;
}

void removeTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") removeTree(path + "/" + name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

std::string bundleServiceUrl(const std::string& bundle) {
  const std::string binary = bundleBinary(bundle);
  if (binary.empty()) return "";
  std::string url;
  for (const auto& origin : originsIn(readWhole(binary))) {
    if (!url.empty() && origin.second != url) return "";
    url = origin.second;
  }
  return url;
}

bool serviceReachable(const std::string& url, double seconds) {
  const size_t hostStart = url.find("://");
  if (hostStart == std::string::npos) return false;
  std::string host = url.substr(hostStart + 3);
  std::string port = url.compare(0, 5, "https") == 0 ? "443" : "80";
  size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    port = host.substr(colon + 1);
    host.resize(colon);
  }
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) return false;
  bool reached = false;
  for (addrinfo* a = addresses; a && !reached; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      reached = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      reached = poll(&p, 1, static_cast<int>(seconds * 1000)) == 1 &&
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(addresses);
  return reached;
}

bool startLocalService(const std::string& bundle, const std::string& statePath,
                       LocalService& service, std::string& error) {
  service = LocalService();
  const std::string binary = bundleBinary(bundle);
  const std::string bound = bundleServiceUrl(bundle);
  const std::string loopback = "http://127.0.0.1:";
  if (binary.empty() || bound.compare(0, loopback.size(), loopback) != 0) {
    error = bundle +
            ": --local-service needs a bundle bound to a loopback address, such as this "
            "build's demo bundle";
    return false;
  }
  const std::string serviceBinary = findService();
  if (serviceBinary.empty()) {
    error = "--local-service: talvane-service is neither beside talvane-render nor on PATH";
    return false;
  }
  char scratch[] = "/tmp/talvane-local-XXXXXX";
  if (!mkdtemp(scratch)) {
    error = std::string("--local-service: cannot make a private folder: ") + std::strerror(errno);
    return false;
  }
  service.scratch = scratch;
  const std::string log = service.scratch + "/service.log";
  service.bundle = bundle;
  service.pid = spawnService(serviceBinary, urlPort(bound), statePath, log, service.url);
  if (service.pid > 0) return true;

  // The bundle's port is taken: a free port, and a copy of the bundle bound to it.
  service.pid = spawnService(serviceBinary, 0, statePath, log, service.url);
  if (service.pid <= 0) {
    error = "--local-service: talvane-service did not start: " + printable(readWhole(log));
    stopLocalService(service);
    return false;
  }
  if (service.url.size() != bound.size()) {
    error = "--local-service: port " + std::to_string(urlPort(bound)) +
            " is taken and the free port found cannot be bound into the bundle";
    stopLocalService(service);
    return false;
  }
  service.bundle = service.scratch + "/" + baseName(bundle);
  const std::string copy = service.bundle + binary.substr(bundle.size());
  if (!copyTree(bundle, service.bundle)) {
    error = "--local-service: cannot copy " + bundle;
    stopLocalService(service);
    return false;
  }
  std::string bytes = readWhole(copy);
  for (const auto& origin : originsIn(bytes))
    bytes.replace(origin.first, bound.size(), service.url);
  std::ofstream out(copy, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) {
    error = "--local-service: cannot write " + copy;
    stopLocalService(service);
    return false;
  }
  return true;
}

void stopLocalService(LocalService& service) {
  if (service.pid > 0) {
    kill(service.pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(service.pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(service.pid, SIGKILL);
        waitpid(service.pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  service.pid = -1;
  if (!service.scratch.empty()) removeTree(service.scratch);
  service.scratch.clear();
}
