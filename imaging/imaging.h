// imaging: the plug-in's pixel work.
//
// Everything here is a pure function over byte vectors and host image memory; nothing logs
// or knows about OpenFX or the network. Kept between calls, for speed only (results never depend on
// them): downsampleToGray's handful of prepared resampling plans (keyed by frame and square size,
// shared by all threads) and up to two of buildMask's working buffers (two frames each).
//
// Buffers
//   RGBA8: width * height * 4 bytes, rows top to bottom, R G B A, no padding.
//   gray8: width * height bytes, same geometry; for masks 255 = background shows,
//          0 = frame kept.
//
// Host images (convert.cpp, plain twins in convert_plain.cpp; passthrough.cpp)
//   extractRGBA   host image (8-bit, 16-bit or float; RGBA or RGB) -> top-down RGBA8.
//   writeRGBA     RGBA8 -> host image. Rules: 16-bit v -> v >> 8, b -> b << 8; float
//                 v -> 0 below 0 or NaN, 255 above 1, else trunc(v * 255 + 0.5) in single
//                 precision; b -> b / 255.
//   copyRows      byte copy of host rows with signed strides.
//   copyOverlap   byte copy of the pixels two host images share, by position.
//
// Compositing (composite.cpp, plain twin in composite_plain.cpp)
//   compositeWorker  one band of rows: a = (c/255)*(m/255)*blend in single precision,
//                    out = trunc(bg*a + src*(1-a)), alpha 255. The caller spreads the
//                    bands over its threads.
//
// Background mask (mask.cpp, mask_fast.cpp)
//   buildMask    raw gray8 (difference image or matte) -> background mask: classify by
//                threshold (or keep the soft matte), grow/shrink by a square, then
//                feather inward and outward (erode/dilate + box blur) from the hard core.
//   morphH/V     1-D grey dilation (max) or erosion (min) over a window of radius r,
//                clipped at the image border; cost independent of r.
//   boxBlur      separable box blur, exact integer averages over the clipped window.
//   joinedTo     the seeds plus every allowed pixel 8-connected to them through allowed
//                pixels (thin strands hanging from a solid block; specks stay out).
//
// Reference difference (rawdiff.cpp)
//   writeRawdiff grabbed PNG vs returned background PNG (resampled to the grabbed size)
//                -> one-channel PNG of max |channel difference|, alpha ignored.
//
// Motion (tracking.cpp, tracking_<isa>.cpp, downsample.cpp, resample_kernels*.cpp)
//   writeAnchor      grabbed PNG -> size x size luma PNG.
//   downsampleToGray RGBA8 frame -> size x size luma square: the bytes of the stb sRGB
//                    resampler, computed by repeating its sums on a shorter path (the plan
//                    is read from the library itself), in two halves on the caller's
//                    threads for large frames.
//   trackOffset      coarse-to-fine SAD block matching of two squares; returns the shift
//                    packed as dx in the low 32 bits, dy in the high 32 bits.
//
// Background fit (transform.cpp)
//   transformBg  stretch the background to the frame, scale about the centre, pan by a
//                percentage of the frame, cut the frame window; coverage marks copied pixels.
//   reduceToFrame  a background far larger than the frame is resized (stb's sRGB resampler)
//                to the frame's size, which the stretch above makes no visible difference.
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
// How kernels are written
//   Portable vector code first: simd.h's sixteen-byte vectors (the compiler's vector
//   extensions) become SSE2 on x86-64 and NEON on arm64. A file per instruction set only
//   where an instruction has no portable form (psadbw and vabdq_u8 for block SAD, AVX's
//   eight-float sums, the saturating packs of the pixel kernels, packus and vqmovun: a
//   portable version of those measured two to four times slower): <name>_x86.cpp,
//   <name>_arm64.cpp and <name>_generic.cpp, each guarded in its own source by isa.h, so
//   every file is compiled on every platform (empty where it does not apply) and one
//   source list serves every processor, a universal binary's slices included. Run-time
//   checks for optional extensions (AVX, AVX2) stay inside the x86 files.
//
// Reference twins
//   Every fast kernel has a plain twin (suffix Plain) that follows the definition
//   literally. Property tests hold each pair byte-identical; benchmarks compare them.
#pragma once

#include <cstdint>
#include <functional>
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

// 255 where joined; empty if either mask has not width * height bytes.
std::vector<uint8_t> joinedTo(const std::vector<uint8_t>& seeds,
                              const std::vector<uint8_t>& allowed, int width, int height);

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

// Runs body(index) for every index in [0, count) and returns when all have finished; the
// calls may run at once on other threads. The caller's thread pool backs it (the render:
// the host's multithread suite), so imaging starts no thread of its own. An exception in a
// body reaches the caller after every body has ended.
using ParallelFor = std::function<void(int count, const std::function<void(int index)>& body)>;

// size x size luma bytes (empty when size <= 0). Large frames are reduced in two halves
// through parallel when one is given.
std::vector<uint8_t> downsampleToGray(const uint8_t* rgba, int width, int height, int size,
                                      const ParallelFor& parallel = {});

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

// A background larger than kReduceFactor times the frame's pixels, or wider or taller than
// kReduceSide, is worth nothing beyond the frame's size once stretched to it, and costs
// seconds per decode: such a one is brought down to frameWidth x frameHeight. rgba holds
// width * height RGBA8 pixels; true (and rgba, width, height replaced) when it was reduced.
constexpr int64_t kReduceFactor = 4;
constexpr int kReduceSide = 8192;
bool reduceToFrame(std::vector<uint8_t>& rgba, int& width, int& height, int frameWidth,
                   int frameHeight);

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

// ---- Host images and pixel conversion --------------------------------------------

// A host component's type.
enum class Depth { Byte, Short, Float };
// Bytes of one component: 1, 2 or 4.
int bytesPerComponent(Depth depth);

// A host image: its pixels, row stride (signed: negative walks the rows
// backwards) and bounds, as the render action reads them.
struct HostView {
  void* data = nullptr;
  int rowBytes = 0;
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // bounds
  int components = 4;                  // 4 RGBA, 3 RGB, 1 alpha
  Depth depth = Depth::Byte;
  int width() const { return x2 - x1; }
  int height() const { return y2 - y1; }
  int bytesPerPixel() const { return components * bytesPerComponent(depth); }
};
// A view of width x height pixels at data, bounds starting at (0, 0).
HostView hostView(const void* data, int width, int height, int rowBytes, int components,
                  Depth depth);

// Which host row holds the top of the picture: OpenFX images are stored bottom row first.
enum class RowOrder { TopDown, BottomUp };

// The RGBA8 buffer of a frame is indexed with 32-bit signed sizes: frames whose
// width * height * 4 exceeds 2,147,483,647 bytes (or with a negative side) are
// outside the supported range.
bool frameFitsRGBA8(int width, int height);

// Host image (RGBA or RGB; RGB reads with alpha 255) -> top-down RGBA8 buffer, and
// back (RGB images get no alpha). Writes exactly width pixels per row: row padding
// is never touched. The view's components are 4 or 3.
std::vector<uint8_t> extractRGBA(const HostView& src, RowOrder order);
void writeRGBA(const uint8_t* rgba, const HostView& dst, RowOrder order);

// Reference twins: the rules applied one component at a time, as defined.
std::vector<uint8_t> extractRGBAPlain(const HostView& src, RowOrder order);
void writeRGBAPlain(const uint8_t* rgba, const HostView& dst, RowOrder order);

// ---- Pass-through ----------------------------------------------------------------

// Copies height rows; row r of the source starts at src + r * srcRowBytes and goes
// to dst + r * dstRowBytes (64-bit signed offsets). Each row copies
// min(|srcRowBytes|, |dstRowBytes|, rowLength) bytes.
void copyRows(const void* src, int srcRowBytes, void* dst, int dstRowBytes, int height,
              int64_t rowLength);

// Copies the pixels whose positions lie inside both images' bounds, byte for
// byte. Nothing happens unless both have the same components and depth.
void copyOverlap(const HostView& src, const HostView& dst);

// ---- Compositing ----------------------------------------------------------------

// Shared read-only by every thread of one compositing run; only output rows are
// written. A null mask stands for a mask of 255 everywhere. source and output may
// be the same buffer: each output pixel depends only on the source pixel at the
// same index.
struct CompositeJob {
  int width = 0;
  int height = 0;
  int shiftX = 0;
  int shiftY = 0;
  float blend = 1.0f;
  const uint8_t* source = nullptr;
  const std::vector<uint8_t>* mask = nullptr;
  const std::vector<uint8_t>* background = nullptr;
  const std::vector<uint8_t>* coverage = nullptr;
  uint8_t* output = nullptr;
};

// Rows [first, last) of thread index out of count: first = index * height / count.
struct RowBand {
  int first;
  int last;
};
RowBand rowBand(unsigned int index, unsigned int count, int height);

// The host suite's thread-function signature; customArg is a CompositeJob.
void compositeWorker(unsigned int threadIndex, unsigned int threadCount, void* customArg);
void compositeWorkerPlain(unsigned int threadIndex, unsigned int threadCount, void* customArg);

// ---- Pixel kernels (pixel_kernels_<isa>.cpp) ----------------------------------------

// The float rule for one component: 0 below 0 or NaN, 255 above 1, else
// trunc(v * 255 + 0.5). The first select fails for NaN, which becomes 0.
inline uint8_t floatToByte(float v) {
  float c = v > 0.0f ? v : 0.0f;
  c = c < 1.0f ? c : 1.0f;
  return static_cast<uint8_t>(static_cast<int>(c * 255.0f + 0.5f));
}

// The compositing rule for one pixel whose layer position is inside the frame.
// Mask or coverage 0 gives a = 0, and bg * 0 + src * 1 is exactly src.
inline void blendPixel(const uint8_t* src, const uint8_t* bg, uint8_t m, uint8_t c, float blend,
                       uint8_t* out) {
  const float a = (c / 255.0f) * (m / 255.0f) * blend;
  const uint8_t r = static_cast<uint8_t>(static_cast<int>(bg[0] * a + src[0] * (1.0f - a)));
  const uint8_t g = static_cast<uint8_t>(static_cast<int>(bg[1] * a + src[1] * (1.0f - a)));
  const uint8_t b = static_cast<uint8_t>(static_cast<int>(bg[2] * a + src[2] * (1.0f - a)));
  out[0] = r;  // written after all reads: out may be src
  out[1] = g;
  out[2] = b;
  out[3] = 255;
}

// count floats (host memory, any alignment) -> bytes by the float rule.
void floatsToBytes(const unsigned char* src, uint8_t* dst, int count);

// Smallest and largest alpha of count RGBA8 pixels (255 and 0 when count is 0).
void alphaRange(const uint8_t* rgba, int64_t count, int& lowest, int& highest);

// count pixels of a layer run: for pixel k, m = mask[k] (255 when mask is null),
// c = cov[k], a = (c/255)*(m/255)*blend, out RGB = trunc(bg*a + src*(1-a)), alpha
// 255. out may equal src.
void blendRun(const uint8_t* src, const uint8_t* bg, const uint8_t* mask, const uint8_t* cov,
              float blend, uint8_t* out, int count);

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

// ---- Refined compositing: clean plates, camera motion, difference key ------------------
//
// Plates (plate.cpp)
//   subjectFootprint  gray8, 255 where the returned image still equals the grabbed frame
//                     within threshold in every channel (the subject the service kept),
//                     specks opened away, then grown by grow + 1 pixels over its soft edge
//                     (not grown when grow is negative).
//   fillPlate         RGBA8 in place: pixels under hole != 0 replaced by a push-pull
//                     pyramid fill from the rest (alpha 255 there), or, where the detail
//                     around the hole repeats under a shift, by the background found a
//                     whole number of shifts away; no hole, no change.
//   buildPlates       returned (any size, resampled to the frame) and grabbed RGBA8 ->
//                     the new background with the footprint filled, the original
//                     backdrop with the footprint and the strays around it (pixels of a
//                     wide ring that depart from a fill of the ring) filled, both alpha
//                     255, that larger footprint, and the subject kept (ungrown).
//   writePlates       grabbed PNG and returned background PNG -> the two plates as RGBA
//                     PNGs at the grabbed size; the backdrop's alpha is 0 where the subject
//                     was kept, 64 on the rest of the footprint, else 255 (files of earlier
//                     versions: 0 on the whole footprint).
// Camera motion (camera_motion.cpp)
//   prepareMotionReference  luma pyramid of the grab-time frame, the footprint and a margin
//                           of a few pixels weighted out; the refined levels keep their
//                           most detailed pixels as samples (every pixel on a faint backdrop).
//   estimateCameraMotion    a grab-time point p lies at c + scale (p - c) + (dx, dy) in
//                           the frame, c the frame's centre, pixels; exactly the identity
//                           when the move is within the noise or the backdrop has no
//                           texture to follow.
//   refinementSums          one refinement pass's sums over a band of rows, four samples
//                           a step (motion_pass.cpp; with AVX2 on x86-64,
//                           motion_pass_x86.cpp); refinementSumsPlain is its twin.
//   searchCosts             the integer search's costs for one vertical offset, eight
//                           pixels a step (the same files); searchCostsPlain is its twin.
// Moving a plate (plate_resample.cpp; with AVX2 on x86-64, plate_resample_x86.cpp)
//   plateMap       the frame-to-plate map for a plate of any size stretched to the frame,
//                  the BG Scale / Pan fit and the camera motion.
//   resamplePlate  rows [firstRow, lastRow) of the moved plate: separable Catmull-Rom,
//                  clamped at the plate's border. Reads only the plate. Alpha is 255
//                  where the pixel lies on the plate, 0 where the border was extended.
// Key and composite (refined_key.cpp)
//   differenceKey         gray8 background share (255 = backdrop, 0 = solid subject) of
//                         the frame against the moved backdrop, or still equal to the
//                         returned image under the footprint; soft at the subject's edge.
//                         Over the place the subject was kept, a departure from the
//                         backdrop's fill with a colour of the backdrop's, or one the
//                         subject hardly shows that stays near the fill, is backdrop.
//   colourOdds            the subject's and the surrounding backdrop's colours, counted
//                         (backdropColour asks them about one colour).
//   compositeRefinedRows  dec = source + k (plate - backdrop), then the plate over dec by
//                         the share of the mask dec does not already hold,
//                         max(0, (m - k) / (1 - k)); k = key * blend, m = mask * blend
//                         (shares of 255); alpha 255.
// A whole frame (refined_frame.cpp)
//   renderRefined  camera motion (when a reference is given), both plates moved, the key
//                  (a host matte, else the difference key at two fifths of the Mask
//                  Threshold, told the uncovered backdrop when given the colours), shaped by Mask
//                  Size and Inner Feather as a soft matte (the key's own soft edge takes the place
//                  of Outer Feather), then the composite; out may be frame. With a cache the moved
//                  plates of the last frame are reused while the move, fit and plates match.
//   inRowBands     rows in bands of about 64, through a ParallelFor when given;
//                  inNumberedRowBands also tells each band its number.

// Largest channel difference at which the returned image still counts as the grabbed
// frame (the subject the service kept) when the plates are made.
constexpr int kPlateThreshold = 24;

struct Plates {
  int width = 0, height = 0;
  std::vector<uint8_t> background;  // RGBA8: the returned image, subject removed
  std::vector<uint8_t> backdrop;    // RGBA8: the grabbed frame, subject removed
  std::vector<uint8_t> footprint;   // gray8: 255 where the subject was
  std::vector<uint8_t> kept;        // gray8: 255 where the returned image kept the subject
};

std::vector<uint8_t> subjectFootprint(const uint8_t* returned, const uint8_t* grabbed, int width,
                                      int height, int threshold, int grow);
void fillPlate(std::vector<uint8_t>& rgba, const std::vector<uint8_t>& hole, int width, int height);
// Empty plates when an input is missing or empty.
Plates buildPlates(const uint8_t* returned, int returnedWidth, int returnedHeight,
                   const uint8_t* grabbed, int width, int height, int threshold);
// True when both were written whole; on false neither is left behind.
bool writePlates(const std::string& grabbedPath, const std::string& backgroundPath,
                 const std::string& plateOut, const std::string& backdropOut, int threshold);

struct CameraMotion {
  double scale = 1.0;
  double dx = 0.0, dy = 0.0;
};
struct MotionLevel {
  int width = 0, height = 0;
  std::vector<float> luma;
  std::vector<float> weight;  // reference levels only: 0 under the footprint
  // Reference levels the refinement works on read only their samples, pixels off the
  // footprint and the level's border: row y's are [rowStart[y], rowStart[y + 1]) of each
  // array (column, luma, central differences).
  std::vector<int32_t> sampleX;
  std::vector<float> sampleLuma, sampleGx, sampleGy;
  std::vector<uint32_t> rowStart;
};
// One pass of the refinement over a reference level's rows: reference point p lands on
// (ox, oy) + s p in the current level, whose bilinear value is compared with the sample's.
struct RefinementPass {
  double ox = 0.0, oy = 0.0, s = 1.0;
  double cx = 0.0, cy = 0.0;  // the level's centre, about which scale acts
  double cut = 1e30;          // the noise's cut; an edge's misalignment, slack, is added
  double slack = 1.0;
  double sigma = -1.0;      // Tukey's biweight when positive, else every residual counts 1
  bool measure = false;     // count the residuals' magnitudes
  bool spreadOnly = false;  // ... and sum nothing else
  bool scaled = false;      // the normal equations' third (scale) column too
  // Each sample's residual, by its index in the level's samples: stored into keepResiduals
  // when given, or read from keptResiduals (stored by a pass at the same move) instead of
  // interpolating the current level again. A sample off the level need not be stored.
  float* keepResiduals = nullptr;
  const float* keptResiduals = nullptr;
};
// Residual magnitudes are counted in bins this fine (luma levels); the last bin holds
// everything past the luma's range.
constexpr int kResidualBinsPerLevel = 16;
constexpr int kResidualBins = 256 * kResidualBinsPerLevel + 1;
struct RefinementSums {
  double H[3][3] = {}, g[3] = {}, sumR2 = 0.0, count = 0.0;
  std::vector<uint32_t> residuals;  // kResidualBins counts when measured, else left as given
};
// Sums one pass over rows [firstRow, lastRow) of ref into out. Samples go to four lanes by
// their place in the row, each lane summed in order and the lanes added last, so the sums
// are the same whatever does the work: refinementSums takes four samples a step,
// refinementSumsPlain each on its own.
void refinementSums(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                    int firstRow, int lastRow, RefinementSums& out);
void refinementSumsPlain(const MotionLevel& ref, const MotionLevel& cur, const RefinementPass& pass,
                         int firstRow, int lastRow, RefinementSums& out);
// The mean absolute difference of ref against cur moved by (dx, dy), for dy and every dx in
// -radius .. radius, into costs[dx + radius]; 1e30 where fewer than a quarter of ref's
// pixels overlap off the footprint. known holds, per row of ref, the running count of its
// pixels off the footprint (width + 1 entries a row). A row is summed in eight lanes by
// column, in a fixed order, so the costs are the same whatever does the work.
void searchCosts(const MotionLevel& ref, const std::vector<int>& known, const MotionLevel& cur,
                 int dy, int radius, double* costs);
void searchCostsPlain(const MotionLevel& ref, const std::vector<int>& known, const MotionLevel& cur,
                      int dy, int radius, double* costs);
struct MotionReference {
  std::vector<MotionLevel> levels;  // finest first; empty when the frame is too small
};

// Which reference pixels the refinement reads: the most detailed (those holding half the
// gradient energy: the render's choice, about twice as fast) or every one (a measurement's).
enum class MotionSamples { MostDetailed, Every };
MotionReference prepareMotionReference(const uint8_t* rgba, const std::vector<uint8_t>& footprint,
                                       int width, int height,
                                       MotionSamples samples = MotionSamples::MostDetailed);
// The identity when the frame's size differs from the reference's.
// parallel, when given, builds the frame's pyramid in row bands and measures the search's
// costs at once; the answer is the same to the bit.
CameraMotion estimateCameraMotion(const MotionReference& reference, const uint8_t* rgba, int width,
                                  int height, const ParallelFor& parallel = {});

// Plate position (ax * x + bx, ay * y + by) for frame pixel (x, y); pixel centres at integers.
struct PlateMap {
  double ax = 1.0, bx = 0.0, ay = 1.0, by = 0.0;
};
// scale, panX, panY as BG Scale, BG X Pan and BG Y Pan (percent of the frame).
PlateMap plateMap(int plateWidth, int plateHeight, int width, int height, double scale, double panX,
                  double panY, const CameraMotion& motion);
// out holds width * height RGBA8 pixels. resamplePlate filters each plate row once and
// works on a row's floats flat, several at a time; resamplePlatePlain, its plain twin,
// takes every output pixel on its own.
void resamplePlatePlain(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                        uint8_t* out, int width, int height, int firstRow, int lastRow);
void resamplePlate(const uint8_t* plate, int plateWidth, int plateHeight, const PlateMap& map,
                   uint8_t* out, int width, int height, int firstRow, int lastRow);

// still (RGBA8, the returned image at the frame's size) and footprint (gray8, frame
// coordinates of the generate frame) may be null; where both are given and the footprint is
// set, a pixel within threshold of still is subject too.
// parallel, when given, runs the per-pixel passes in row bands (the same bytes).
// The key's first pass over count pixels: subject[i] = 255 where the frame departs from the
// backdrop (known there: alpha not 0) by more than threshold in some channel, or, under the
// footprint, stays within threshold of still (still and footprint may be null); else 0.
// subjectPixels does four pixels a step; subjectPixelsPlain is its plain twin.
void subjectPixels(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                   const uint8_t* footprint, size_t count, int threshold, uint8_t* subject);
void subjectPixelsPlain(const uint8_t* frame, const uint8_t* backdrop, const uint8_t* still,
                        const uint8_t* footprint, size_t count, int threshold, uint8_t* subject);
// The colours of the subject (the returned image where it kept the subject: core) and of the
// backdrop estimate around the footprint (within a twenty-fourth of the frame's longer side, at
// least 16 px), counted in 8x8x8 bins. Where the moved backdrop is only a fill, the part of the old
// backdrop no frame had shown, a pixel off the fill is either the subject, moved, or that
// backdrop, uncovered; its colour tells which.
struct ColourOdds {
  std::vector<uint32_t> subject, backdrop;  // empty: nothing counted
  uint64_t subjectCount = 0, backdropCount = 0;
};
ColourOdds colourOdds(const uint8_t* returned, const uint8_t* backdrop,
                      const std::vector<uint8_t>& footprint, const std::vector<uint8_t>& core,
                      int width, int height);
// True when the colour (RGB8) is at least twice as common in the backdrop as in the subject,
// and no rarity there (one pixel in 2000 of the backdrop counted).
bool backdropColour(const ColourOdds& odds, const uint8_t* rgb);
// Where the moved backdrop is a fill behind the solid subject: core (gray8, the backdrop's own
// size) at map(frame pixel), to the nearest pixel.
struct UncoveredBackdrop {
  const uint8_t* core = nullptr;
  int width = 0, height = 0;
  PlateMap map;
  const ColourOdds* odds = nullptr;
};
// The masks are made on the subject's bounding box only; the plain twin makes them on the
// whole frame. With uncovered, a pixel taken for subject only by its departure from a fill,
// with the colour of the backdrop (or one the subject hardly shows, near the fill), is
// backdrop; and a free strand's faint flanks are weighed where the backdrop is known.
std::vector<uint8_t> differenceKey(const uint8_t* frame, const uint8_t* backdrop,
                                   const uint8_t* still, const uint8_t* footprint, int width,
                                   int height, int threshold, const ParallelFor& parallel = {},
                                   const UncoveredBackdrop* uncovered = nullptr);
std::vector<uint8_t> differenceKeyPlain(const uint8_t* frame, const uint8_t* backdrop,
                                        const uint8_t* still, const uint8_t* footprint, int width,
                                        int height, int threshold,
                                        const UncoveredBackdrop* uncovered = nullptr);

struct RefinedLayers {
  int width = 0, height = 0;
  const uint8_t* source = nullptr;    // RGBA8 frame
  const uint8_t* key = nullptr;       // gray8 backdrop share; null: no decontamination
  const uint8_t* mask = nullptr;      // gray8 background mask; null: 255 everywhere
  const uint8_t* plate = nullptr;     // RGBA8 new background, moved to the frame
  const uint8_t* backdrop = nullptr;  // RGBA8 original backdrop, moved; null: no decontamination
  float blend = 1.0f;
  uint8_t* output = nullptr;  // RGBA8; may be source
};
// compositeRefinedRows takes eight pixels at once where all are wholly subject or wholly
// background; compositeRefinedRowsPlain, its plain twin, takes every pixel on its own.
void compositeRefinedRows(const RefinedLayers& layers, int firstRow, int lastRow);
void compositeRefinedRowsPlain(const RefinedLayers& layers, int firstRow, int lastRow);

// Both plates as moved for the last frame, reused while the move, the fit and the plates
// stay (a still camera moves them the same way every frame). With them, the last frame's
// bytes, its camera move and its key: a host renders a parked frame again each time a
// slider moves, and the same frame against the same plates has the same move and key. The
// owner starts a new record when the background changes (its plates, returned image,
// footprint, colour odds or motion reference).
struct RefinedPlateCache {
  bool valid = false;
  const uint8_t* plateSource = nullptr;
  const uint8_t* backdropSource = nullptr;
  int plateWidth = 0, plateHeight = 0, backdropWidth = 0, backdropHeight = 0;
  int width = 0, height = 0;
  PlateMap plateAt, backdropAt;
  std::vector<uint8_t> plate, backdrop;
  std::vector<uint8_t> frame;  // RGBA8; empty: no frame kept
  CameraMotion motion;
  int keyThreshold = -1;  // the cut the kept key was made with; -1: none kept
  bool keyUncovered = false;
  std::vector<uint8_t> key;
};

struct RefinedInputs {
  const uint8_t* plate = nullptr;  // RGBA8 new background plate
  int plateWidth = 0, plateHeight = 0;
  const uint8_t* backdrop = nullptr;  // RGBA8 original backdrop estimate; null: none
  int backdropWidth = 0, backdropHeight = 0;
  const MotionReference* reference = nullptr;  // null: the camera is taken as still
  const uint8_t* returned = nullptr;   // RGBA8 returned image at the frame's size; null: none
  const uint8_t* footprint = nullptr;  // gray8 at the frame's size; null: none
  const uint8_t* matte = nullptr;      // gray8 host matte (255 = background); null: key
  bool maskNone = false;               // the background everywhere
  double bgScale = 1.0, panX = 0.0, panY = 0.0;
  float blend = 1.0f;
  int threshold = 51, grow = 0, innerFeather = 0, outerFeather = 0;
  RefinedPlateCache* cache = nullptr;  // null: both plates are moved every frame
  const uint8_t* core = nullptr;       // gray8 Plates::kept at the frame's size
  const ColourOdds* odds = nullptr;    // null (or no core): a departure from a fill is subject
};
// Runs rows(first, last) over [0, height) in bands of about 64 rows, through parallel when
// given, else one band after another on this thread.
void inRowBands(int height, const ParallelFor& parallel, const std::function<void(int, int)>& rows);
// The same bands, numbered: rows(band, first, last) for band in [0, rowBandCount(height)).
// The bands depend on the height alone, so sums made per band and added in band order are
// the same to the bit whatever the threads.
int rowBandCount(int height);
void inNumberedRowBands(int height, const ParallelFor& parallel,
                        const std::function<void(int, int, int)>& rows);

// motion (may be null) receives the camera's move; parallel, when given, runs the camera
// estimate, the resampling, the key and the composite in row bands (the same bytes).
void renderRefined(const RefinedInputs& inputs, const uint8_t* frame, int width, int height,
                   uint8_t* out, CameraMotion* motion, const ParallelFor& parallel = {});
