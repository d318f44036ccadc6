// Test harness for the service: a real server on 127.0.0.1 in this process, a
// client for it, the real curl command lines, PNG helpers and temporary folders.
#pragma once

#include "service/service.h"

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

struct RunningService {
  ServiceContext context;
  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::string base;  // http://127.0.0.1:PORT
};

// Binds a free port on 127.0.0.1 and serves until stopService; nullptr on failure.
std::unique_ptr<RunningService> startService(const ServiceConfig& config);
void stopService(std::unique_ptr<RunningService>& service);

httplib::Client clientFor(const RunningService& service);

struct CurlResult {
  int status = 0;
  std::string body;
};

// Runs "/usr/bin/curl" with the given arguments (already shell-quoted), the way
// the plug-in does: body to a file, status from -w '%{http_code}'.
CurlResult runCurl(const std::string& arguments);

std::string makeTempDir();
void removeTree(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

std::string encodePng(const std::vector<uint8_t>& rgba, int width, int height);
bool decodePng(const std::string& png, std::vector<uint8_t>& rgba, int& width, int& height);

// Posts a form as a browser does from our own page: pagePath is fetched first for its
// anti-forgery token and cookie, then fields (url-encoded) go to postPath with both.
httplib::Result postForm(const RunningService& service, const std::string& pagePath,
                         const std::string& postPath, const std::string& fields);

// Signs in through the device flow (approving on the page) and returns the token.
std::string signIn(RunningService& service, const std::string& email);

// A frame of a plain backdrop with a subject: a shaded disc and a bar.
struct SyntheticFrame {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
  std::vector<uint8_t> subject;  // 1 where the subject was drawn
};
SyntheticFrame makeFrame(int width, int height, Rgb8 backdrop, int noise);

// Chessboard distance from every pixel to the nearest pixel with mask 1, capped.
std::vector<int> distanceToMask(const std::vector<uint8_t>& mask, int width, int height, int cap);
