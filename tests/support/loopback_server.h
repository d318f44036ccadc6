// A real HTTP server on 127.0.0.1 inside the test process, scripted per test.
//
//   LoopbackServer server;
//   ASSERT_TRUE(server.start());                       // port 0: any free port
//   server.reply("GET", "/v1/me", {200, R"({"email":"a@b.c","balance":5})"});
//   ... fetchBalance(server.url(), ...) ...
//   auto seen = server.requestsTo("/v1/me");           // what arrived, byte for byte
//
// Every request is recorded before its reply is chosen. Paths without a reply
// get 404. A request with neither Content-Length nor chunked encoding has an
// empty body (as HTTP/1.1 says; curl sends its bodiless POSTs that way).
// Waits inside the server (delays, never-answer) end at stop(), so stopping
// never hangs; the destructor stops. Starting a server ignores SIGPIPE in the
// process, since a dropped connection must not end the test.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ServedFile {
  std::string filename;
  std::string contentType;
  std::string content;
};

struct ServedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;
  std::string body;                           // raw body; empty for multipart forms
  std::map<std::string, std::string> fields;  // multipart parts without a file name
  std::map<std::string, ServedFile> files;    // multipart parts with a file name
  // First value of a header, name compared case-insensitively; empty when absent.
  std::string header(const std::string& name) const;
};

struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  int delayMs = 0;               // wait before answering (capped at 60 s, cut short by stop())
  bool neverAnswer = false;      // hold the request until stop() (or 60 s)
  bool closeConnection = false;  // drop the connection without sending anything
  bool stallBody = false;        // send status, headers and body, then hold the
                                 // connection open until stop() (or 60 s)
  long long contentLength = -1;  // with stallBody: announce this Content-Length
                                 // (e.g. far more than the body) instead of chunks
  int chunkedRepeat = 0;         // > 0: send the body this many times over as chunks,
                                 // with no length announced
};

using ReplyFn = std::function<Reply(const ServedRequest&)>;

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Binds 127.0.0.1:port (0 picks a free one) and serves on a thread; false
  // when the port can't be bound or the server isn't up within 5 s.
  bool start(int port = 0);
  // Releases waiting handlers, stops serving and joins the thread.
  void stop();
  int port() const;
  std::string url() const;  // "http://127.0.0.1:<port>"

  // The reply for method + path (exact path, no query), fixed or computed per request.
  void reply(const std::string& method, const std::string& path, Reply fixed);
  void reply(const std::string& method, const std::string& path, ReplyFn fn);

  std::vector<ServedRequest> requests() const;
  std::vector<ServedRequest> requestsTo(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
