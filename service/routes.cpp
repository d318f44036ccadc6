// The HTTP surface: every endpoint the plug-in calls, the browser pages, and the
// request log. Handlers validate their input and answer 4xx with a `detail`
// instead of failing; anything unexpected becomes a 500 with a log line.
#include "service/service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <thread>

using json = nlohmann::json;

namespace {

const char kDeviceGrantType[] = "urn:ietf:params:oauth:grant-type:device_code";
const size_t kMaxPromptBytes = 8192;
const size_t kMaxCacheKeyBytes = 256;
const char kFormCookie[] = "talvane_form";
const int64_t kFormTokenLifetimeMs = 3600 * 1000;
const size_t kMaxFormTokens = 10000;

// Start of the request being served on this thread, for the log line. httplib
// serves one connection's requests in order on one thread, so this is exact.
thread_local std::chrono::steady_clock::time_point tRequestStart;
thread_local bool tRequestTimed = false;

// A request body as read by readBody: the raw text, or the parts of a multipart form.
struct Body {
  std::string text;
  std::map<std::string, std::string> parts;  // first part of each name
};

void sendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  // Compact on purpose: clients find fields by their exact "key":"value" text.
  res.set_content(body.dump(), "application/json");
}

void sendDetail(httplib::Response& res, int status, const std::string& detail) {
  sendJson(res, status, json{{"detail", detail}});
}

void sendPage(httplib::Response& res, int status, const std::string& html) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  // Never inside another site's frame (no clickjacking of Approve), nothing but our own
  // inline style, and forms post only back here.
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
                 "frame-ancestors 'none'; base-uri 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(html, "text/html; charset=utf-8");
}

bool isTokenText(const std::string& t) {
  if (t.empty() || t.size() > 256) return false;
  for (unsigned char c : t)
    if (!(std::isalnum(c) || c == '-' || c == '.' || c == '_')) return false;
  return true;
}

std::string bearerToken(const httplib::Request& req) {
  std::string value = req.get_header_value("Authorization");
  if (value.size() < 7) return "";
  std::string scheme = value.substr(0, 7);
  for (char& c : scheme) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "bearer ") return "";
  std::string token = value.substr(7);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\r')) token.pop_back();
  return isTokenText(token) ? token : "";
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// application/x-www-form-urlencoded; the first occurrence of a name wins.
std::map<std::string, std::string> parseForm(const std::string& body) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string::npos) amp = body.size();
    std::string pair = body.substr(pos, amp - pos), name, value, *target = &name;
    for (size_t i = 0; i < pair.size(); ++i) {
      char c = pair[i];
      if (c == '=' && target == &name) {
        target = &value;
      } else if (c == '+') {
        *target += ' ';
      } else if (c == '%' && i + 2 < pair.size() && hexDigit(pair[i + 1]) >= 0 &&
                 hexDigit(pair[i + 2]) >= 0) {
        *target += char(hexDigit(pair[i + 1]) * 16 + hexDigit(pair[i + 2]));
        i += 2;
      } else {
        *target += c;
      }
    }
    if (!name.empty()) out.emplace(name, value);
    pos = amp + 1;
  }
  return out;
}

std::string formField(const std::map<std::string, std::string>& form, const std::string& name) {
  auto it = form.find(name);
  return it == form.end() ? "" : it->second;
}

// Links handed to the browser name this service the way the client reached it.
// Only a plain host[:port] is trusted; anything else falls back to the bound address.
std::string baseUrl(const httplib::Request& req, const ServiceContext& ctx) {
  std::string host = req.get_header_value("Host");
  bool plain = !host.empty() && host.size() <= 255;
  for (unsigned char c : host)
    plain = plain && (std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']');
  if (!plain) {
    std::string bind = ctx.config.bind == "0.0.0.0" ? "127.0.0.1" : ctx.config.bind;
    if (bind == "::") bind = "::1";
    if (bind.find(':') != std::string::npos) bind = "[" + bind + "]";
    host = bind + ":" + std::to_string(ctx.boundPort);
  }
  return "http://" + host;
}

// A fresh anti-forgery token for one page: kept until used or expired, and also set
// as a same-site cookie, so a post must carry the page's token and this browser's cookie.
std::string issueFormToken(ServiceContext& ctx, httplib::Response& res) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::string token;
  for (int i = 0; i < 32; ++i) token += alphabet[device() % (sizeof alphabet - 1)];
  const int64_t now = nowMs();
  {
    std::lock_guard<std::mutex> lock(ctx.formMutex);
    for (auto it = ctx.formTokens.begin(); it != ctx.formTokens.end();)
      it = it->second <= now ? ctx.formTokens.erase(it) : std::next(it);
    if (ctx.formTokens.size() >= kMaxFormTokens) ctx.formTokens.erase(ctx.formTokens.begin());
    ctx.formTokens[token] = now + kFormTokenLifetimeMs;
  }
  res.set_header("Set-Cookie",
                 std::string(kFormCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
  return token;
}

std::string cookieValue(const httplib::Request& req, const std::string& name) {
  const std::string cookies = "; " + req.get_header_value("Cookie");
  const size_t at = cookies.find("; " + name + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 3;
  return cookies.substr(start, cookies.find(';', start) - start);
}

// A form post is honoured only from our own pages: an Origin, when the browser sends
// one, must be this service, and the post must carry a token one of our pages handed
// out (used once) matching the browser's cookie. Otherwise answers 403 and false.
bool formFromOurPage(ServiceContext& ctx, const httplib::Request& req,
                     const std::map<std::string, std::string>& form, httplib::Response& res) {
  const std::string origin = req.get_header_value("Origin");
  if (req.has_header("Origin") && origin != "http://" + req.get_header_value("Host")) {
    sendPage(res, 403,
             pageMessage("Refused", "This form was sent from another site and was ignored."));
    return false;
  }
  auto it = form.find("form_token");
  const std::string token = it == form.end() ? "" : it->second;
  bool known = false;
  if (!token.empty() && token == cookieValue(req, kFormCookie)) {
    std::lock_guard<std::mutex> lock(ctx.formMutex);
    auto issued = ctx.formTokens.find(token);
    known = issued != ctx.formTokens.end() && issued->second > nowMs();
    if (issued != ctx.formTokens.end()) ctx.formTokens.erase(issued);
  }
  if (!known)
    sendPage(res, 403,
             pageMessage("Page expired", "This page has expired. Reload it and try again."));
  return known;
}

int64_t wholeSeconds(int64_t ms) { return std::max<int64_t>(1, (ms + 999) / 1000); }

void deviceCode(ServiceContext& ctx, const httplib::Request& req, const Body&,
                httplib::Response& res) {
  DeviceGrant grant = issueDeviceGrant(ctx.state, ctx.config, nowMs());
  std::string base = baseUrl(req, ctx);
  res.set_header("Cache-Control", "no-store");
  sendJson(res, 200,
           json{{"device_code", grant.deviceCode},
                {"user_code", grant.userCode},
                {"verification_uri", base + "/device"},
                {"verification_uri_complete", base + "/device?user_code=" + grant.userCode},
                {"interval", wholeSeconds(grant.intervalMs)},
                {"expires_in", wholeSeconds(grant.expiresMs - grant.issuedMs)}});
}

void deviceToken(ServiceContext& ctx, const httplib::Request&, const Body& body,
                 httplib::Response& res) {
  auto form = parseForm(body.text);
  res.set_header("Cache-Control", "no-store");
  auto oauthError = [&](const char* code, const std::string& text) {
    sendJson(res, 400, json{{"error", code}, {"error_description", text}});
  };
  if (formField(form, "grant_type") != kDeviceGrantType)
    return oauthError("unsupported_grant_type",
                      "grant_type must be " + std::string(kDeviceGrantType));
  std::string code = formField(form, "device_code");
  if (code.empty()) return oauthError("invalid_request", "device_code is required");
  PollResult poll = pollDeviceGrant(ctx.state, code, nowMs());
  switch (poll.outcome) {
    case PollOutcome::Pending:
      return oauthError("authorization_pending", "waiting for approval in the browser");
    case PollOutcome::SlowDown:
      return oauthError("slow_down", "polling faster than the interval");
    case PollOutcome::Expired:
      return oauthError("expired_token", "the device code has expired");
    case PollOutcome::Denied:
      return oauthError("access_denied", "the sign-in was denied");
    case PollOutcome::Unknown:
      return oauthError("invalid_grant", "unknown or already used device code");
    case PollOutcome::Approved:
      break;
  }
  sendJson(res, 200,
           json{{"access_token", poll.accessToken},
                {"token_type", "Bearer"},
                {"balance", poll.balance},
                {"email", poll.email}});
}

void me(ServiceContext& ctx, const httplib::Request& req, httplib::Response& res) {
  Account account;
  if (!accountForToken(ctx.state, bearerToken(req), account))
    return sendDetail(res, 401, "Invalid or expired token");
  sendJson(res, 200, json{{"email", account.email}, {"balance", account.balance}});
}

void revoke(ServiceContext& ctx, const httplib::Request& req, const Body&, httplib::Response& res) {
  if (!revokeToken(ctx.state, bearerToken(req)))
    return sendDetail(res, 401, "Invalid or expired token");
  sendJson(res, 200, json{{"revoked", true}});
}

void generate(ServiceContext& ctx, const httplib::Request& req, const Body& body,
              httplib::Response& res) {
  std::string token = bearerToken(req);
  Account account;
  if (!accountForToken(ctx.state, token, account))
    return sendDetail(res, 401, "Invalid or expired token");
  if (!req.is_multipart_form_data())
    return sendDetail(res, 400, "expected a multipart/form-data body");
  auto part = [&](const char* name) { return body.parts.find(name); };
  if (part("image") == body.parts.end()) return sendDetail(res, 400, "the image part is missing");
  if (part("prompt") == body.parts.end()) return sendDetail(res, 400, "the prompt part is missing");
  const std::string& image = part("image")->second;
  const std::string& prompt = part("prompt")->second;
  const std::string cacheKey =
      part("cache_key") == body.parts.end() ? "" : part("cache_key")->second;
  if (image.empty()) return sendDetail(res, 400, "the image part is empty");
  if (prompt.size() > kMaxPromptBytes)
    return sendDetail(res, 400,
                      "the prompt is longer than " + std::to_string(kMaxPromptBytes) + " bytes");
  if (cacheKey.size() > kMaxCacheKeyBytes) return sendDetail(res, 400, "the cache_key is too long");

  // Charged before the work and refunded on failure, so two requests racing for
  // the last token cannot both be served.
  Account after;
  Charge charge = chargeOneToken(ctx.state, token, after);
  if (charge == Charge::BadToken) return sendDetail(res, 401, "Invalid or expired token");
  if (charge == Charge::NoBalance)
    return sendDetail(res, 402, "Out of tokens: add tokens on the /buy page");
  if (ctx.config.latencyMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.config.latencyMs));
  GenerateResult result =
      generateImage(image, prompt, ctx.config.maxImageSide, ctx.config.maxImagePixels);
  if (result.status != 200) {
    refundOneToken(ctx.state, after.email);
    return sendDetail(res, result.status, result.detail);
  }
  res.status = 200;
  res.set_header("X-Talvane-Balance", std::to_string(after.balance));
  res.set_header("X-Talvane-Scene", sceneName(sceneForPrompt(prompt)));
  res.set_content(result.png, "image/png");
}

void deviceStatusPage(ServiceContext& ctx, const DeviceGrant& grant, httplib::Response& res) {
  int64_t now = nowMs();
  if (now >= grant.expiresMs)
    return sendPage(
        res, 410,
        pageMessage("Code expired",
                    "This code has expired. Press Sign In in the plug-in again to get a new one."));
  if (grant.status != GrantStatus::Pending)
    return sendPage(
        res, 409,
        pageMessage("Code already used", "This code has already been approved or denied."));
  DevicePageInfo info;
  info.formToken = issueFormToken(ctx, res);
  info.userCode = grant.userCode;
  info.secondsLeft = (grant.expiresMs - now) / 1000;
  sendPage(res, 200, pageDevice(info));
}

void devicePage(ServiceContext& ctx, const httplib::Request& req, httplib::Response& res) {
  std::string code = req.get_param_value("user_code");
  if (code.empty()) return sendPage(res, 200, pageDevice(DevicePageInfo{}));
  DeviceGrant grant;
  if (!findGrantByUserCode(ctx.state, code, grant)) {
    DevicePageInfo info;
    info.error = "No sign-in is waiting for that code. Check it and try again.";
    return sendPage(res, 404, pageDevice(info));
  }
  deviceStatusPage(ctx, grant, res);
}

void deviceDecide(ServiceContext& ctx, const httplib::Request& req, const Body& body,
                  httplib::Response& res) {
  auto form = parseForm(body.text);
  if (!formFromOurPage(ctx, req, form, res)) return;
  std::string code = formField(form, "user_code"), email = formField(form, "email");
  std::string action = formField(form, "action");
  if (action != "approve" && action != "deny")
    return sendPage(res, 400, pageMessage("Nothing to do", "Choose Approve or Deny."));
  bool approve = action == "approve";
  Decision d = decideDeviceGrant(ctx.state, ctx.config, code, email, approve, nowMs());
  DeviceGrant grant;
  switch (d) {
    case Decision::Done:
      return sendPage(res, 200, pageDeviceDone(approve, email));
    case Decision::BadEmail: {
      DevicePageInfo info;
      findGrantByUserCode(ctx.state, code, grant);
      info.formToken = issueFormToken(ctx, res);
      info.userCode = grant.userCode;
      info.email = email;
      info.error = "Enter a valid e-mail address, like name@example.com.";
      info.secondsLeft = std::max<int64_t>(0, (grant.expiresMs - nowMs()) / 1000);
      return sendPage(res, 400, pageDevice(info));
    }
    case Decision::UnknownCode: {
      DevicePageInfo info;
      info.error = "No sign-in is waiting for that code. Check it and try again.";
      return sendPage(res, 404, pageDevice(info));
    }
    case Decision::Expired:
    case Decision::AlreadyDecided:
      findGrantByUserCode(ctx.state, code, grant);
      return deviceStatusPage(ctx, grant, res);
  }
}

void buyPost(ServiceContext& ctx, const httplib::Request& req, const Body& body,
             httplib::Response& res) {
  auto form = parseForm(body.text);
  if (!formFromOurPage(ctx, req, form, res)) return;
  std::string email = formField(form, "email"), count = formField(form, "count");
  for (char& c : email) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (!isValidEmail(email))
    return sendPage(res, 400,
                    pageBuy(issueFormToken(ctx, res), email, "",
                            "Enter a valid e-mail address, like name@example.com."));
  long n = 0;
  bool digits = !count.empty() && count.size() <= 6 &&
                count.find_first_not_of("0123456789") == std::string::npos;
  if (digits) n = std::stol(count);
  if (n < 1 || n > 100000)
    return sendPage(res, 400,
                    pageBuy(issueFormToken(ctx, res), email, "",
                            "Enter a number of tokens between 1 and 100000."));
  bool created = false;
  Account account = addTokens(ctx.state, ctx.config, email, n, created);
  std::string notice =
      (created ? "Created the account " + account.email + " and added " : "Added ") +
      std::to_string(n) + (n == 1 ? " token" : " tokens") +
      (created ? "" : " to " + account.email) + ". Balance: " + std::to_string(account.balance) +
      ".";
  sendPage(res, 200, pageBuy(issueFormToken(ctx, res), account.email, notice, ""));
}

// POST routes read their own bodies: a request without Content-Length or chunked
// encoding has an empty body (curl -X POST with no data sends exactly that), and
// must not be waited on until the connection times out.
bool readBody(const httplib::Request& req, const httplib::ContentReader& reader,
              httplib::Response& res, Body& body) {
  if (!req.has_header("Content-Length") && req.get_header_value("Transfer-Encoding").empty())
    return true;
  bool ok;
  if (req.is_multipart_form_data()) {
    std::string* current = nullptr;
    std::string ignored;
    ok = reader(
        [&](const httplib::MultipartFormData& header) {
          auto inserted = body.parts.emplace(header.name, std::string());
          current = inserted.second ? &inserted.first->second : &ignored;
          ignored.clear();
          return true;
        },
        [&](const char* data, size_t n) {
          if (current) current->append(data, n);
          return true;
        });
  } else {
    ok = reader([&](const char* data, size_t n) {
      body.text.append(data, n);
      return true;
    });
  }
  if (!ok) {
    int status = res.status == 413 ? 413 : 400;
    res.body.clear();
    sendDetail(res, status, status == 413 ? "Request body too large" : "malformed request body");
  }
  return ok;
}

std::string defaultDetail(int status, size_t maxBody) {
  switch (status) {
    case 400:
      return "Bad request";
    case 404:
      return "Not found";
    case 405:
      return "Method not allowed";
    case 413:
      return "Request body too large; the limit is " + std::to_string(maxBody) + " bytes";
    case 414:
      return "Request line too long";
    default:
      return "HTTP " + std::to_string(status);
  }
}

}  // namespace

bool isOwnHost(const std::string& host, const std::string& bind, int boundPort) {
  std::string name = host, port;
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (port.empty() ? boundPort != 80 : port != std::to_string(boundPort)) return false;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  const bool everyAddress = bind == "0.0.0.0" || bind == "::";
  const bool loopback = bind == "127.0.0.1" || bind == "::1" || bind == "localhost";
  if (name == bind) return true;
  if (name == "localhost") return loopback || everyAddress;
  unsigned char address[16];
  const bool literal = ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
                       ::inet_pton(AF_INET6, name.c_str(), address) == 1;
  return everyAddress && literal;
}

bool configureService(httplib::Server& server, ServiceContext& context, std::string& error) {
  ServiceContext* ctx = &context;
  server.set_payload_max_length(ctx->config.maxBodyBytes);
  // Each connection waits at most this long for its next bytes, and holds one of many
  // threads: a few clients trickling their headers no longer stall everyone else.
  // (This httplib has no deadline for a whole request; the per-read limit bounds it.)
  server.set_read_timeout(ctx->config.readTimeoutSeconds, 0);
  server.set_write_timeout(30, 0);
  server.set_keep_alive_timeout(ctx->config.readTimeoutSeconds);
  const int threads = std::max(1, ctx->config.connectionThreads);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };

  server.set_pre_routing_handler([ctx](const httplib::Request& req, httplib::Response& res) {
    tRequestStart = std::chrono::steady_clock::now();
    tRequestTimed = true;
    if (!isOwnHost(req.get_header_value("Host"), ctx->config.bind, ctx->boundPort)) {
      sendDetail(res, 421, "Unknown host: this service answers only to its own address");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    long long ms = 0;
    if (tRequestTimed) {
      using namespace std::chrono;
      ms = duration_cast<milliseconds>(steady_clock::now() - tRequestStart).count();
    }
    tRequestTimed = false;
    std::string method = req.method.empty() ? "-" : req.method;
    std::string path = req.path.empty() ? "-" : req.path;
    std::fprintf(stderr, "%s %s %d %lldms\n", method.c_str(), path.c_str(), res.status, ms);
  });
  server.set_error_handler([ctx](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty())
      sendDetail(res, res.status, defaultDetail(res.status, ctx->config.maxBodyBytes));
  });
  server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown exception";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        std::cerr << "talvane-service: " << req.method << " " << req.path << " failed: " << what
                  << std::endl;
        sendDetail(res, 500, "Internal error");
      });

  auto bind = [ctx](void (*handler)(ServiceContext&, const httplib::Request&, httplib::Response&)) {
    return [ctx, handler](const httplib::Request& req, httplib::Response& res) {
      handler(*ctx, req, res);
    };
  };
  using PostHandler =
      void (*)(ServiceContext&, const httplib::Request&, const Body&, httplib::Response&);
  auto post = [ctx, &server](const char* path, PostHandler handler) {
    server.Post(path, [ctx, handler](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
      Body body;
      if (readBody(req, reader, res, body)) handler(*ctx, req, body, res);
    });
  };
  auto notAllowed = [](const httplib::Request&, httplib::Response& res) {
    sendDetail(res, 405, "Method not allowed");
  };

  post("/v1/device/code", deviceCode);
  post("/v1/device/token", deviceToken);
  server.Get("/v1/me", bind(me));
  post("/v1/revoke", revoke);
  post("/v1/generate", generate);
  for (const char* path : {"/v1/device/code", "/v1/device/token", "/v1/generate", "/v1/revoke"})
    server.Get(path, notAllowed);

  server.Get("/version.json", [ctx](const httplib::Request& req, httplib::Response& res) {
    std::string url = ctx->config.downloadUrl.empty() ? baseUrl(req, *ctx) + "/download"
                                                      : ctx->config.downloadUrl;
    sendJson(res, 200, json{{"latest", ctx->config.latestVersion}, {"download_url", url}});
  });
  server.Get("/", [ctx](const httplib::Request& req, httplib::Response& res) {
    sendPage(res, 200, pageIndex(baseUrl(req, *ctx), ctx->config.latestVersion));
  });
  server.Get("/device", bind(devicePage));
  post("/device", deviceDecide);
  server.Get("/buy", [ctx](const httplib::Request& req, httplib::Response& res) {
    sendPage(res, 200, pageBuy(issueFormToken(*ctx, res), req.get_param_value("email"), "", ""));
  });
  post("/buy", buyPost);
  server.Get("/download", [ctx](const httplib::Request&, httplib::Response& res) {
    sendPage(res, 200, pageDownload(ctx->config.latestVersion, ctx->config.downloadUrl));
  });

  // Exclusive ports: the library's default SO_REUSEPORT would let a second
  // process listen on the same port and silently take half the requests.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<void*>(&yes), sizeof(yes));
  });
  int port = ctx->config.port;
  if (port == 0) {
    port = server.bind_to_any_port(ctx->config.bind);
    if (port <= 0) {
      error = "cannot bind " + ctx->config.bind + " on a free port";
      return false;
    }
  } else if (!server.bind_to_port(ctx->config.bind, port)) {
    error = "cannot bind " + ctx->config.bind + ":" + std::to_string(port);
    return false;
  }
  ctx->boundPort = port;
  return true;
}
