// Both JSON field extractors on arbitrary bodies and keys, against the
// extraction rules written out plainly here (first textual match wins, the
// six escapes, 32-bit wrapping numbers).
// Input: one byte giving the key's length (mod 24), the key, then the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"

namespace {

std::string referenceString(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":\"";
  const size_t at = json.find(needle);
  if (at == std::string::npos) return "";
  std::string value;
  size_t i = at + needle.size();
  while (i < json.size()) {
    const char c = json[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < json.size()) {
      const char e = json[i + 1];
      i += 2;
      if (e == '\\') value.push_back('\\');
      else if (e == '"') value.push_back('"');
      else if (e == '/') value.push_back('/');
      else if (e == 'n') value.push_back('\n');
      else if (e == 'r') value.push_back('\r');
      else if (e == 't') value.push_back('\t');
      continue;
    }
    value.push_back(c);
    ++i;
  }
  return value;
}

int referenceInt(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = json.find(needle);
  if (at == std::string::npos) return -1;
  size_t i = at + needle.size();
  while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) ++i;
  if (i >= json.size()) return -1;
  const bool negative = json[i] == '-';
  if (negative) ++i;
  if (i >= json.size() || json[i] < '0' || json[i] > '9') return -1;
  uint64_t value = 0;
  while (i < json.size() && json[i] >= '0' && json[i] <= '9')
    value = (value * 10 + uint64_t(json[i++] - '0')) % 4294967296ull;
  if (negative) value = (4294967296ull - value) % 4294967296ull;
  return static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(value)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t keyLength = std::min<size_t>(data[0] % 24, size - 1);
  const std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
  const std::string json(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);

  const std::string text = extractStringField(json, key);
  FUZZ_CHECK(text == referenceString(json, key));
  FUZZ_CHECK(text.size() <= json.size());
  FUZZ_CHECK(extractIntField(json, key) == referenceInt(json, key));
  return 0;
}
