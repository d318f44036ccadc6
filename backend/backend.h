// backend: the client side of the generation service.
//
// Everything the plug-in exchanges with the service, and every image it keeps
// between renders, is a file in one working directory under the user's home.
// This folder names those files, keeps the optional debug log, runs each HTTP
// request as one /usr/bin/curl process (started directly, never through a
// shell), reads single fields out of the JSON answers, and keeps the access
// token in the platform's secret store. It knows nothing of pixels or OpenFX.
//
// Privacy: the working folder's last level is 0700 and ours (checked, and
// tightened when an earlier version left it open, before every request); a
// folder owned by another user, or a link in its place, is refused and
// nothing is sent. Every file we write there is created by our own code,
// 0600, refusing a link in its place (curl gets descriptors, never a path to
// write). The answers that carry a secret (device code, token) are removed
// as soon as they are read.
//
// Conventions: failures are return values (a bool, an HTTP status with 0 for
// "no status obtained" and negatives for local refusals, or an empty string);
// output arguments are reset on entry. Nothing throws. Every function may be
// called from any thread.
//
// Working files (all under tempDir(), folder 0700, every file 0600):
//   per effect        ofx_grabbed_<key>.png, bg_<key>_<hash>.png,
//                     rawdiff_<key>_<hash>.png, anchor_<key>_<hash>.png,
//                     plate_<key>_<hash>.png (the background with the subject
//                     filled in), backdrop_<key>_<hash>.png (the grabbed frame
//                     with the subject filled in)
//                     (<key>: the effect's key, <hash>: the prompt's key)
//   answers kept      ofx_me_response.json, ofx_version_response.json
//   per request       ofx_input_<key>_<pid>.png (the generated PNG until it
//                     is checked and renamed to its bg_ name),
//                     ofx_curl_status_<tag>.txt, ofx_auth_hdr_<tag>.txt,
//                     ofx_device_token_form_<tag>.txt (removed after the run),
//                     ofx_answer_<tag>.json (renamed to its kept name, or
//                     removed once read: the device-code and token answers)
//                     <tag> = <pid>_<random per copy of this code>_<n>
//   debug log         ofx_debug.log (only when TALVANE_DEBUG is on)
// Size limits: JSON answers 1 MiB, the generated PNG 256 MiB (a 16-bit RGBA
// 8192 x 8192 image stored uncompressed is 512 MiB; a real background is a
// few MiB). A larger answer is cut off, logged and removed.
#pragma once

#include <spawn.h>

#include <cstdint>
#include <string>
#include <vector>

// The OfxPlugin identifier; also the keychain service of the shipped bundle's token.
inline constexpr char kPluginIdentifier[] = "app.talvane.background.plugin";

// ---- Working directory, file names, debug log (workfiles.cpp) ----

// $HOME + "/Documents/tollwick/quenbay/temp". With HOME unset or empty, the
// account's home from the password database; failing that, the private
// folder "/tmp/talvane-<uid>". Computed at every call; no trailing slash.
std::string tempDir();
// True when stat() can report on path (file, directory or anything else).
bool fileExists(const std::string& path);
// Creates tempDir() and every missing parent (0755 less the umask, the last
// level 0700), then checks the last level, and /tmp/talvane-<uid> when that is
// the base: a real folder owned by us, closed to others. A last level of ours
// left open is tightened to 0700. False (reported once on stderr) when it is
// missing, a link, or another user's.
bool makeWorkDir();

// Full paths of an effect's working files, named by its key (each cut at 511
// characters); inputFile also carries this process's id.
std::string grabbedFile(const std::string& key);
std::string inputFile(const std::string& key);
std::string cacheFile(const std::string& key, const std::string& prompt);
std::string rawdiffFile(const std::string& key, const std::string& prompt);
std::string anchorFile(const std::string& key, const std::string& prompt);
std::string plateFile(const std::string& key, const std::string& prompt);
std::string backdropFile(const std::string& key, const std::string& prompt);

// The 64-bit string hash of libc++ (its CityHash64 variant) over the prompt's
// bytes, computed here so names and cache keys are the same whatever standard
// library built us.
uint64_t promptKey(const std::string& prompt);

// Appends message and a line feed to tempDir()/ofx_debug.log when
// TALVANE_DEBUG was set, non-empty and not starting with '0' at the first
// call (decided once per process). Drops the line when the log can't be opened
// or the working folder is not private; a link in the log's place is refused.
void dbg(const char* message);

// ---- Input checks and files shared by the requests (transport.cpp) ----

// Drops trailing blanks, CR, LF and '/', then leading spaces and tabs.
std::string trimmedUrl(const std::string& url);
// 1..512 bytes, starts with http:// or https://, and no tab, LF, CR, space,
// '"', '$', '\'', '\\' or '`'.
bool isSafeUrl(const std::string& url);
// 1..256 bytes of ASCII letters, digits, '-', '.' and '_'.
bool isSafeToken(const std::string& text);
// The prompt as the service receives it: the text as typed, less what is not
// valid UTF-8 and every control character but tab and line feed.
std::string servicePrompt(const std::string& text);
// Creates path anew with mode 0600 (never wider, not even briefly) holding
// "Authorization: Bearer <token>\n". False when it can't be fully written.
bool writeAuthHeaderFile(const std::string& path, const std::string& token);
// The file's first maxBytes bytes; empty when it can't be opened or is a link.
std::string readFile(const std::string& path, uint64_t maxBytes = UINT64_MAX);

// Why a request obtained no status (status 0).
enum class RequestFault {
  None,
  Unreachable,       // no connection (name not resolved, refused)
  TimedOut,          // a curl time limit ran out
  WorkFolder,        // the working folder or a file in it could not be written
  TooLarge,          // the answer exceeded its byte limit
  ConnectionFailed,  // any other transfer failure
  Stopped,           // the stop switch ended it
};
// The reason as the panel says it ("cannot reach the service", "the service
// did not answer in time", "cannot write the working folder", ...); "" for None.
const char* faultText(RequestFault fault);

// Byte limits of the answers (see the map above).
inline constexpr uint64_t kJsonAnswerLimit = uint64_t(1) << 20;
inline constexpr uint64_t kPngAnswerLimit = uint64_t(256) << 20;

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

// True when the generation request for this prompt stays within the longest
// command accepted (the request sendToBackend would send refuses it otherwise).
bool promptFitsRequest(const std::string& key, const std::string& serverUrl,
                       const std::string& prompt, RequestLimits limits);

// Uploads grabbedFile(key) with servicePrompt(prompt) and the cache key
// "<key>_<promptKey>" to <serverUrl>/v1/generate and leaves the answer at
// outPath. 200 = a PNG is at outPath; 0 = nothing sent, no status, timed out,
// over kPngAnswerLimit or not a PNG; other = the service's status. On any
// result but 200 outPath is removed once a request has run. fault (when
// given) says why a run got no status. (generate_request.cpp)
int sendToBackend(const std::string& key, const std::string& serverUrl, const std::string& token,
                  const std::string& prompt, const std::string& outPath,
                  RequestLimits limits = {10, 300}, RequestFault* fault = nullptr);

// Device authorization grant, client side (device_auth.cpp).
// requestDeviceCode: true with deviceCode and userCode set; verificationUri,
// interval (default 5) and expiresIn (default 600) as answered; else false
// with the reason in error (faultText when no status came).
bool requestDeviceCode(const std::string& serverUrl, std::string& deviceCode, std::string& userCode,
                       std::string& verificationUri, int& interval, int& expiresIn,
                       std::string& error);
// pollDeviceToken: Approved (accessToken, balance, email set); Pending, poll
// again (error: authorization_pending, slow_down or rate_limited); Ended, the
// grant is over (expired_token, access_denied, invalid_grant); Failed, any
// other failure (error: faultText when no status came, else "HTTP <status>" or
// the answer's words).
enum class PollOutcome { Approved = 1, Pending = 0, Ended = -1, Failed = -2 };
PollOutcome pollDeviceToken(const std::string& serverUrl, const std::string& deviceCode,
                            std::string& accessToken, int& balance, std::string& email,
                            std::string& error);

// Account and version queries (account_queries.cpp).
// fetchBalance: 200 with email and balance (-1 when not answered); -1 when
// nothing was sent; otherwise the status (0 when none, fault says why).
int fetchBalance(const std::string& serverUrl, const std::string& token, std::string& email,
                 int& balance, RequestFault* fault = nullptr);
// fetchLatestVersion: true on 200 with a non-empty "latest".
bool fetchLatestVersion(const std::string& serverUrl, std::string& latest, std::string& downloadUrl,
                        RequestFault* fault = nullptr);

// ---- Stopping background work (transport.cpp) ----
// Process-wide. While set (from the unload action until the next load), no
// curl run starts, a run in progress is ended at once and counts as having
// obtained no status, and the sign-in poller's sleep ends early.
void setBackgroundStop(bool stop);
bool backgroundStopRequested();

// ---- Token store (token_store_linux.cpp / token_store_mac.cpp) ----
// One token per service and account key (the bundle passes its build's
// kKeychainService and its service URL). An empty account key, or a service
// that is empty (or on Linux, would name a file outside the store's folder),
// is refused without touching the store.
bool keychainStoreToken(const std::string& service, const std::string& account,
                        const std::string& token);
// Empty when none.
std::string keychainGetToken(const std::string& service, const std::string& account);
// True when none remains.
bool keychainDeleteToken(const std::string& service, const std::string& account);

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
  std::string status;  // curl's error stream: the "%{http_code}" text
  std::string header;  // the Authorization header line, when the request has one
  std::string form;    // the request body, when it has one
  std::string answer;  // the body before it moves to its fixed name
};
RequestFiles newRequestFiles();

// Creates path anew (O_EXCL) with mode 0600 and writes bytes, flushed to disk
// before closing when durable; false (errno says why) and no file left when
// that fails.
bool writePrivateFile(const std::string& path, const std::string& bytes, bool durable = false);
// What is left to read from an open descriptor, at most maxBytes.
std::string readAll(int fd, uint64_t maxBytes = UINT64_MAX);

// "/usr/bin/curl -q -X <method> <url>" (-q first: ~/.curlrc is not read).
CurlRequest curlStart(const std::string& method, const std::string& url);
// Appends the limits as "--max-time T --connect-timeout C" words.
void addTimeLimits(CurlRequest& request, RequestLimits limits);
// The words curl receives for the request plus the output options
// "--max-filesize <maxBytes> -w '%{stderr}%{http_code}' -s".
std::vector<std::string> curlArguments(const CurlRequest& request, uint64_t maxBytes);
// The request part as shell text.
std::string curlRequestLine(const CurlRequest& request);
// The whole command as the shell text of the equivalent system() call, the
// body redirected into outPath and the error stream into statusPath.
std::string curlCommandLine(const CurlRequest& request, uint64_t maxBytes,
                            const std::string& outPath, const std::string& statusPath);
// Longest whole command accepted.
inline constexpr size_t kMaxCommandLength = 8191;

// Runs /usr/bin/curl with the request's words and the output options, after
// makeWorkDir(). Its standard output goes into outPath and its error stream
// into files.status (removed afterwards), both created here 0600. An answer
// over maxBytes is cut off at once (curl's own limit misses chunked answers),
// logged and removed. Returns the HTTP status, or 0 with fault (when given)
// saying why none was obtained; outPath is removed when 0 is returned.
int runCurl(const CurlRequest& request, const std::string& outPath, const RequestFiles& files,
            uint64_t maxBytes, RequestFault* fault = nullptr);
// runCurl into files.answer with the JSON limit, then body = that answer,
// which then replaces tempDir() + answerName (e.g. "/ofx_me_response.json"),
// or is removed when answerName is empty.
int runCurlForAnswer(const CurlRequest& request, const std::string& answerName,
                     const RequestFiles& files, std::string& body, RequestFault* fault = nullptr);

// Adds to a curl run's spawn what closes in the child every descriptor above
// the standard streams (spawn_linux.cpp, spawn_mac.cpp, spawn_other.cpp).
void keepOnlyStandardStreams(posix_spawn_file_actions_t* actions, short* flags);

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
