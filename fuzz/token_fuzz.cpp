// isSafeToken on arbitrary bytes: exactly 1..256 bytes of [A-Za-z0-9._-].
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool expected = !text.empty() && text.size() <= 256;
  for (unsigned char c : text) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!allowed) expected = false;
  }
  FUZZ_CHECK(isSafeToken(text) == expected);
  if (expected) {
    // An accepted token is a whole header line and nothing more.
    const std::string line = "Authorization: Bearer " + text + "\n";
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    FUZZ_CHECK(line.find('\r') == std::string::npos);
  }
  return 0;
}
