// servicePrompt on arbitrary bytes: what it keeps is a subsequence of the
// input with no control byte but tab and line feed and no C1 control, taken
// unchanged a second time, and the prompt word of the generation request is
// that text, one word.
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/backend.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string out = servicePrompt(text);
  size_t from = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(c >= 0x20 || c == '\t' || c == '\n');
    FUZZ_CHECK(c != 0x7f);
    FUZZ_CHECK(!(c == 0xc2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xa0));
    from = text.find(out[i], from);
    FUZZ_CHECK(from != std::string::npos);
    ++from;
  }
  FUZZ_CHECK(servicePrompt(out) == out);

  const std::vector<std::string> words =
      curlArguments(generationRequest("http://h", "/hdr", "/grab.png", text, "1_2", {0, 0}), 1);
  FUZZ_CHECK(words.size() == 18);
  FUZZ_CHECK(words[10] == "prompt=" + out);
  return 0;
}
