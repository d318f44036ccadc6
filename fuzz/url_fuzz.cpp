// trimmedUrl and isSafeUrl on arbitrary bytes, against the rules written out
// plainly here: what trimming may remove, and that nothing a shell or curl
// would read as more than one URL word is ever accepted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"

namespace {

bool trailingJunk(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/'; }

std::string referenceTrim(const std::string& url) {
  size_t end = url.size();
  while (end > 0 && trailingJunk(url[end - 1])) --end;
  size_t start = 0;
  while (start < end && (url[start] == ' ' || url[start] == '\t')) ++start;
  return url.substr(start, end - start);
}

bool referenceSafe(const std::string& url) {
  if (url.size() < 1 || url.size() > 512) return false;
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return false;
  for (unsigned char c : url)
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '"' || c == '$' || c == '\'' ||
        c == '\\' || c == '`')
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string trimmed = trimmedUrl(raw);
  FUZZ_CHECK(trimmed == referenceTrim(raw));
  FUZZ_CHECK(trimmedUrl(trimmed) == trimmed);  // trimming twice changes nothing
  FUZZ_CHECK(raw.find(trimmed) != std::string::npos);

  const bool safe = isSafeUrl(trimmed);
  FUZZ_CHECK(safe == referenceSafe(trimmed));
  FUZZ_CHECK(isSafeUrl(raw) == referenceSafe(raw));
  if (safe) {
    // What every request appends to an accepted base stays one argument word.
    const std::vector<std::string> words = curlArguments(curlStart("GET", trimmed + "/v1/me"), 1);
    FUZZ_CHECK(words.size() == 10 && words[4] == trimmed + "/v1/me");
  }
  return 0;
}
