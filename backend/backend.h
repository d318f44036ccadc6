// backend: the client side of the generation service.
//
// Everything the plug-in exchanges with the service, and every image it keeps
// between renders, is a file in one working directory under the user's home.
// This folder names those files, keeps the optional debug log, runs each HTTP
// request as one /usr/bin/curl process (started directly, never through a
// shell), reads single fields out of the JSON answers, and keeps the access
// token in the platform's secret store. It knows nothing of pixels or OpenFX.
//
// Conventions: failures are return values (a bool, an HTTP status with 0 for
// "no status obtained" and negatives for local refusals, or an empty string);
// output arguments are reset on entry. Nothing throws. Every function may be
// called from any thread.
//
// Working files (all under tempDir()):
//   per instance      ofx_grabbed_<id>.png, ofx_input_<id>.png,
//                     ofx_cache_<id>_<key>.png, ofx_rawdiff_<id>_<key>.png,
//                     ofx_anchor_<id>_<key>.png, ofx_plate_<id>_<key>.png,
//                     ofx_backdrop_<id>_<key>.png
//   answers           ofx_device_code.json, ofx_device_token.json,
//                     ofx_me_response.json, ofx_version_response.json
//   per request       ofx_curl_status_<pid>_<n>.txt, ofx_auth_hdr_<pid>_<n>.txt,
//                     ofx_device_token_form_<pid>_<n>.txt (removed after the run),
//                     ofx_answer_<pid>_<n>.json (renamed to its fixed answer name)
//   debug log         ofx_debug.log (only when TALVANE_DEBUG is on)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Keychain service name of the token store; also the OfxPlugin identifier.
inline constexpr char kPluginIdentifier[] = "app.talvane.background.plugin";

// ---- Working directory, file names, debug log (workfiles.cpp) ----

// $HOME (or "/tmp" when HOME is unset) + "/Documents/tollwick/quenbay/temp".
// Computed at every call; no trailing slash.
std::string tempDir();
// True when stat() can report on path (file, directory or anything else).
bool fileExists(const std::string& path);
// Creates tempDir() and every missing parent, mode 0755 (less the umask) per
// created level. True when the directory exists afterwards.
bool makeWorkDir();

// Full paths of the per-instance working files (each cut at 511 characters).
std::string grabbedFile(uint64_t id);
std::string inputFile(uint64_t id);
std::string cacheFile(uint64_t id, const std::string& prompt);
std::string rawdiffFile(uint64_t id, const std::string& prompt);
std::string anchorFile(uint64_t id, const std::string& prompt);
std::string plateFile(uint64_t id, const std::string& prompt);
std::string backdropFile(uint64_t id, const std::string& prompt);

// The 64-bit string hash of libc++ (its CityHash64 variant) over the prompt's
// bytes, computed here so names and cache keys are the same whatever standard
// library built us.
uint64_t promptKey(const std::string& prompt);

// Appends message and a line feed to tempDir()/ofx_debug.log when
// TALVANE_DEBUG was set, non-empty and not starting with '0' at the first
// call (decided once per process). Drops the line when the log can't be opened.
void dbg(const char* message);

// ---- Input checks and files shared by the requests (transport.cpp) ----

// Drops trailing blanks, CR, LF and '/', then leading spaces and tabs.
std::string trimmedUrl(const std::string& url);
// 1..512 bytes, starts with http:// or https://, and no tab, LF, CR, space,
// '"', '$', '\'', '\\' or '`'.
bool isSafeUrl(const std::string& url);
// 1..256 bytes of ASCII letters, digits, '-', '.' and '_'.
bool isSafeToken(const std::string& text);
// Copy of text with tab, LF, CR, '"', '$', '\'', '\\' and '`' each replaced
// by '_'; the length never changes.
std::string safeShell(const std::string& text);
// Creates path anew with mode 0600 (never wider, not even briefly) holding
// "Authorization: Bearer <token>\n". False when it can't be fully written.
bool writeAuthHeaderFile(const std::string& path, const std::string& token);
// Whole file as bytes; empty when it can't be opened.
std::string readFile(const std::string& path);

// ---- JSON field extraction (json_fields.cpp) ----

// Value of the first "key":"..." in json (no blank allowed before the quote),
// with \\ \" \/ \n \r \t decoded and other escapes dropped; empty when absent.
std::string extractStringField(const std::string& json, const std::string& key);
// Integer after the first "key": (spaces/tabs skipped), 32-bit wrapping; -1
// when absent or not a number.
int extractIntField(const std::string& json, const std::string& key);

// ---- Requests ----

// curl time limits in seconds; a value <= 0 leaves that limit to curl.
struct RequestLimits {
  int connectSeconds;
  int totalSeconds;
};

// Uploads grabbedFile(id) with the sanitised prompt and the cache key
// "<id>_<promptKey>" to <serverUrl>/v1/generate and leaves the answer at
// outPath. 200 = a PNG is at outPath; 0 = nothing sent, no status, timed out
// or not a PNG; other = the service's status. On any result but 200 outPath
// is removed once a request has run. (generate_request.cpp)
int sendToBackend(uint64_t id, const std::string& serverUrl, const std::string& token,
                  const std::string& prompt, const std::string& outPath,
                  RequestLimits limits = {10, 300});

// Device authorization grant, client side (device_auth.cpp).
// requestDeviceCode: true with deviceCode and userCode set; verificationUri,
// interval (default 5) and expiresIn (default 600) as answered; else false
// with the reason in error.
bool requestDeviceCode(const std::string& serverUrl, std::string& deviceCode, std::string& userCode,
                       std::string& verificationUri, int& interval, int& expiresIn,
                       std::string& error);
// pollDeviceToken: Approved (accessToken, balance, email set); Pending, poll
// again (error: authorization_pending, slow_down or rate_limited); Ended, the
// grant is over (expired_token, access_denied, invalid_grant); Failed, any
// other failure.
enum class PollOutcome { Approved = 1, Pending = 0, Ended = -1, Failed = -2 };
PollOutcome pollDeviceToken(const std::string& serverUrl, const std::string& deviceCode,
                            std::string& accessToken, int& balance, std::string& email,
                            std::string& error);

// Account and version queries (account_queries.cpp).
// fetchBalance: 200 with email and balance (-1 when not answered); -1 when
// nothing was sent; otherwise the status (0 when none).
int fetchBalance(const std::string& serverUrl, const std::string& token, std::string& email,
                 int& balance);
// fetchLatestVersion: true on 200 with a non-empty "latest".
bool fetchLatestVersion(const std::string& serverUrl, std::string& latest,
                        std::string& downloadUrl);

// ---- Stopping background work (transport.cpp) ----
// Process-wide. While set (from the unload action until the next load), no
// curl run starts, a run in progress is ended at once and counts as having
// obtained no status, and the sign-in poller's sleep ends early.
void setBackgroundStop(bool stop);
bool backgroundStopRequested();

// ---- Token store (token_store_linux.cpp / token_store_mac.cpp) ----
// One token per account key under the service kPluginIdentifier. An empty
// account key is refused without touching the store.
bool keychainStoreToken(const std::string& account, const std::string& token);
std::string keychainGetToken(const std::string& account);  // empty when none
bool keychainDeleteToken(const std::string& account);      // true when none remains

// ---- PNG signature (png_signature.cpp) ----
// True when the file starts with the eight-byte PNG signature.
bool isValidPng(const std::string& file);

// ---- Transport internals: used by the request files here and by their tests ----

// One argument word of a curl run, kept with how the equivalent shell command
// line writes it: prefix, then text inside the given quotes. The word curl
// receives is prefix + text.
enum class Quote { None, Double, Single };
struct CurlWord {
  std::string prefix;
  std::string text;
  Quote quote;
};
// The request part: curl path, method, URL and request options.
using CurlRequest = std::vector<CurlWord>;

// Names of the files one request owns, unique per call in this process, so
// overlapping requests never read each other's status or lose each other's
// header file.
struct RequestFiles {
  std::string status;  // curl's standard output: the "%{http_code}" text
  std::string header;  // the Authorization header line, when the request has one
  std::string form;    // the request body, when it has one
  std::string answer;  // the body before it moves to its fixed name
};
RequestFiles newRequestFiles();

// Creates path anew (O_EXCL) with mode 0600 and writes bytes, flushed to disk
// before closing when durable; false (errno says why) and no file left when
// that fails.
bool writePrivateFile(const std::string& path, const std::string& bytes, bool durable = false);
// Everything left to read from an open descriptor.
std::string readAll(int fd);

// "/usr/bin/curl -X <method> <url>".
CurlRequest curlStart(const std::string& method, const std::string& url);
// Appends the limits as "--max-time T --connect-timeout C" words.
void addTimeLimits(CurlRequest& request, RequestLimits limits);
// The words curl receives for the request plus the output options.
std::vector<std::string> curlArguments(const CurlRequest& request, const std::string& outPath);
// The request part as shell text.
std::string curlRequestLine(const CurlRequest& request);
// The whole command as the shell text of the equivalent system() call.
std::string curlCommandLine(const CurlRequest& request, const std::string& outPath,
                            const std::string& statusPath);
// Longest whole command accepted.
inline constexpr size_t kMaxCommandLength = 8191;

// Runs /usr/bin/curl with the request's words and the output options, its
// standard output in files.status (removed afterwards). Returns the HTTP
// status, 0 when none was obtained or curl timed out.
int runCurl(const CurlRequest& request, const std::string& outPath, const RequestFiles& files);
// runCurl into files.answer, then body = that answer, which then replaces
// tempDir() + answerName (e.g. "/ofx_me_response.json").
int runCurlForAnswer(const CurlRequest& request, const std::string& answerName,
                     const RequestFiles& files, std::string& body);

// The generation request's words, exactly as sendToBackend sends them.
CurlRequest generationRequest(const std::string& url, const std::string& headerPath,
                              const std::string& grabbedPath, const std::string& prompt,
                              const std::string& cacheKey, RequestLimits limits);
// The other requests' words, exactly as their functions send them (url is the
// trimmed, checked service URL).
CurlRequest deviceCodeRequest(const std::string& url);
CurlRequest deviceTokenRequest(const std::string& url, const std::string& formPath);
CurlRequest accountRequest(const std::string& url, const std::string& headerPath);
CurlRequest versionRequest(const std::string& url);
