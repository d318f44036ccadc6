// downsampleToGray without the general resampler: the same sums as stb_image_resize2's
// RGBA8 sRGB resize (imaging/resize_plan.h says which), in the same order, so the bytes are
// the same, but only the four channels that reach the output are carried (weighted colour
// and alpha), the unweighted colour is summed only for the rare outputs whose alpha comes
// out as zero, and the two halves of the square may be made on two of the caller's threads.
//
// Every float operation below is one the library performs on the same operands in the same
// order; the file is compiled without contraction into fused multiply-adds. Taps with a
// zero coefficient may be added or left out freely: they only ever add a signed zero.
#include "imaging/imaging.h"
#include "imaging/resample_kernels.h"
#include "imaging/resize_plan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

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
  bool singleSum = false;    // one running sum over the columns instead of two
  int taps = 0;              // columns per output, padded to an even count with zero weights
  int colLo = 0, colHi = 0;  // decoded columns, beyond the image filled with zeros
  std::vector<int> hFirst;   // first tap of each output column, counted from colLo
  std::vector<F4> hWeight;   // outW * taps, each weight in all four lanes
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
  for (int x = 1; x < size; ++x)
    if (e->hFirst[x] < e->hFirst[x - 1]) return e;  // runs out of column order
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

// A run of output columns [from, to) or of image pixels [from, to); empty when from >= to.
struct Span {
  int from = 0, to = 0;
  bool empty() const { return from >= to; }
  void cover(Span o) {
    if (o.empty()) return;
    if (empty()) *this = o;
    else from = std::min(from, o.from), to = std::max(to, o.to);
  }
};

// The output columns whose taps reach into pixels p (image coordinates). Runs start in
// column order (checked when the engine is built), so the columns form one run.
Span columnsOver(const Engine& e, Span p) {
  if (p.empty()) return Span{};
  const auto start = [&](int c) { return e.colLo + e.hFirst[c]; };
  int lo = 0, hi = e.outW;  // first column whose run ends after p.from
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (start(mid) + e.taps > p.from) hi = mid;
    else lo = mid + 1;
  }
  int end = lo;
  while (end < e.outW && start(end) < p.to) ++end;
  return Span{lo, end};
}

// The pixels (image coordinates, clipped to the image) the taps of columns x read.
Span pixelsUnder(const Engine& e, Span x) {
  if (x.empty()) return Span{};
  return Span{std::max(e.colLo + e.hFirst[x.from], 0),
              std::min(e.colLo + e.hFirst[x.to - 1] + e.taps, e.inW)};
}

// First to last pixel of row r with a nonzero alpha: outside it the weighted values are
// exactly zero, and so is every sum made of them only.
Span alphaSpan(const Engine& e, const uint8_t* rgba, int r) {
  const uint8_t* row = rgba + static_cast<size_t>(r) * e.inW * 4;
  Span s{0, e.inW};
  while (s.from < s.to && row[4 * s.from + 3] == 0) ++s.from;
  while (s.to > s.from && row[4 * (s.to - 1) + 3] == 0) --s.to;
  return s;
}

inline float* fp(F4* v) { return reinterpret_cast<float*>(v); }

// Pixels p of input row r into out (indexed from colLo): weighted (r*a, g*a, b*a, a) or
// unweighted (r, g, b, 0). Other entries are left as they are; those beyond the image are
// zero from the start and never written.
void decodeRow(const Engine& e, const SrgbTables& t, const uint8_t* rgba, int r, bool weighted,
               Span p, F4* out) {
  if (p.empty()) return;
  const uint8_t* px = rgba + (static_cast<size_t>(r) * e.inW + p.from) * 4;
  float* d = fp(out + (p.from - e.colLo));
  if (weighted) decodeWeighted(px, p.to - p.from, t.toLinear, d);
  else decodeUnweighted(px, p.to - p.from, t.toLinear, d);
}

// Output rows y0 .. y1-1 of one pass into acc ((y1 - y0) * outW sums), each output row y
// over the columns wantedColumns[y - y0] only (others stay zero). The weighted pass is
// also held to the pixels with a nonzero alpha.
void sumRows(const Engine& e, const SrgbTables& t, const uint8_t* rgba, int y0, int y1,
             bool weighted, const Span* wantedColumns, F4* acc) {
  const int W = e.outW;
  const ColumnFilter filter = e.columns();
  const size_t decW = static_cast<size_t>(e.colHi - e.colLo + 1);
  const auto wanted = [&](int y) { return y >= y0 && y < y1 && !wantedColumns[y - y0].empty(); };
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
  const Span allPixels{0, e.inW};

  if (!e.verticalFirst) {
    // Columns first: input rows are decoded and filtered a few at a time, then added into
    // the output rows they feed, in input-row order.
    std::vector<F4> rows(kBatch * decW, splat(0.0f)), cols(static_cast<size_t>(kBatch) * W);
    for (int j = 0; j < kBatch; ++j) {
      inPtr[j] = fp(rows.data() + j * decW);
      outPtr[j] = fp(cols.data() + static_cast<size_t>(j) * W);
    }
    int batch[kBatch];
    Span rowColumns[kBatch], batchColumns;
    int pending = 0;
    const auto flush = [&] {
      filterColumns(filter, inPtr, outPtr, pending, batchColumns.from, batchColumns.to);
      for (int j = 0; j < pending; ++j) {
        const int r = batch[j];
        const Span x = rowColumns[j];
        F4* c = cols.data() + static_cast<size_t>(j) * W;
        for (int i = e.rBegin[r]; i < e.rBegin[r + 1]; ++i) {
          const int y = e.rOut[i];
          if (!wanted(y)) continue;
          addWeightedRow(fp(acc + static_cast<size_t>(y - y0) * W + x.from), fp(c + x.from),
                         e.rWeight[i], 4 * (x.to - x.from));
        }
      }
      pending = 0;
      batchColumns = Span{};
    };
    for (int r = rLo; r <= rHi; ++r) {
      Span x;
      for (int i = e.rBegin[r]; i < e.rBegin[r + 1]; ++i)
        if (wanted(e.rOut[i])) x.cover(wantedColumns[e.rOut[i] - y0]);
      if (weighted && !x.empty()) {
        // The next row's far end is fetched now: the decode streams a row from its start,
        // but the alpha run is found from both ends before the row is decoded.
        if (r + 1 < e.inH) __builtin_prefetch(rgba + (static_cast<size_t>(r + 2) * e.inW - 1) * 4);
        const Span live = columnsOver(e, alphaSpan(e, rgba, r));
        x = Span{std::max(x.from, live.from), std::min(x.to, live.to)};
      }
      if (x.empty()) continue;
      decodeRow(e, t, rgba, r, weighted, pixelsUnder(e, x), rows.data() + pending * decW);
      rowColumns[pending] = x;
      batchColumns.cover(x);
      batch[pending++] = r;
      if (pending == kBatch) flush();
    }
    if (pending > 0) flush();
    return;
  }

  // Rows first: each output row is the weighted sum of its decoded rows, kept in a ring
  // (an output row's input rows are never further apart than the ring is long, and they
  // only move down), then its columns are filtered, a few output rows at a time. Rows
  // without any alpha add nothing to the weighted sums and are left out of them.
  const int ring = e.rowSpan;
  std::vector<F4> rows(static_cast<size_t>(ring) * decW, splat(0.0f));
  std::vector<Span> live(static_cast<size_t>(ring));  // pixels with alpha, per ring row
  std::vector<F4> sums(kBatch * decW), cols(static_cast<size_t>(kBatch) * W);
  std::vector<const float*> ins;
  std::vector<float> weights;
  int pending = 0, batch[kBatch];
  Span rowColumns[kBatch], batchColumns;
  int decodedTo = rLo - 1;
  for (int j = 0; j < kBatch; ++j) outPtr[j] = fp(cols.data() + static_cast<size_t>(j) * W);
  // Each output row keeps only its own columns: the others were filtered from sums it
  // did not make.
  const auto flush = [&] {
    filterColumns(filter, inPtr, outPtr, pending, batchColumns.from, batchColumns.to);
    for (int j = 0; j < pending; ++j)
      std::copy(cols.begin() + static_cast<long>(j) * W + rowColumns[j].from,
                cols.begin() + static_cast<long>(j) * W + rowColumns[j].to,
                acc + static_cast<size_t>(batch[j] - y0) * W + rowColumns[j].from);
    pending = 0;
    batchColumns = Span{};
  };
  for (int y = y0; y < y1; ++y) {
    if (!wanted(y)) continue;
    ins.clear();
    weights.clear();
    Span alive;
    for (int i = e.vBegin[y]; i < e.vBegin[y + 1]; ++i) {
      const int r = e.vRow[i];
      for (; decodedTo < r; ++decodedTo) {
        const int next = decodedTo + 1;
        const Span a = weighted ? alphaSpan(e, rgba, next) : allPixels;
        live[next % ring] = a;
        if (!a.empty())
          decodeRow(e, t, rgba, next, weighted, allPixels,
                    rows.data() + static_cast<size_t>(next % ring) * decW);
      }
      const Span a = live[r % ring];
      if (a.empty()) continue;
      alive.cover(a);
      ins.push_back(fp(rows.data() + static_cast<size_t>(r % ring) * decW));
      weights.push_back(e.vWeight[i]);
    }
    Span x = wantedColumns[y - y0];
    if (weighted) {
      const Span reach = columnsOver(e, alive);
      x = Span{std::max(x.from, reach.from), std::min(x.to, reach.to)};
    }
    if (x.empty() || ins.empty()) continue;
    const Span p = pixelsUnder(e, x);
    F4* sum = sums.data() + static_cast<size_t>(pending) * decW;
    const size_t at = static_cast<size_t>(p.from - e.colLo);
    for (const float*& in : ins) in += 4 * at;
    weightedRowSum(ins.data(), weights.data(), static_cast<int>(ins.size()), fp(sum + at),
                   4 * (p.to - p.from));
    inPtr[pending] = fp(sum);
    rowColumns[pending] = x;
    batch[pending] = y;
    batchColumns.cover(x);
    if (++pending == kBatch) flush();
  }
  if (pending > 0) flush();
}

// Output rows y0 .. y1-1 of the square, into gray (size * size bytes).
void makeRows(const Engine& e, const uint8_t* rgba, int y0, int y1, uint8_t* gray) {
  const SrgbTables& t = srgbTables();
  const int W = e.outW;
  const int rowsHere = y1 - y0;
  const size_t n = static_cast<size_t>(rowsHere) * W;
  std::vector<F4> acc(n);
  std::vector<Span> columns(static_cast<size_t>(rowsHere), Span{0, W});
  sumRows(e, t, rgba, y0, y1, true, columns.data(), acc.data());
  std::vector<uint8_t> clear(n, 0);
  bool anyClear = false;
  uint8_t* out = gray + static_cast<size_t>(y0) * W;
  for (int y = 0; y < rowsHere; ++y) {
    Span cleared;
    for (int x = 0; x < W; ++x) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const F4 v = acc[i];
      const float alpha = v[3];
      if (alpha < kTinyAlpha) {
        clear[i] = 1;
        cleared.cover(Span{x, x + 1});
        continue;
      }
      const F4 c = v * splat(1.0f / alpha);
      out[i] = lumaOf(t.encode(c[0]), t.encode(c[1]), t.encode(c[2]));
    }
    columns[y] = cleared;
    anyClear = anyClear || !cleared.empty();
  }
  if (!anyClear) return;
  // Where alpha came out as zero the library keeps the unweighted colour.
  sumRows(e, t, rgba, y0, y1, false, columns.data(), acc.data());
  for (size_t i = 0; i < n; ++i)
    if (clear[i]) out[i] = lumaOf(t.encode(acc[i][0]), t.encode(acc[i][1]), t.encode(acc[i][2]));
}

// Below this many frame pixels a second thread costs more than it saves.
constexpr long kThreadedPixels = 1L << 18;

}  // namespace

std::vector<uint8_t> downsampleToGray(const uint8_t* rgba, int width, int height, int size,
                                      const ParallelFor& parallel) {
  if (rgba == nullptr || width <= 0 || height <= 0 || size <= 0)
    return downsampleToGrayPlain(rgba, width, height, size);
  const std::shared_ptr<const Engine> e = engineFor(width, height, size);
  if (!e->usable) return downsampleToGrayPlain(rgba, width, height, size);
  std::vector<uint8_t> gray(static_cast<size_t>(size) * static_cast<size_t>(size));
  const int half = size / 2;
  if (!parallel || static_cast<long>(width) * height < kThreadedPixels || half == 0) {
    makeRows(*e, rgba, 0, size, gray.data());
    return gray;
  }
  // The halves write disjoint rows of gray; each is the same sums whichever thread runs it.
  parallel(2, [&](int index) {
    if (index == 0) makeRows(*e, rgba, 0, half, gray.data());
    else makeRows(*e, rgba, half, size, gray.data());
  });
  return gray;
}
