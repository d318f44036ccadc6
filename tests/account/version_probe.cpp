// One process, one version check: loads the bundle in our host, creates
// instances (one after another or all at once on their own threads), then one
// more, and prints what the host saw. The version step's state is per
// process, so each scenario runs here in a process of its own.
//
//   account_version_probe <bundle> <instances> <concurrent 0|1> <message suite 0|1> <reply yes|no>
//
// Output, one line each:
//   question <id> <text with line feeds as \n>   for every question asked
//   message <type>                               for every other message
//   hidden <i> <OfxParamPropSecret of updateAvailable>
//   late <OfxParamPropSecret of an instance created after the others>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"

namespace {

int hiddenOf(HostInstance* instance) {
  return hostPropInt(hostParamProps(instance, "updateAvailable"), "OfxParamPropSecret");
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s bundle instances concurrent messageSuite yes|no\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[2]);
  const bool concurrent = std::atoi(argv[3]) != 0;
  HostConfig config;
  config.messageSuite = std::atoi(argv[4]) != 0;
  config.questionReply = std::string(argv[5]) == "yes" ? kOfxStatReplyYes : kOfxStatReplyNo;
  config.unloadBinary = false;

  std::string error;
  Host* host = hostOpen(argv[1], config, &error);
  if (!host) {
    std::fprintf(stderr, "hostOpen: %s\n", error.c_str());
    return 2;
  }
  if (hostLoad(host) != kOfxStatOK || hostDescribe(host) != kOfxStatOK ||
      hostDescribeInContext(host, kOfxImageEffectContextFilter) != kOfxStatOK) {
    std::fprintf(stderr, "load or describe failed\n");
    return 2;
  }

  std::vector<HostInstance*> instances(count, nullptr);
  auto create = [&](int i) {
    OfxStatus status = kOfxStatFailed;
    instances[i] = hostCreateInstance(host, kOfxImageEffectContextFilter, &status);
  };
  if (concurrent) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(create, i);
    for (std::thread& t : threads) t.join();
  } else {
    for (int i = 0; i < count; ++i) create(i);
  }
  // The answers come from the account worker; each panel shows them in its next action.
  for (HostInstance* instance : instances) hostWaitForAccount(instance, 30.0);
  OfxStatus status = kOfxStatFailed;
  HostInstance* late = hostCreateInstance(host, kOfxImageEffectContextFilter, &status);
  hostWaitForAccount(late, 30.0);

  for (const HostMessage& message : hostMessages(host)) {
    if (message.type == "OfxMessageQuestion")
      std::printf("question %s %s\n", message.id.c_str(), escaped(message.text).c_str());
    else std::printf("message %s\n", message.type.c_str());
  }
  for (int i = 0; i < count; ++i) std::printf("hidden %d %d\n", i, hiddenOf(instances[i]));
  std::printf("late %d\n", hiddenOf(late));

  for (HostInstance* instance : instances) hostDestroyInstance(instance);
  hostDestroyInstance(late);
  hostUnload(host);
  hostClose(host);
  return 0;
}
