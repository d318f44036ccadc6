// The resampling plan stb_image_resize2 builds for an RGBA8 sRGB resize, read out of the
// library (stb_impl.cpp) so that downsample.cpp can repeat the library's arithmetic on a
// cheaper path and produce the same bytes. Internal to imaging/.
//
// What the library computes for each output pixel, as read from its source:
//   decode   linear = its sRGB table[byte] for R, G, B; a = A * (1/255); colour weighted
//            by alpha (r*a, g*a, b*a) and also kept unweighted.
//   columns  per output column, taps k = 0 .. hCount-1 over input columns hFirst + k with
//            coefficients hCoeff[k]; two running sums (even k, odd k) added at the end, or
//            one running sum when hTaps <= 3.
//   rows     per output row, its input rows in the listed order, one running sum, rows
//            first (verticalFirst) or columns first.
//   finish   alpha below kTinyAlpha takes the unweighted colour, otherwise the weighted
//            colour times 1/alpha; each channel is encoded by the library's sRGB encoder.
// Taps with a zero coefficient change no result bit that reaches a byte (they add a signed
// zero), so they may be skipped.
#pragma once

#include <cstdint>
#include <vector>

struct RgbaSrgbPlan {
  int inW = 0, inH = 0, outW = 0, outH = 0;
  bool verticalFirst = false;
  int hTaps = 0;              // coefficients stored per output column
  std::vector<int> hFirst;    // outW: first input column
  std::vector<int> hCount;    // outW: taps actually covered (<= hTaps)
  std::vector<float> hCoeff;  // outW * hTaps
  std::vector<int> vBegin;    // outH + 1: output row y owns entries vBegin[y] .. vBegin[y+1]-1
  std::vector<int> vRow;      // input row of each entry, inside 0 .. inH-1
  std::vector<float> vCoeff;
};

// Alpha below this is treated as zero by the library's un-weighting.
constexpr float kTinyAlpha =
    1.0f / (1 << 20) / (1 << 20) / (1 << 20) / (1 << 20) / (1 << 20) / (1 << 20);

// False when the library would take a path this plan does not describe (point sampling,
// a different alpha mode, taps outside the image); the caller then uses the library.
bool readRgbaSrgbPlan(int inW, int inH, int outW, int outH, RgbaSrgbPlan& plan);

// The library's encoder depends only on the top 20 bits of the float once it is clamped
// to [kSrgbEncodeLow, kSrgbEncodeHigh]; entry i serves bit patterns (kSrgbEncodeFirst + i) << 12.
constexpr uint32_t kSrgbEncodeLowBits = (127u - 13u) << 23;  // 2^-13, encodes to 0
constexpr uint32_t kSrgbEncodeHighBits = 0x3f7fffffu;        // just below 1, encodes to 255
constexpr uint32_t kSrgbEncodeFirst = kSrgbEncodeLowBits >> 12;
constexpr int kSrgbEncodeEntries =
    static_cast<int>((kSrgbEncodeHighBits >> 12) - kSrgbEncodeFirst + 1);

// toLinear: 256 floats; fromLinear: kSrgbEncodeEntries bytes.
void readSrgbTables(float* toLinear, uint8_t* fromLinear);
