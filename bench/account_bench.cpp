// What the host waits for when the service never answers: create-instance and
// the Sign In press through the real (demo) bundle in our host, with a token
// stored, against a loopback port that accepts connections and never answers
// (the kernel completes them; nobody reads). The account, version and
// device-code requests all run into their time limits on the plug-in's
// workers; these figures are what the host's thread spends.
//
// EndlessAnswer: the version request against a loopback service that sends a
// 200 with no length and JSON bytes without end, as fast as loopback goes; the
// request is refused once the answer passes its 1 MiB limit.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "backend/backend.h"
#include "host/host.h"

namespace {

struct Silent {
  int fd = -1;
  Host* host = nullptr;
  std::string home;
};

Silent& silent() {
  static Silent s = [] {
    Silent s;
    char tmpl[] = "/tmp/talvane-bench-account-XXXXXX";
    s.home = mkdtemp(tmpl);
    setenv("HOME", s.home.c_str(), 1);
    keychainStoreToken(TALVANE_BENCH_KEYCHAIN, TALVANE_BENCH_SERVICE_URL, "tok-bench");
    s.fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(TALVANE_BENCH_SERVICE_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s.fd, 512) != 0) {
      close(s.fd);
      s.fd = -1;
      return s;
    }
    HostConfig config;
    config.unloadBinary = false;
    std::string error;
    s.host = hostOpen(TALVANE_BENCH_BUNDLE, config, &error);
    if (s.host && (hostLoad(s.host) != kOfxStatOK || hostDescribe(s.host) != kOfxStatOK ||
                   hostDescribeInContext(s.host, kOfxImageEffectContextFilter) != kOfxStatOK))
      s.host = nullptr;
    return s;
  }();
  return s;
}

void BM_CreateInstanceSilentService(benchmark::State& state) {
  Silent& s = silent();
  if (s.fd < 0 || !s.host) {
    state.SkipWithError("the demo bundle's port is busy or the bundle did not load");
    return;
  }
  for (auto _ : state) {
    OfxStatus status = kOfxStatFailed;
    HostInstance* instance = hostCreateInstance(s.host, kOfxImageEffectContextFilter, &status);
    state.PauseTiming();
    hostDestroyInstance(instance);
    state.ResumeTiming();
  }
}

void BM_SignInPressSilentService(benchmark::State& state) {
  Silent& s = silent();
  if (s.fd < 0 || !s.host) {
    state.SkipWithError("the demo bundle's port is busy or the bundle did not load");
    return;
  }
  OfxStatus status = kOfxStatFailed;
  HostInstance* instance = hostCreateInstance(s.host, kOfxImageEffectContextFilter, &status);
  for (auto _ : state) hostInstanceChanged(instance, "signIn", 0.0);
  hostDestroyInstance(instance);
}

// Accepts connections and pours an endless answer into each, until stopped.
struct EndlessService {
  int fd = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  EndlessService() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port = ntohs(addr.sin_port);
    thread = std::thread([this] {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"latest\":\"";
      const std::string chunk(1 << 16, 'x');
      while (!stop) {
        const int client = accept(fd, nullptr, nullptr);
        if (client < 0) continue;
        send(client, head.data(), head.size(), MSG_NOSIGNAL);
        while (!stop && send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
        close(client);
      }
    });
  }
  ~EndlessService() {
    stop = true;
    shutdown(fd, SHUT_RDWR);
    // A last connection wakes accept; the pouring loop ends when curl has gone.
    const int poke = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(poke, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(poke);
    if (thread.joinable()) thread.join();
    close(fd);
  }
};

void BM_EndlessVersionAnswerIsCutAtItsLimit(benchmark::State& state) {
  silent();  // the temporary HOME
  EndlessService service;
  if (service.port == 0) {
    state.SkipWithError("no loopback port");
    return;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(service.port);
  for (auto _ : state) {
    std::string latest, download;
    benchmark::DoNotOptimize(fetchLatestVersion(url, latest, download));
  }
}

}  // namespace

BENCHMARK(BM_EndlessVersionAnswerIsCutAtItsLimit)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CreateInstanceSilentService)->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(BM_SignInPressSilentService)->Unit(benchmark::kMicrosecond)->Iterations(50);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The plug-in's workers are still waiting on the silent port; nothing of
  // theirs needs to finish before the process goes.
  _exit(0);
}
