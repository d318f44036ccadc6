// safeShell on arbitrary bytes: same length, none of the eight bytes left,
// every other byte untouched, and the prompt word of the generation request
// is the sanitised text, one word.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"

namespace {
bool special(char c) { return c != '\0' && std::strchr("\t\n\r\"$'\\`", c) != nullptr; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string out = safeShell(text);
  FUZZ_CHECK(out.size() == text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    FUZZ_CHECK(!special(out[i]));
    FUZZ_CHECK(out[i] == (special(text[i]) ? '_' : text[i]));
  }
  FUZZ_CHECK(safeShell(out) == out);

  const std::vector<std::string> words =
      curlArguments(generationRequest("http://h", "/hdr", "/grab.png", text, "1_2", {0, 0}), "/o");
  FUZZ_CHECK(words.size() == 17);
  FUZZ_CHECK(words[9] == "prompt=" + out);
  return 0;
}
