// Single fields out of the service's small JSON answers, by text search.
//
// Deliberately not a JSON parser: the first textual match of the key wins
// wherever it stands, and no blank is allowed between the colon and a string
// value. The service's answers are written to match these rules.
#include "backend/backend.h"

#include <cstdint>

std::string extractStringField(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":\"";
  size_t pos = json.find(needle);
  if (pos == std::string::npos) return {};
  std::string value;
  for (size_t i = pos + needle.size(); i < json.size(); ++i) {
    char c = json[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < json.size()) {
      char e = json[++i];
      switch (e) {
        case '\\':
          value += '\\';
          break;
        case '"':
          value += '"';
          break;
        case '/':
          value += '/';
          break;
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        default:
          break;  // \b, \f, \uXXXX and the rest: the pair is dropped
      }
      continue;
    }
    value += c;
  }
  return value;
}

int extractIntField(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  size_t pos = json.find(needle);
  if (pos == std::string::npos) return -1;
  size_t i = pos + needle.size();
  while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) ++i;
  if (i >= json.size()) return -1;
  bool negative = false;
  if (json[i] == '-') {
    negative = true;
    ++i;
  }
  if (i >= json.size() || json[i] < '0' || json[i] > '9') return -1;
  // Unsigned arithmetic: an overlong number wraps modulo 2^32 instead of overflowing.
  uint32_t value = 0;
  for (; i < json.size() && json[i] >= '0' && json[i] <= '9'; ++i)
    value = value * 10u + uint32_t(json[i] - '0');
  if (negative) value = 0u - value;
  return int32_t(value);
}
