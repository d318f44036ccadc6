// The generation request: grabbed frame + prompt in, background PNG out.
#include "backend/backend.h"

#include <unistd.h>
#include <cinttypes>
#include <cstdio>

namespace {

// curl reads ';' and ',' in an -F file name as the start of part options or
// of a second file; a quoted name (with '"' and '\\' escaped) is taken whole,
// so a home folder with such characters still uploads the grabbed frame.
std::string curlFormFileName(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

CurlRequest generationRequest(const std::string& url, const std::string& headerPath,
                              const std::string& grabbedPath, const std::string& prompt,
                              const std::string& cacheKey, RequestLimits limits) {
  CurlRequest request = curlStart("POST", url + "/v1/generate");
  // --form-string sends the text literally: a prompt starting with '@' or
  // '<' is never taken as a file reference. No shell is involved, so quotes,
  // '$' and backslashes go as typed.
  request.push_back({"", "-H", Quote::None});
  request.push_back({"@", headerPath, Quote::Double});
  request.push_back({"", "-F", Quote::None});
  request.push_back({"", "image=@" + curlFormFileName(grabbedPath), Quote::Double});
  request.push_back({"", "--form-string", Quote::None});
  request.push_back({"", "prompt=" + servicePrompt(prompt), Quote::Double});
  request.push_back({"", "--form-string", Quote::None});
  request.push_back({"", "cache_key=" + cacheKey, Quote::Double});
  addTimeLimits(request, limits);
  return request;
}

bool promptFitsRequest(const std::string& key, const std::string& serverUrl,
                       const std::string& prompt, RequestLimits limits) {
  const RequestFiles files = newRequestFiles();
  const std::string cacheKey = key + "_" + std::to_string(promptKey(prompt));
  const CurlRequest request = generationRequest(trimmedUrl(serverUrl), files.header,
                                                grabbedFile(key), prompt, cacheKey, limits);
  return curlCommandLine(request, kPngAnswerLimit, inputFile(key), files.status).size() <=
         kMaxCommandLength;
}

int sendToBackend(const std::string& key, const std::string& serverUrl, const std::string& token,
                  const std::string& prompt, const std::string& outPath, RequestLimits limits,
                  RequestFault* fault) {
  RequestFault ignored;
  RequestFault& why = fault ? *fault : ignored;
  why = RequestFault::None;
  const std::string url = trimmedUrl(serverUrl);
  if (!isSafeUrl(url)) {
    dbg("sendToBackend: bad serverUrl");
    return 0;
  }
  if (!isSafeToken(token)) {
    dbg("sendToBackend: missing/invalid token");
    return 0;
  }
  const std::string grabbed = grabbedFile(key);
  if (!fileExists(grabbed)) {
    dbg("sendToBackend: no grabbed frame");
    return 0;
  }
  // Keyed on the prompt as the user holds it, so it matches the cache name.
  const std::string cacheKey = key + "_" + std::to_string(promptKey(prompt));

  const RequestFiles files = newRequestFiles();
  const CurlRequest request =
      generationRequest(url, files.header, grabbed, prompt, cacheKey, limits);
  if (curlCommandLine(request, kPngAnswerLimit, outPath, files.status).size() > kMaxCommandLength) {
    dbg("sendToBackend: prompt too long");
    return 0;
  }
  if (!makeWorkDir() || !writeAuthHeaderFile(files.header, token)) {
    dbg("sendToBackend: cannot write auth header file");
    why = RequestFault::WorkFolder;
    return 0;
  }
  const int status = runCurl(request, outPath, files, kPngAnswerLimit, &why);
  ::unlink(files.header.c_str());

  if (status == 200) {
    if (fileExists(outPath) && isValidPng(outPath)) return 200;
    dbg("sendToBackend: response is not a valid PNG");
    ::unlink(outPath.c_str());
    return 0;
  }
  char line[64];
  std::snprintf(line, sizeof line, "sendToBackend: HTTP %d", status);
  dbg(line);
  ::unlink(outPath.c_str());
  return status;
}
