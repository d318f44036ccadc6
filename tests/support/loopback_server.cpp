#include "tests/support/loopback_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr auto kLongestWait = std::chrono::seconds(60);

int localPort(int fd, bool peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  if (rc != 0 || addr.sin_family != AF_INET) return -1;
  return ntohs(addr.sin_port);
}

// httplib hides the connection's socket from handlers; find it by its two
// ports and shut it down, so the client sees the connection end with no reply.
void dropConnection(int serverPort, int clientPort) {
  for (int fd = 3; fd < 4096; ++fd) {
    if (localPort(fd, false) == serverPort && localPort(fd, true) == clientPort) {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

ServedRequest record(const httplib::Request& req) {
  ServedRequest r;
  r.method = req.method;
  r.path = req.path;
  r.headers.insert(req.headers.begin(), req.headers.end());
  return r;
}

// Reads the body as it arrived. A request with neither Content-Length nor
// chunked encoding has no body (curl's bodiless POST); httplib would
// otherwise wait for the client to close the connection.
void readBody(const httplib::Request& req, const httplib::ContentReader& reader, ServedRequest& r) {
  if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) return;
  if (req.is_multipart_form_data()) {
    httplib::MultipartFormDataItems parts;
    reader(
        [&parts](const httplib::MultipartFormData& part) {
          parts.push_back(part);
          return true;
        },
        [&parts](const char* data, size_t length) {
          parts.back().content.append(data, length);
          return true;
        });
    for (const auto& part : parts) {
      if (part.filename.empty()) r.fields[part.name] = part.content;
      else r.files[part.name] = {part.filename, part.content_type, part.content};
    }
    return;
  }
  reader([&r](const char* data, size_t length) {
    r.body.append(data, length);
    return true;
  });
}

}  // namespace

std::string ServedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return {};
}

struct LoopbackServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::map<std::string, ReplyFn> replies;  // key: method + " " + path
  std::vector<ServedRequest> seen;

  // Waits until the deadline or stop(); true when stopped.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    return wake.wait_until(lock, deadline, [this] { return stopping; });
  }

  void handle(const httplib::Request& req, httplib::Response& res, ServedRequest served) {
    ReplyFn fn;
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(served);
      auto it = replies.find(req.method + " " + req.path);
      if (it != replies.end()) fn = it->second;
    }
    Reply reply = fn ? fn(served) : Reply{404, "{}"};
    const auto now = std::chrono::steady_clock::now();
    if (reply.neverAnswer) {
      waitUntil(now + kLongestWait);
    } else if (reply.delayMs > 0) {
      waitUntil(now + std::min<std::chrono::steady_clock::duration>(
                          std::chrono::milliseconds(reply.delayMs), kLongestWait));
    }
    if (reply.closeConnection || reply.neverAnswer) {
      dropConnection(port, req.remote_port);
      res.status = 503;
      return;
    }
    res.status = reply.status;
    if (reply.stallBody && reply.contentLength >= 0) {
      const std::string body = reply.body;
      res.set_content_provider(size_t(reply.contentLength), reply.contentType.c_str(),
                               [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0 && !body.empty())
                                   sink.write(body.data(), body.size());
                                 waitUntil(std::chrono::steady_clock::now() + kLongestWait);
                                 return false;  // end the connection short of the announced length
                               });
      return;
    }
    if (reply.chunkedRepeat > 0) {
      const std::string body = reply.body;
      const int repeat = reply.chunkedRepeat;
      res.set_chunked_content_provider(
          reply.contentType.c_str(), [body, repeat](size_t offset, httplib::DataSink& sink) {
            if (body.empty() || offset >= body.size() * size_t(repeat)) {
              sink.done();
              return true;
            }
            return sink.write(body.data(), body.size());  // false once the client has gone
          });
      return;
    }
    if (reply.stallBody) {
      const std::string body = reply.body;
      res.set_chunked_content_provider(
          reply.contentType.c_str(), [this, body](size_t offset, httplib::DataSink& sink) {
            if (offset == 0 && !body.empty()) sink.write(body.data(), body.size());
            waitUntil(std::chrono::steady_clock::now() + kLongestWait);
            return false;  // end the connection without finishing the body
          });
      return;
    }
    res.set_content(reply.body, reply.contentType.c_str());
  }
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::start(int port) {
  ::signal(SIGPIPE, SIG_IGN);
  Impl& d = *impl_;
  auto plain = [&d](const httplib::Request& req, httplib::Response& res) {
    d.handle(req, res, record(req));
  };
  auto withBody = [&d](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) {
    ServedRequest served = record(req);
    readBody(req, reader, served);
    d.handle(req, res, std::move(served));
  };
  d.server.Get(".*", plain);
  d.server.Delete(".*", plain);
  d.server.Post(".*", withBody);
  d.server.Put(".*", withBody);
  // A polling client (curl) closes after each request; keep idle sockets short-lived anyway.
  d.server.set_keep_alive_timeout(1);
  // Exclusive ports: the library's default SO_REUSEPORT lets a second test
  // process listen on the same fixed port and silently take half the requests.
  d.server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<void*>(&yes), sizeof(yes));
  });
  if (port == 0) {
    d.port = d.server.bind_to_any_port("127.0.0.1");
    if (d.port <= 0) return false;
  } else {
    // A fixed port may still be held for a moment by the previous test's server.
    const auto bindDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!d.server.bind_to_port("127.0.0.1", port)) {
      if (std::chrono::steady_clock::now() > bindDeadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    d.port = port;
  }
  d.thread = std::thread([&d] { d.server.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!d.server.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LoopbackServer::stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stopping = true;
  }
  d.wake.notify_all();
  d.server.stop();
  if (d.thread.joinable()) d.thread.join();
}

int LoopbackServer::port() const { return impl_->port; }

std::string LoopbackServer::url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

void LoopbackServer::reply(const std::string& method, const std::string& path, Reply fixed) {
  reply(method, path, ReplyFn([fixed](const ServedRequest&) { return fixed; }));
}

void LoopbackServer::reply(const std::string& method, const std::string& path, ReplyFn fn) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->replies[method + " " + path] = std::move(fn);
}

std::vector<ServedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->seen;
}

std::vector<ServedRequest> LoopbackServer::requestsTo(const std::string& path) const {
  std::vector<ServedRequest> out;
  for (ServedRequest& r : requests())
    if (r.path == path) out.push_back(std::move(r));
  return out;
}
