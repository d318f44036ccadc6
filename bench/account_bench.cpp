// What the host waits for when the service never answers: create-instance and
// the Sign In press through the real (demo) bundle in our host, with a token
// stored, against a loopback port that accepts connections and never answers
// (the kernel completes them; nobody reads). The account, version and
// device-code requests all run into their time limits on the plug-in's
// workers; these figures are what the host's thread spends.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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

}  // namespace

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
