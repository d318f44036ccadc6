// imaging: the pixel work of the mask-and-motion subsystem.
//
// Everything here is a pure function over byte vectors; nothing logs or knows about OpenFX
// or the network. Kept between calls, for speed only (results never depend on them):
// downsampleToGray's handful of prepared resampling plans (keyed by frame and square size,
// shared by all threads) and up to two of buildMask's working buffers (two frames each).
//
// Buffers
//   RGBA8: width * height * 4 bytes, rows top to bottom, R G B A, no padding.
//   gray8: width * height bytes, same geometry; for masks 255 = background shows,
//          0 = frame kept.
//
// Background mask (mask.cpp, mask_fast.cpp)
//   buildMask    raw gray8 (difference image or matte) -> background mask: classify by
//                threshold (or keep the soft matte), grow/shrink by a square, then
//                feather inward and outward (erode/dilate + box blur) from the hard core.
//   morphH/V     1-D grey dilation (max) or erosion (min) over a window of radius r,
//                clipped at the image border; cost independent of r.
//   boxBlur      separable box blur, exact integer averages over the clipped window.
//
// Reference difference (rawdiff.cpp)
//   writeRawdiff grabbed PNG vs returned background PNG (resampled to the grabbed size)
//                -> one-channel PNG of max |channel difference|, alpha ignored.
//
// Motion (tracking.cpp, tracking_<isa>.cpp, downsample.cpp, resample_kernels*.cpp)
//   writeAnchor      grabbed PNG -> size x size luma PNG.
//   downsampleToGray RGBA8 frame -> size x size luma square: the bytes of the stb sRGB
//                    resampler, computed by repeating its sums on a shorter path (the plan
//                    is read from the library itself) on two threads for large frames.
//   trackOffset      coarse-to-fine SAD block matching of two squares; returns the shift
//                    packed as dx in the low 32 bits, dy in the high 32 bits.
//
// Background fit (transform.cpp)
//   transformBg  stretch the background to the frame, scale about the centre, pan by a
//                percentage of the frame, cut the frame window; coverage marks copied pixels.
//
// Status banner (banner.cpp)
//   drawBanner   solid bars of max(6, height / 32) rows at top and bottom, alpha 255.
//
// Untrusted PNG files (decode.cpp)
//   decodeImageFile  every decode of a working file goes through it: the header is read
//                    first and anything wider or taller than kMaxDecodeSide or larger than
//                    kMaxDecodePixels is refused before any pixel is decoded. On failure it
//                    returns false and leaves its outputs untouched.
//
// Reference twins
//   Every fast kernel has a plain twin (suffix Plain) that follows the definition
//   literally. Property tests hold each pair byte-identical; benchmarks compare them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---- Background mask -------------------------------------------------------------------

// threshold is on the 0..255 scale; softMatte keeps the source values instead of
// thresholding. grow > 0 dilates, grow < 0 erodes. Feathers <= 0 are off.
// Returns width * height bytes (empty when that is 0).
std::vector<uint8_t> buildMask(const std::vector<uint8_t>& source, int width, int height,
                               float threshold, bool softMatte, int grow, int innerFeather,
                               int outerFeather);

// In place; dilate = maximum, else minimum. radius <= 0 leaves the mask unchanged.
void morphH(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate);
void morphV(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate);

// In place; horizontal pass then vertical pass, each average truncated.
// radius <= 0 leaves the mask unchanged.
void boxBlur(std::vector<uint8_t>& mask, int width, int height, int radius);

// ---- Reference difference and anchor ---------------------------------------------------

// Encodes width x height pixels of 1 to 4 channels (rows packed, top first) with stb's PNG
// encoder at its defaults and stores them at path, in a file created anew with mode 0600
// (the frames are the user's footage). Any earlier file (or link) at path is removed first,
// and a file that could not be written whole is removed too: on false nothing is left.
bool writePng(const std::string& path, const uint8_t* pixels, int width, int height, int channels);

// True when the PNG was encoded and written whole to outPath; on false nothing is left there.
bool writeRawdiff(const std::string& grabbedPath, const std::string& backgroundPath,
                  const std::string& outPath);
bool writeAnchor(const std::string& grabbedPath, const std::string& outPath, int size);

// ---- Tracking --------------------------------------------------------------------------

// size x size luma bytes (empty when size <= 0).
std::vector<uint8_t> downsampleToGray(const uint8_t* rgba, int width, int height, int size);

// Shift (dx, dy) in square pixels: content moved right by dx and down by dy.
// dx in the low 32 bits, dy in the high 32 bits; (0, 0) when a square has the wrong size.
uint64_t trackOffset(const std::vector<uint8_t>& anchor, const std::vector<uint8_t>& current,
                     int size, int range);

// Unpack trackOffset's result.
inline int32_t offsetDx(uint64_t packed) { return static_cast<int32_t>(packed & 0xffffffffu); }
inline int32_t offsetDy(uint64_t packed) { return static_cast<int32_t>(packed >> 32); }

// Y = (299 R + 587 G + 114 B) / 1000, truncated.
inline uint8_t lumaOf(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((299u * r + 587u * g + 114u * b) / 1000u);
}

// ---- Background transform --------------------------------------------------------------

struct BgTransform {
  std::vector<uint8_t> pixels;    // RGBA8, frame size; 0,0,0,0 where uncovered
  std::vector<uint8_t> coverage;  // gray8, frame size; 255 where a background pixel landed
};

// background: bgWidth * bgHeight RGBA8. scale multiplies the frame size; panX/panY are
// percent of the frame's width/height, positive = right/down.
BgTransform transformBg(const uint8_t* background, int bgWidth, int bgHeight, int width, int height,
                        float scale, float panX, float panY);

// ---- Status banner ---------------------------------------------------------------------

// image must hold width * height * 4 bytes; a smaller image is left alone.
void drawBanner(std::vector<uint8_t>& image, int width, int height, uint8_t r, uint8_t g,
                uint8_t b);

// ---- Untrusted PNG decoding ------------------------------------------------------------

constexpr int kMaxDecodeSide = 16384;
constexpr int64_t kMaxDecodePixels = 256LL * 1000 * 1000;

// channels: 1..4, as stbi_load converts. pixels receives width * height * channels bytes.
bool decodeImageFile(const std::string& path, int channels, std::vector<uint8_t>& pixels,
                     int& width, int& height);

// ---- Reference twins -------------------------------------------------------------------

void morphHPlain(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate);
void morphVPlain(std::vector<uint8_t>& mask, int width, int height, int radius, bool dilate);
void boxBlurPlain(std::vector<uint8_t>& mask, int width, int height, int radius);
// buildMask composed from the plain kernels, step by step as defined.
std::vector<uint8_t> buildMaskPlain(const std::vector<uint8_t>& source, int width, int height,
                                    float threshold, bool softMatte, int grow, int innerFeather,
                                    int outerFeather);
uint64_t trackOffsetPlain(const std::vector<uint8_t>& anchor, const std::vector<uint8_t>& current,
                          int size, int range);
// The stb resampler followed by per-pixel luma; downsampleToGray must equal it.
std::vector<uint8_t> downsampleToGrayPlain(const uint8_t* rgba, int width, int height, int size);
