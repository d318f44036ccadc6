// talvane-service: command line, start-up and clean shutdown.
#include "service/service.h"

#include <httplib.h>

#include <pthread.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace {

const char kHelp[] =
    "Usage: talvane-service [options]\n"
    "\n"
    "The local reference service for the Talvane plug-in: device sign-in, accounts\n"
    "and token balances, version checks, and background generation over HTTP.\n"
    "\n"
    "Generation is procedural: the subject is kept from the upload's alpha matte, or\n"
    "keyed against the backdrop colour found along the frame's border, and the rest\n"
    "is replaced by a picture painted from keywords of the prompt (sky, sunset, sea,\n"
    "forest, night, city, desert, snow, studio, and colour words). It is a stand-in\n"
    "for the hosted service, not a generative model.\n"
    "\n"
    "Options:\n"
    "  --port N              port to listen on; 0 picks a free one (default 0)\n"
    "  --bind ADDR           address to listen on (default 127.0.0.1)\n"
    "  --state PATH          JSON file keeping accounts, tokens and codes across\n"
    "                        restarts; without it everything lives in memory\n"
    "  --balance N           tokens of a newly created account (default 25)\n"
    "  --latest-version V    version reported by /version.json (default 1.0.0)\n"
    "  --download-url URL    download link in /version.json (default: this\n"
    "                        service's /download page)\n"
    "  --auto-approve[=EMAIL]  approve every device code at once as EMAIL\n"
    "                        (default demo@localhost), for runs without a browser\n"
    "  --latency-ms N        extra delay before each generation answers (default 0)\n"
    "  --code-ttl SECONDS    lifetime of device codes (default 600; fractions allowed)\n"
    "  --interval SECONDS    poll interval; faster polls get slow_down (default 5)\n"
    "  --max-body-mb N       request bodies above this answer 413 (default 64)\n"
    "  --help                show this text\n"
    "\n"
    "On start it prints \"talvane-service listening on http://ADDR:PORT\" to stdout,\n"
    "then one line per request to stderr. SIGINT or SIGTERM stop it.\n";

bool parseInt(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parseSeconds(const std::string& text, int64_t& outMs) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v > 0.0) || v > 86400.0 * 365) return false;
  outMs = std::max<int64_t>(1, int64_t(v * 1000.0 + 0.5));
  return true;
}

bool isValueOption(const std::string& arg) {
  for (const char* known :
       {"--port", "--bind", "--state", "--balance", "--latest-version", "--download-url",
        "--latency-ms", "--code-ttl", "--interval", "--max-body-mb"})
    if (arg == known) return true;
  return false;
}

// Accepts "--name value" and "--name=value"; returns 0 on success, 2 on a usage
// error (message already printed), 1 when --help was asked.
int parseArgs(int argc, char** argv, ServiceConfig& config) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    bool inlineValue = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inlineValue = true;
    }
    auto next = [&](std::string& v) {
      if (inlineValue) {
        v = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    auto bad = [&](const char* what) {
      std::cerr << "talvane-service: " << arg << ": " << what << "\n(see --help)\n";
      return 2;
    };
    long long n = 0;
    std::string v;
    if (arg == "--help" || arg == "-h") {
      return 1;
    } else if (arg == "--auto-approve") {
      config.autoApproveEmail = inlineValue ? value : "demo@localhost";
      if (!isValidEmail(config.autoApproveEmail)) return bad("not a valid e-mail address");
    } else if (arg.rfind("--", 0) != 0) {
      return bad("unknown argument");
    } else if (!isValueOption(arg)) {
      return bad("unknown option");
    } else if (!next(v)) {
      return bad("needs a value");
    } else if (arg == "--port") {
      if (!parseInt(v, 0, 65535, n)) return bad("expects a port number 0-65535");
      config.port = int(n);
    } else if (arg == "--bind") {
      if (v.empty()) return bad("expects an address");
      config.bind = v;
    } else if (arg == "--state") {
      config.statePath = v;
    } else if (arg == "--balance") {
      if (!parseInt(v, 0, 1000000000, n)) return bad("expects a whole number of tokens");
      config.startBalance = n;
    } else if (arg == "--latest-version") {
      if (v.empty()) return bad("expects a version");
      config.latestVersion = v;
    } else if (arg == "--download-url") {
      config.downloadUrl = v;
    } else if (arg == "--latency-ms") {
      if (!parseInt(v, 0, 600000, n)) return bad("expects milliseconds 0-600000");
      config.latencyMs = int(n);
    } else if (arg == "--code-ttl") {
      if (!parseSeconds(v, config.codeLifetimeMs)) return bad("expects seconds greater than 0");
    } else if (arg == "--interval") {
      if (!parseSeconds(v, config.pollIntervalMs)) return bad("expects seconds greater than 0");
    } else if (arg == "--max-body-mb") {
      if (!parseInt(v, 1, 4096, n)) return bad("expects megabytes 1-4096");
      config.maxBodyBytes = size_t(n) << 20;
    } else {
      return bad("unknown option");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceContext context;
  int parsed = parseArgs(argc, argv, context.config);
  if (parsed == 1) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (parsed != 0) return parsed;

  std::string error;
  if (!loadState(context.state, context.config.statePath, error)) {
    std::cerr << "talvane-service: " << error << "\n";
    return 1;
  }

  // Signals are taken by one thread with sigwait, so the server's threads never
  // run a handler and shutdown goes through the server's own stop().
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  if (!configureService(server, context, error)) {
    std::cerr << "talvane-service: " << error << "\n";
    return 1;
  }
  std::thread([&server, stopSignals] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    std::fprintf(stderr, "talvane-service: signal %d, stopping\n", sig);
    // A signal that lands before the accept loop has started would be lost
    // by stop(), which only ends a running loop.
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
  }).detach();

  const std::string& bind = context.config.bind;
  std::string host = bind.find(':') != std::string::npos ? "[" + bind + "]" : bind;  // IPv6 literal
  std::printf("talvane-service listening on http://%s:%d\n", host.c_str(), context.boundPort);
  std::fflush(stdout);
  if (context.config.statePath.empty())
    std::fprintf(stderr, "talvane-service: no --state given; accounts are kept in memory only\n");
  bool ok = server.listen_after_bind();
  std::fprintf(stderr, "talvane-service: stopped\n");
  return ok ? 0 : 1;
}
