// talvane-service: the local reference service the plug-in talks to.
//
// What it offers, in the order a request meets it:
//   configureService  binds an httplib server to the configured address with every
//                     route installed (device sign-in, account, version, generation,
//                     the browser pages), the request log and the body-size limit.
//   state             accounts (e-mail -> balance), access tokens and device grants,
//                     kept in memory under one mutex and, with a state path, written
//                     to a JSON file after every change (temp file, fsync, rename).
//   generateImage     PNG in, PNG out: the subject of the uploaded frame is kept
//                     pixel for pixel, the rest is replaced by a painted background.
//   readPrompt        the keywords of a prompt: scene, light, colour, seed.
//   paintBackground   the procedural painter: a deterministic picture for a prompt.
//   subjectMatte      the keyer: which pixels of a frame belong to the subject.
//   pages             the HTML of the browser pages.
//
// Buffers follow the project's conventions: RGBA8 = width*height*4 bytes, gray8 =
// width*height bytes, rows top to bottom. All JSON the service sends is compact
// ("key":"value", no spaces), because the plug-in finds fields by their exact text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

// ---------------------------------------------------------------- configuration

struct ServiceConfig {
  std::string bind = "127.0.0.1";
  int port = 0;               // 0: the system picks a free port
  std::string statePath;      // empty: nothing is written, state lives in memory
  int64_t startBalance = 25;  // tokens of a newly created account
  std::string latestVersion = "1.0.0";
  std::string downloadUrl;          // empty: this service's own /download page
  std::string autoApproveEmail;     // non-empty: device codes are approved as this account
  int latencyMs = 0;                // added to every generation, to show progress in a demo
  int64_t codeLifetimeMs = 600000;  // device and user codes
  int64_t pollIntervalMs = 5000;    // polls closer together than this answer slow_down
  size_t maxBodyBytes = 64u << 20;  // larger request bodies answer 413
  int maxImageSide = 16384;         // larger uploads answer 400
  int64_t maxImagePixels = int64_t(64) << 20;  // 64 megapixels (8192 x 8192); more answers
                                               // 400 before anything is decoded
  int connectionThreads = 64;  // connections served at once; a slow client holds only its own
  int readTimeoutSeconds = 5;  // longest wait for the next bytes of a request
};

// ---------------------------------------------------------------- state (state.cpp)

struct Account {
  std::string email;
  int64_t balance = 0;
};

struct AccessToken {
  std::string email;
  int64_t issuedMs = 0;
  bool revoked = false;
};

enum class GrantStatus { Pending, Approved, Denied, Consumed };

struct DeviceGrant {
  std::string deviceCode;
  std::string userCode;  // "ABCD-EFGH"
  int64_t issuedMs = 0;
  int64_t expiresMs = 0;
  int64_t intervalMs = 0;
  int64_t lastPollMs = 0;  // 0: never polled; not persisted
  GrantStatus status = GrantStatus::Pending;
  std::string email;  // set on approval
};

struct ServiceState {
  std::mutex mutex;                           // guards everything below
  std::string path;                           // empty: not persisted
  std::map<std::string, Account> accounts;    // by lower-case e-mail
  std::map<std::string, AccessToken> tokens;  // by token text
  std::map<std::string, DeviceGrant> grants;  // by device code
};

enum class PollOutcome { Approved, Pending, SlowDown, Expired, Denied, Unknown };

struct PollResult {
  PollOutcome outcome = PollOutcome::Unknown;
  std::string accessToken;
  std::string email;
  int64_t balance = 0;
};

enum class Decision { Done, UnknownCode, Expired, AlreadyDecided, BadEmail };

enum class Charge { Charged, BadToken, NoBalance };

int64_t nowMs();  // wall clock, so expiry survives a restart
bool isValidEmail(const std::string& email);
std::string normalizeUserCode(const std::string& text);  // "abcd efgh" -> "ABCD-EFGH"

// Missing file: empty state, true. Unreadable or corrupt file: false with the reason.
bool loadState(ServiceState& state, const std::string& path, std::string& error);
// Writes bytes to path so that a reader sees either the old or the new file, never a mix.
bool writeFileAtomic(const std::string& path, const std::string& bytes, std::string& error);

DeviceGrant issueDeviceGrant(ServiceState& state, const ServiceConfig& config, int64_t now);
PollResult pollDeviceGrant(ServiceState& state, const std::string& deviceCode, int64_t now);
bool findGrantByUserCode(ServiceState& state, const std::string& userCode, DeviceGrant& out);
Decision decideDeviceGrant(ServiceState& state, const ServiceConfig& config,
                           const std::string& userCode, const std::string& email, bool approve,
                           int64_t now);
bool accountForToken(ServiceState& state, const std::string& token, Account& out);
bool revokeToken(ServiceState& state, const std::string& token);
Charge chargeOneToken(ServiceState& state, const std::string& token, Account& after);
void refundOneToken(ServiceState& state, const std::string& email);
Account addTokens(ServiceState& state, const ServiceConfig& config, const std::string& email,
                  int64_t count, bool& created);

// ---------------------------------------------------------------- server (routes.cpp)

struct ServiceContext {
  ServiceConfig config;
  ServiceState state;
  int boundPort = 0;
  // Anti-forgery tokens of the form pages handed out and not yet used, with their expiry.
  std::mutex formMutex;
  std::map<std::string, int64_t> formTokens;
};

// True when a request's Host names this service as it listens: port boundPort and the
// bound address itself, "localhost" when bound to loopback or every address, or any IP
// literal when bound to every address. A DNS name pointed here (rebinding) is refused.
bool isOwnHost(const std::string& host, const std::string& bind, int boundPort);

// Installs routes, limits and logging on server and binds it; the caller then runs
// server.listen_after_bind() and stops it with server.stop().
bool configureService(httplib::Server& server, ServiceContext& context, std::string& error);

// ---------------------------------------------------------------- generation (generate.cpp)

struct GenerateResult {
  int status = 500;  // 200, or 400 with detail
  std::string png;   // the composite when status is 200
  std::string detail;
};

// Refuses (400) an upload whose header declares more than maxPixels before decoding it.
GenerateResult generateImage(const std::string& uploadPng, const std::string& prompt,
                             int maxImageSide, int64_t maxPixels = int64_t(64) << 20);

// ---------------------------------------------------------------- painter (prompt.cpp,
// painter.cpp)

enum class Scene { Sky, Sunset, Sea, Forest, Night, City, Desert, Snow, Studio, Abstract };
enum class TimeOfDay { Day, Sunset, Night };

struct Rgb8 {
  uint8_t r = 0, g = 0, b = 0;
};

// What the painter takes from a prompt (prompt.cpp). Places win over times of
// day ("city at night" is a city lit for the night); the first colour word tints.
struct PromptStyle {
  Scene scene = Scene::Abstract;
  TimeOfDay time = TimeOfDay::Day;
  bool tinted = false;
  Rgb8 tint;
  uint64_t seed = 0;  // hash of the lower-cased prompt
};

PromptStyle readPrompt(const std::string& prompt);
Scene sceneForPrompt(const std::string& prompt);
const char* sceneName(Scene scene);
// Opaque RGBA8 picture of width x height; the same prompt and size give the same bytes.
std::vector<uint8_t> paintBackground(const std::string& prompt, int width, int height);

// ---------------------------------------------------------------- keyer (keyer.cpp)

// True when the frame's alpha varies, i.e. the upload carries a matte.
bool hasAlphaMatte(const std::vector<uint8_t>& rgba);
// Per-channel median of the frame's border band.
Rgb8 estimateBackdrop(const std::vector<uint8_t>& rgba, int width, int height);
// gray8 subject coverage: 255 keeps the upload's pixel exactly, 0 shows the new
// background, values between blend the 1-2 pixel soft edge outside the subject.
std::vector<uint8_t> subjectMatte(const std::vector<uint8_t>& rgba, int width, int height);
// Gives the soft-edge pixels of a keyed matte the colour of the subject beside
// them, so the old backdrop does not show as a fringe; subject pixels are untouched.
void extendSubjectEdge(std::vector<uint8_t>& rgba, const std::vector<uint8_t>& matte, int width,
                       int height);

// ---------------------------------------------------------------- pages (pages.cpp)

std::string htmlEscape(const std::string& text);

struct DevicePageInfo {
  std::string formToken;  // the page's anti-forgery token, sent back with the form
  std::string userCode;   // empty: ask for the code
  std::string email;      // value to prefill
  std::string error;      // shown above the form
  int64_t secondsLeft = 0;
};

std::string pageIndex(const std::string& baseUrl, const std::string& latestVersion);
std::string pageDevice(const DevicePageInfo& info);
std::string pageDeviceDone(bool approved, const std::string& email);
std::string pageMessage(const std::string& title, const std::string& text);
std::string pageBuy(const std::string& formToken, const std::string& email,
                    const std::string& notice, const std::string& error);
std::string pageDownload(const std::string& latestVersion, const std::string& downloadUrl);
