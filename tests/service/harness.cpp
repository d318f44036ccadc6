#include "harness.h"

#include "stb_image.h"
#include "stb_image_write.h"

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::unique_ptr<RunningService> startService(const ServiceConfig& config) {
  auto service = std::make_unique<RunningService>();
  service->context.config = config;
  std::string error;
  if (!loadState(service->context.state, config.statePath, error)) return nullptr;
  if (!configureService(service->server, service->context, error)) return nullptr;
  service->port = service->context.boundPort;
  service->base = "http://127.0.0.1:" + std::to_string(service->port);
  RunningService* raw = service.get();
  service->thread = std::thread([raw] { raw->server.listen_after_bind(); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!service->server.is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (!service->server.is_running()) {
    stopService(service);
    return nullptr;
  }
  return service;
}

void stopService(std::unique_ptr<RunningService>& service) {
  if (!service) return;
  service->server.stop();
  if (service->thread.joinable()) service->thread.join();
  service.reset();
}

httplib::Client clientFor(const RunningService& service) {
  httplib::Client client("127.0.0.1", service.port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(20, 0);
  client.set_write_timeout(20, 0);
  return client;
}

CurlResult runCurl(const std::string& arguments) {
  CurlResult result;
  char outPath[] = "/tmp/talvane-service-curl-XXXXXX";
  int fd = mkstemp(outPath);
  if (fd < 0) return result;
  close(fd);
  // --max-time bounds every test request, whatever the server does.
  std::string command = "/usr/bin/curl " + arguments + " --max-time 20 -o \"" + outPath +
                        "\" -w '%{http_code}' -s 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe) {
    char buffer[64] = {0};
    size_t n = fread(buffer, 1, sizeof(buffer) - 1, pipe);
    buffer[n] = 0;
    pclose(pipe);
    result.status = std::atoi(buffer);
  }
  result.body = readFile(outPath);
  std::remove(outPath);
  return result;
}

std::string makeTempDir() {
  char path[] = "/tmp/talvane-service-test-XXXXXX";
  char* made = mkdtemp(path);
  return made ? std::string(made) : std::string();
}

void removeTree(const std::string& path) {
  if (path.rfind("/tmp/talvane-service-test-", 0) != 0) return;
  std::string command = "rm -rf '" + path + "'";
  (void)std::system(command.c_str());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

static void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
}

std::string encodePng(const std::vector<uint8_t>& rgba, int width, int height) {
  std::string png;
  stbi_write_png_to_func(appendBytes, &png, width, height, 4, rgba.data(), width * 4);
  return png;
}

bool decodePng(const std::string& png, std::vector<uint8_t>& rgba, int& width, int& height) {
  int channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()),
                                          int(png.size()), &width, &height, &channels, 4);
  if (!pixels) return false;
  rgba.assign(pixels, pixels + size_t(width) * size_t(height) * 4);
  stbi_image_free(pixels);
  return true;
}

httplib::Result postForm(const RunningService& service, const std::string& pagePath,
                         const std::string& postPath, const std::string& fields) {
  httplib::Client client = clientFor(service);
  std::string token;
  if (auto page = client.Get(pagePath)) {
    const std::string mark = "name=\"form_token\" value=\"";
    const size_t at = page->body.find(mark);
    if (at != std::string::npos) {
      const size_t start = at + mark.size();
      token = page->body.substr(start, page->body.find('"', start) - start);
    }
  }
  return client.Post(postPath, httplib::Headers{{"Cookie", "talvane_form=" + token}},
                     fields + "&form_token=" + token, "application/x-www-form-urlencoded");
}

std::string signIn(RunningService& service, const std::string& email) {
  httplib::Client client = clientFor(service);
  auto code = client.Post("/v1/device/code");
  if (!code || code->status != 200) return "";
  auto grant = nlohmann::json::parse(code->body);
  const std::string userCode = grant["user_code"].get<std::string>();
  auto page = postForm(service, "/device?user_code=" + userCode, "/device",
                       "user_code=" + userCode + "&email=" + email + "&action=approve");
  if (!page || page->status != 200) return "";
  auto token = client.Post("/v1/device/token",
                           "grant_type=urn:ietf:params:oauth:grant-type:device_code&device_code=" +
                               grant["device_code"].get<std::string>(),
                           "application/x-www-form-urlencoded");
  if (!token || token->status != 200) return "";
  return nlohmann::json::parse(token->body)["access_token"].get<std::string>();
}

SyntheticFrame makeFrame(int width, int height, Rgb8 backdrop, int noise) {
  SyntheticFrame f;
  f.width = width;
  f.height = height;
  f.rgba.resize(size_t(width) * height * 4);
  f.subject.assign(size_t(width) * height, 0);
  uint32_t lcg = 12345;
  auto jitter = [&]() {
    lcg = lcg * 1664525u + 1013904223u;
    return noise == 0 ? 0 : int((lcg >> 16) % uint32_t(2 * noise + 1)) - noise;
  };
  auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
  const float cx = width * 0.35f, cy = height * 0.5f, r = height * 0.28f;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &f.rgba[(size_t(y) * width + x) * 4];
      float dx = x + 0.5f - cx, dy = y + 0.5f - cy;
      bool disc = dx * dx + dy * dy <= r * r;
      bool bar = x >= int(width * 0.62f) && x < int(width * 0.8f) && y >= int(height * 0.2f) &&
                 y < int(height * 0.85f);
      if (disc) {
        p[0] = clamp(200 + int(40 * dx / r));
        p[1] = clamp(60 + int(30 * dy / r));
        p[2] = 40;
      } else if (bar) {
        p[0] = 40;
        p[1] = (y / 3) % 2 ? 50 : 80;
        p[2] = 210;
      } else {
        p[0] = clamp(backdrop.r + jitter());
        p[1] = clamp(backdrop.g + jitter());
        p[2] = clamp(backdrop.b + jitter());
      }
      p[3] = 255;
      f.subject[size_t(y) * width + x] = disc || bar;
    }
  }
  return f;
}

std::vector<int> distanceToMask(const std::vector<uint8_t>& mask, int width, int height, int cap) {
  std::vector<int> dist(mask.size(), cap);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      if (!mask[size_t(y) * width + x]) continue;
      for (int dy = -cap; dy <= cap; ++dy)
        for (int dx = -cap; dx <= cap; ++dx) {
          int nx = x + dx, ny = y + dy;
          if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
          int d = std::max(std::abs(dx), std::abs(dy));
          int& slot = dist[size_t(ny) * width + nx];
          slot = std::min(slot, d);
        }
    }
  return dist;
}
