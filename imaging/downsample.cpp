// downsampleToGray without the general resampler: the same sums as stb_image_resize2's
// RGBA8 sRGB resize (imaging/resize_plan.h says which), in the same order, so the bytes are
// the same, but only the four channels that reach the output are carried (weighted colour
// and alpha), the unweighted colour is summed only for the rare outputs whose alpha comes
// out as zero, and the two halves of the square are made on two threads.
//
// Every float operation below is one the library performs on the same operands in the same
// order; the file is compiled without contraction into fused multiply-adds. Taps with a
// zero coefficient may be added or left out freely: they only ever add a signed zero.
#include "imaging/imaging.h"
#include "imaging/resample_kernels.h"
#include "imaging/resize_plan.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

typedef float F4 __attribute__((vector_size(16)));

inline F4 splat(float v) { return F4{v, v, v, v}; }

struct SrgbTables {
  float toLinear[256];
  uint8_t fromLinear[kSrgbEncodeEntries];
  float low, high;
  SrgbTables() {
    readSrgbTables(toLinear, fromLinear);
    std::memcpy(&low, &kSrgbEncodeLowBits, sizeof low);
    std::memcpy(&high, &kSrgbEncodeHighBits, sizeof high);
  }
  uint8_t encode(float f) const {
    if (!(f > low)) return fromLinear[0];
    if (f > high) return fromLinear[kSrgbEncodeEntries - 1];
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return fromLinear[(bits >> 12) - kSrgbEncodeFirst];
  }
};

const SrgbTables& srgbTables() {
  static const SrgbTables tables;
  return tables;
}

// One resize, prepared once per (frame size, square size).
struct Engine {
  bool usable = false;
  int inW = 0, inH = 0, outW = 0, outH = 0;
  bool verticalFirst = false;
  bool singleSum = false;  // one running sum over the columns instead of two
  int taps = 0;            // columns per output, padded to an even count with zero weights
  int colLo = 0, colHi = 0;  // decoded columns, beyond the image filled with zeros
  std::vector<int> hFirst;  // first tap of each output column, counted from colLo
  std::vector<F4> hWeight;  // outW * taps, each weight in all four lanes
  ColumnFilter columns() const {
    ColumnFilter f;
    f.outW = outW;
    f.taps = taps;
    f.singleSum = singleSum;
    f.first = hFirst.data();
    f.weights = reinterpret_cast<const float*>(hWeight.data());
    return f;
  }
  // Rows: per output row (vBegin/vRow/vWeight) and per input row (rBegin/rOut/rWeight),
  // both in the library's order of addition; zero weights dropped.
  std::vector<int> vBegin, vRow;
  std::vector<float> vWeight;
  std::vector<int> rBegin, rOut;
  std::vector<float> rWeight;
  int rowSpan = 1;  // most input rows from an output row's first to its last
};

std::shared_ptr<const Engine> buildEngine(int w, int h, int size) {
  // Refused plans are kept too (usable false), so the next frame goes straight to stb.
  auto e = std::make_shared<Engine>();
  e->inW = w;
  e->inH = h;
  e->outW = e->outH = size;
  RgbaSrgbPlan plan;
  if (!readRgbaSrgbPlan(w, h, size, size, plan)) return e;
  e->verticalFirst = plan.verticalFirst;
  e->singleSum = plan.hTaps <= 3;
  e->taps = (plan.hTaps + 1) & ~1;
  e->hFirst = plan.hFirst;
  e->hWeight.assign(static_cast<size_t>(size) * e->taps, splat(0.0f));
  e->colLo = plan.hFirst[0];
  e->colHi = plan.hFirst[0] + e->taps - 1;
  for (int x = 0; x < size; ++x) {
    for (int k = 0; k < plan.hTaps; ++k)
      e->hWeight[static_cast<size_t>(x) * e->taps + k] =
          splat(plan.hCoeff[static_cast<size_t>(x) * plan.hTaps + k]);
    e->colLo = std::min(e->colLo, plan.hFirst[x]);
    e->colHi = std::max(e->colHi, plan.hFirst[x] + e->taps - 1);
  }
  for (int& first : e->hFirst) first -= e->colLo;
  e->vBegin.assign(1, 0);
  for (int y = 0; y < size; ++y) {
    for (int i = plan.vBegin[y]; i < plan.vBegin[y + 1]; ++i) {
      if (plan.vCoeff[i] == 0.0f) continue;
      e->vRow.push_back(plan.vRow[i]);
      e->vWeight.push_back(plan.vCoeff[i]);
    }
    e->vBegin.push_back(static_cast<int>(e->vRow.size()));
    if (e->vBegin[y + 1] > e->vBegin[y])
      e->rowSpan = std::max(e->rowSpan, e->vRow[e->vBegin[y + 1] - 1] - e->vRow[e->vBegin[y]] + 1);
  }
  // Per input row, the output rows it feeds, in output-row order; each output row's own
  // entries stay in their order because its input rows never decrease.
  std::vector<int> count(static_cast<size_t>(h) + 1, 0);
  for (int r : e->vRow) ++count[r + 1];
  for (int r = 0; r < h; ++r) count[r + 1] += count[r];
  e->rBegin = count;
  e->rOut.resize(e->vRow.size());
  e->rWeight.resize(e->vRow.size());
  for (int y = 0; y < size; ++y)
    for (int i = e->vBegin[y]; i < e->vBegin[y + 1]; ++i) {
      if (i > e->vBegin[y] && e->vRow[i] < e->vRow[i - 1]) return e;  // not in row order
      const int slot = count[e->vRow[i]]++;
      e->rOut[slot] = y;
      e->rWeight[slot] = e->vWeight[i];
    }
  e->usable = true;
  return e;
}

// The last few engines, most recent first. Process-wide: frames of one size come again
// and again, and building an engine costs more than a frame.
std::shared_ptr<const Engine> engineFor(int w, int h, int size) {
  static std::mutex mutex;
  static std::vector<std::shared_ptr<const Engine>> recent;
  constexpr size_t kKept = 4;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < recent.size(); ++i) {
      const auto e = recent[i];
      if (e->inW == w && e->inH == h && e->outW == size) {
        recent.erase(recent.begin() + static_cast<long>(i));
        recent.insert(recent.begin(), e);
        return e;
      }
    }
  }
  std::shared_ptr<const Engine> built = buildEngine(w, h, size);
  std::lock_guard<std::mutex> lock(mutex);
  recent.insert(recent.begin(), built);
  if (recent.size() > kKept) recent.resize(kKept);
  return built;
}

inline float* fp(F4* v) { return reinterpret_cast<float*>(v); }

// Decoded columns colLo .. colHi of input row r: weighted (r*a, g*a, b*a, a) or unweighted
// (r, g, b, 0). Columns outside the image stay zero.
void decodeRow(const Engine& e, const SrgbTables& t, const uint8_t* rgba, int r, bool weighted,
               F4* out) {
  const int x0 = std::max(e.colLo, 0), x1 = std::min(e.colHi, e.inW - 1);
  const uint8_t* px = rgba + (static_cast<size_t>(r) * e.inW + x0) * 4;
  F4* d = out + (x0 - e.colLo);
  if (weighted) {
    if (x1 >= x0) decodeWeighted(px, x1 - x0 + 1, t.toLinear, fp(d));
  } else {
    if (x1 >= x0) decodeUnweighted(px, x1 - x0 + 1, t.toLinear, fp(d));
  }
}


// Output rows y0 .. y1-1 of one pass into acc ((y1 - y0) * outW sums). The weighted pass
// covers every output row; the unweighted pass only the rows marked in rowWanted (it is
// needed for a few of their pixels, but a whole row costs little more than a few columns).
void sumRows(const Engine& e, const SrgbTables& t, const uint8_t* rgba, int y0, int y1,
             bool weighted, const uint8_t* rowWanted, F4* acc) {
  const int W = e.outW;
  const ColumnFilter filter = e.columns();
  const size_t decW = static_cast<size_t>(e.colHi - e.colLo + 1);
  const auto wanted = [&](int y) { return y >= y0 && y < y1 && (!rowWanted || rowWanted[y - y0]); };
  int rLo = e.inH, rHi = -1;
  for (int y = y0; y < y1; ++y)
    if (wanted(y) && e.vBegin[y] < e.vBegin[y + 1]) {
      rLo = std::min(rLo, e.vRow[e.vBegin[y]]);
      rHi = std::max(rHi, e.vRow[e.vBegin[y + 1] - 1]);
    }
  std::fill(acc, acc + static_cast<size_t>(y1 - y0) * W, splat(0.0f));
  if (rHi < rLo) return;
  constexpr int kBatch = 4;  // rows filtered together, each block of weights read once for all
  const float* inPtr[kBatch];
  float* outPtr[kBatch];

  if (!e.verticalFirst) {
    // Columns first: input rows are decoded and filtered a few at a time, then added into
    // the output rows they feed, in input-row order.
    std::vector<F4> rows(kBatch * decW, splat(0.0f)), cols(static_cast<size_t>(kBatch) * W);
    for (int j = 0; j < kBatch; ++j) {
      inPtr[j] = fp(rows.data() + j * decW);
      outPtr[j] = fp(cols.data() + static_cast<size_t>(j) * W);
    }
    int batch[kBatch];
    int pending = 0;
    const auto flush = [&] {
      filterColumns(filter, inPtr, outPtr, pending);
      for (int j = 0; j < pending; ++j) {
        const int r = batch[j];
        const F4* c = cols.data() + static_cast<size_t>(j) * W;
        for (int i = e.rBegin[r]; i < e.rBegin[r + 1]; ++i) {
          const int y = e.rOut[i];
          if (!wanted(y)) continue;
          const F4 w = splat(e.rWeight[i]);
          F4* a = acc + static_cast<size_t>(y - y0) * W;
          for (int x = 0; x < W; ++x) a[x] += c[x] * w;
        }
      }
      pending = 0;
    };
    for (int r = rLo; r <= rHi; ++r) {
      bool any = false;
      for (int i = e.rBegin[r]; i < e.rBegin[r + 1] && !any; ++i) any = wanted(e.rOut[i]);
      if (!any) continue;
      decodeRow(e, t, rgba, r, weighted, rows.data() + pending * decW);
      batch[pending++] = r;
      if (pending == kBatch) flush();
    }
    if (pending > 0) flush();
    return;
  }

  // Rows first: each output row is the weighted sum of its decoded rows, kept in a ring
  // (an output row's input rows are never further apart than the ring is long, and they
  // only move down), then its columns are filtered, a few output rows at a time.
  const int ring = e.rowSpan;
  std::vector<F4> rows(static_cast<size_t>(ring) * decW, splat(0.0f));
  std::vector<F4> sums(kBatch * decW);
  std::vector<const float*> ins;
  std::vector<float> weights;
  int pending = 0;
  int decodedTo = rLo - 1;
  for (int y = y0; y < y1; ++y) {
    if (!wanted(y)) continue;
    ins.clear();
    weights.clear();
    for (int i = e.vBegin[y]; i < e.vBegin[y + 1]; ++i) {
      const int r = e.vRow[i];
      for (; decodedTo < r; ++decodedTo) {
        const int next = decodedTo + 1;
        decodeRow(e, t, rgba, next, weighted, rows.data() + static_cast<size_t>(next % ring) * decW);
      }
      ins.push_back(fp(rows.data() + static_cast<size_t>(r % ring) * decW));
      weights.push_back(e.vWeight[i]);
    }
    float* sum = fp(sums.data() + static_cast<size_t>(pending) * decW);
    weightedRowSum(ins.data(), weights.data(), static_cast<int>(ins.size()), sum, static_cast<int>(4 * decW));
    inPtr[pending] = sum;
    outPtr[pending] = fp(acc + static_cast<size_t>(y - y0) * W);
    if (++pending == kBatch) {
      filterColumns(filter, inPtr, outPtr, pending);
      pending = 0;
    }
  }
  if (pending > 0) filterColumns(filter, inPtr, outPtr, pending);
}

// Output rows y0 .. y1-1 of the square, into gray (size * size bytes).
void makeRows(const Engine& e, const uint8_t* rgba, int y0, int y1, uint8_t* gray) {
  const SrgbTables& t = srgbTables();
  const int W = e.outW;
  const size_t n = static_cast<size_t>(y1 - y0) * W;
  std::vector<F4> acc(n);
  sumRows(e, t, rgba, y0, y1, true, nullptr, acc.data());
  std::vector<uint8_t> clear(n, 0), clearRows(static_cast<size_t>(y1 - y0), 0);
  bool anyClear = false;
  uint8_t* out = gray + static_cast<size_t>(y0) * W;
  for (size_t i = 0; i < n; ++i) {
    const F4 v = acc[i];
    const float alpha = v[3];
    if (alpha < kTinyAlpha) {
      clear[i] = 1;
      clearRows[i / W] = 1;
      anyClear = true;
      continue;
    }
    const F4 c = v * splat(1.0f / alpha);
    out[i] = lumaOf(t.encode(c[0]), t.encode(c[1]), t.encode(c[2]));
  }
  if (!anyClear) return;
  // Where alpha came out as zero the library keeps the unweighted colour.
  sumRows(e, t, rgba, y0, y1, false, clearRows.data(), acc.data());
  for (size_t i = 0; i < n; ++i)
    if (clear[i]) out[i] = lumaOf(t.encode(acc[i][0]), t.encode(acc[i][1]), t.encode(acc[i][2]));
}

// Below this many frame pixels a second thread costs more than it saves.
constexpr long kThreadedPixels = 1L << 18;

}  // namespace

std::vector<uint8_t> downsampleToGray(const uint8_t* rgba, int width, int height, int size) {
  if (rgba == nullptr || width <= 0 || height <= 0 || size <= 0)
    return downsampleToGrayPlain(rgba, width, height, size);
  const std::shared_ptr<const Engine> e = engineFor(width, height, size);
  if (!e->usable) return downsampleToGrayPlain(rgba, width, height, size);
  std::vector<uint8_t> gray(static_cast<size_t>(size) * static_cast<size_t>(size));
  const int half = size / 2;
  if (static_cast<long>(width) * height < kThreadedPixels || half == 0) {
    makeRows(*e, rgba, 0, size, gray.data());
    return gray;
  }
  std::exception_ptr otherFailed;
  std::thread other;
  try {
    other = std::thread([&] {
      try {
        makeRows(*e, rgba, half, size, gray.data());
      } catch (...) {
        otherFailed = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    makeRows(*e, rgba, 0, size, gray.data());  // no second thread to be had
    return gray;
  }
  try {
    makeRows(*e, rgba, 0, half, gray.data());
  } catch (...) {
    other.join();
    throw;
  }
  other.join();
  if (otherFailed) std::rethrow_exception(otherFailed);
  return gray;
}
