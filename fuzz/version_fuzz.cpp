// versionIsNewer on arbitrary pairs: a strict order (never both ways, never a
// version newer than itself), blind to trailing ".0" components, and equal to
// a plain comparison of the digit runs whenever every run fits in nine digits.
// Input: the two texts split at the first NUL byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "account/account.h"
#include "fuzz/check.h"

namespace {

// nullopt-free: false in `fits` when a run is longer than nine digits.
std::vector<long long> components(const std::string& text, bool& fits) {
  std::vector<long long> out;
  size_t i = 0;
  while (i < text.size()) {
    long long value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (digits < 9) value = value * 10 + (text[i] - '0');
      else fits = false;
      ++digits;
      ++i;
    }
    out.push_back(value);
    while (i < text.size() && text[i] != '.') ++i;
    if (i < text.size()) ++i;
  }
  return out;
}

bool referenceNewer(const std::string& latest, const std::string& current, bool& fits) {
  std::vector<long long> a = components(latest, fits), b = components(current, fits);
  if (a.empty() || b.empty()) return false;
  const size_t n = std::max(a.size(), b.size());
  a.resize(n, 0);
  b.resize(n, 0);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] > b[i];
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t cut = all.find('\0');
  const std::string a = all.substr(0, cut);
  const std::string b = cut == std::string::npos ? std::string("1.0.0") : all.substr(cut + 1);

  const bool ab = versionIsNewer(a, b);
  const bool ba = versionIsNewer(b, a);
  FUZZ_CHECK(!(ab && ba));
  FUZZ_CHECK(!versionIsNewer(a, a));
  if (!a.empty() && a.back() >= '0' && a.back() <= '9') {
    FUZZ_CHECK(versionIsNewer(a + ".0", b) == ab);  // a trailing zero component changes nothing
  }
  bool fits = true;
  const bool expected = referenceNewer(a, b, fits);
  if (fits) FUZZ_CHECK(ab == expected);
  return 0;
}
