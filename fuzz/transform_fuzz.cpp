// transformBg on random background and frame sizes, scales and pans, the
// parameter ranges exceeded on purpose: both outputs have the frame's size,
// coverage is 0 or 255, uncovered pixels are 0, 0, 0, 0, and the covered
// columns of every row form one run, the same on every covered row.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/check.h"
#include "imaging/imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int bgWidth = in.ConsumeIntegralInRange<int>(0, 40);
  const int bgHeight = in.ConsumeIntegralInRange<int>(0, 40);
  const int width = in.ConsumeIntegralInRange<int>(-2, 48);
  const int height = in.ConsumeIntegralInRange<int>(-2, 48);
  float scale, panX, panY;
  if (in.ConsumeBool()) {
    scale = in.ConsumeFloatingPointInRange<float>(0.25f, 4.0f);
    panX = in.ConsumeFloatingPointInRange<float>(-200.0f, 200.0f);
    panY = in.ConsumeFloatingPointInRange<float>(-200.0f, 200.0f);
  } else {  // anything a float can hold, NaN and infinities included
    scale = in.ConsumeFloatingPoint<float>();
    panX = in.ConsumeFloatingPoint<float>();
    panY = in.ConsumeFloatingPoint<float>();
    if (in.ConsumeBool()) scale = in.ConsumeProbability<float>() * 8.0f;
    // Scaled sides of up to 2^20 are allowed; past 8x the frame only the
    // resampling grows, so the run stays fast at no loss of paths.
    if (!(scale <= 8.0f)) scale = 8.0f;
  }
  std::vector<uint8_t> bg = in.ConsumeBytes<uint8_t>(size_t(bgWidth) * size_t(bgHeight) * 4);
  bg.resize(size_t(bgWidth) * size_t(bgHeight) * 4, 0);

  const BgTransform t = transformBg(bg.empty() ? nullptr : bg.data(), bgWidth, bgHeight, width,
                                    height, scale, panX, panY);
  const size_t n = width > 0 && height > 0 ? size_t(width) * size_t(height) : 0;
  FUZZ_CHECK(t.pixels.size() == n * 4);
  FUZZ_CHECK(t.coverage.size() == n);
  long runStart = -1, runEnd = -1;
  for (int y = 0; y < height && n; ++y) {
    long first = -1, last = -1;
    for (int x = 0; x < width; ++x) {
      const size_t i = size_t(y) * size_t(width) + size_t(x);
      const uint8_t c = t.coverage[i];
      FUZZ_CHECK(c == 0 || c == 255);
      if (c == 0) {
        FUZZ_CHECK(t.pixels[i * 4] == 0 && t.pixels[i * 4 + 1] == 0 && t.pixels[i * 4 + 2] == 0 &&
                   t.pixels[i * 4 + 3] == 0);
      } else {
        if (first < 0) first = x;
        FUZZ_CHECK(last < 0 || last == x - 1);  // one run per row
        last = x;
      }
    }
    if (first < 0) continue;
    if (runStart < 0) {
      runStart = first;
      runEnd = last;
    }
    FUZZ_CHECK(first == runStart && last == runEnd);
  }
  return 0;
}
