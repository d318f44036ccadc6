// One host process with one effect: loads the bundle in our host, creates the
// instance (from a saved effect key, as a project load does, or fresh),
// optionally generates a background for the prompt, then renders a grey frame
// with Mask Source None and prints what the effect shows. Two runs sharing a
// HOME are two host processes sharing one working folder.
//
//   effect_key_probe <bundle> <prompt> <saved key or -> <generate 0|1>
//
// Output: "key <the effectKey parameter after create-instance>" and
// "pixel <r> <g> <b>" of the frame's centre after the last render.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/host.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s bundle prompt savedKey|- generate\n", argv[0]);
    return 2;
  }
  const std::string saved = argv[3];
  HostConfig config;
  config.unloadBinary = false;  // the generation worker may still be returning
  std::string error;
  Host* host = hostOpen(argv[1], config, &error);
  if (!host || hostLoad(host) != kOfxStatOK || hostDescribe(host) != kOfxStatOK ||
      hostDescribeInContext(host, kOfxImageEffectContextFilter) != kOfxStatOK) {
    std::fprintf(stderr, "cannot open the bundle: %s\n", error.c_str());
    return 2;
  }
  SavedValues values;
  if (saved != "-") values.push_back({"effectKey", saved});
  HostInstance* instance = hostCreateInstance(host, kOfxImageEffectContextFilter, nullptr, values);
  std::printf("key %s\n", hostGetString(instance, "effectKey").c_str());

  constexpr int kW = 32, kH = 24;
  const OfxRectI bounds{0, 0, kW, kH};
  auto source = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  auto output = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  hostFillFromRGBA8(*source, std::vector<uint8_t>(kW * kH * 4, 50));
  hostSetClipImage(instance, "Source", source);
  hostSetClipImage(instance, "Output", output);
  hostSetValue(instance, "prompt", std::string(argv[2]));
  hostSetValue(instance, "maskSource", 1.0);
  hostSetValue(instance, "trackMotion", 0.0);

  auto centre = [&] {
    hostRender(instance, 1.0);
    const std::vector<uint8_t> rgba = hostToRGBA8(*output);
    const uint8_t* p = &rgba[((kH / 2) * kW + kW / 2) * 4];
    return std::vector<int>{p[0], p[1], p[2]};
  };
  if (std::atoi(argv[4]) != 0) {
    hostInstanceChanged(instance, "generate", 1.0);
    // The bars are drawn while the worker runs; the composite shows once it is done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    hostRender(instance, 1.0);
    auto running = [&] {
      const std::vector<uint8_t> rgba = hostToRGBA8(*output);
      return rgba[0] == 230 && rgba[1] == 40 && rgba[2] == 40;
    };
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      hostRender(instance, 1.0);
    }
  }
  const std::vector<int> pixel = centre();
  std::printf("pixel %d %d %d\n", pixel[0], pixel[1], pixel[2]);
  hostDestroyInstance(instance);
  hostUnload(host);
  hostClose(host);
  return 0;
}
