// buildMask on random sizes, parameters and pixels: the result has exactly
// width * height bytes, equals the plain step-by-step twin byte for byte, and
// (under ASan) no kernel reads or writes outside its buffers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/check.h"
#include "imaging/imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int width = in.ConsumeIntegralInRange<int>(0, 48);
  const int height = in.ConsumeIntegralInRange<int>(0, 48);
  const float threshold = in.ConsumeFloatingPointInRange<float>(-10.0f, 300.0f);
  const bool softMatte = in.ConsumeBool();
  const int grow = in.ConsumeIntegralInRange<int>(-40, 40);
  const int inner = in.ConsumeIntegralInRange<int>(-5, 40);
  const int outer = in.ConsumeIntegralInRange<int>(-5, 40);
  std::vector<uint8_t> source = in.ConsumeBytes<uint8_t>(size_t(width) * size_t(height));
  source.resize(size_t(width) * size_t(height), 0);  // the caller's guarantee

  const std::vector<uint8_t> mask =
      buildMask(source, width, height, threshold, softMatte, grow, inner, outer);
  FUZZ_CHECK(mask.size() == size_t(width) * size_t(height));
  FUZZ_CHECK(mask ==
             buildMaskPlain(source, width, height, threshold, softMatte, grow, inner, outer));

  // The kernels alone, with radii beyond the image.
  std::vector<uint8_t> a = source, b = source;
  const int radius = in.ConsumeIntegralInRange<int>(-2, 80);
  const bool dilate = in.ConsumeBool();
  morphH(a, width, height, radius, dilate);
  morphHPlain(b, width, height, radius, dilate);
  FUZZ_CHECK(a == b);
  morphV(a, width, height, radius, dilate);
  morphVPlain(b, width, height, radius, dilate);
  FUZZ_CHECK(a == b);
  boxBlur(a, width, height, radius);
  boxBlurPlain(b, width, height, radius);
  FUZZ_CHECK(a == b);
  FUZZ_CHECK(a.size() == source.size());
  return 0;
}
