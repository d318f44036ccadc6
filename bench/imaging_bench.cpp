// Imaging kernels at 1080p against the floor of one memcpy of an RGBA8 frame, each beside
// its plain twin.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "imaging/imaging.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

std::vector<uint8_t> frameRgba(int shiftX = 0, int shiftY = 0, int w = kW, int h = kH) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(0, 6);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = x - shiftX, v = y - shiftY;
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(120 + 80 * std::sin(u * 0.004) + noise(rng));
      p[1] = static_cast<uint8_t>(120 + 70 * std::cos(v * 0.005) + noise(rng));
      p[2] = static_cast<uint8_t>(120 + 60 * std::sin((u + v) * 0.003) + noise(rng));
      p[3] = 255;
    }
  return f;
}

// A difference image like the service produces: a subject of low values in the middle,
// high values around it, and noise.
std::vector<uint8_t> differenceImage() {
  std::vector<uint8_t> d(static_cast<size_t>(kW) * kH);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> noise(0, 40);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const double ex = (x - 960.0) / 400.0, ey = (y - 600.0) / 420.0;
      const bool subject = ex * ex + ey * ey < 1.0;
      d[static_cast<size_t>(y) * kW + x] =
          static_cast<uint8_t>(subject ? noise(rng) : 60 + 4 * noise(rng));
    }
  return d;
}

void BM_Memcpy1080pRgba(benchmark::State& state) {
  const std::vector<uint8_t> src = frameRgba();
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(src.size()));
}

template <void (*Morph)(std::vector<uint8_t>&, int, int, int, bool)>
void BM_Morph(benchmark::State& state) {
  const std::vector<uint8_t> mask = differenceImage();
  std::vector<uint8_t> work;
  for (auto _ : state) {
    work = mask;
    Morph(work, kW, kH, static_cast<int>(state.range(0)), true);
    benchmark::DoNotOptimize(work.data());
  }
}

template <void (*Blur)(std::vector<uint8_t>&, int, int, int)>
void BM_BoxBlur(benchmark::State& state) {
  const std::vector<uint8_t> mask = differenceImage();
  std::vector<uint8_t> work;
  for (auto _ : state) {
    work = mask;
    Blur(work, kW, kH, static_cast<int>(state.range(0)));
    benchmark::DoNotOptimize(work.data());
  }
}

template <std::vector<uint8_t> (*Build)(const std::vector<uint8_t>&, int, int, float, bool, int,
                                        int, int)>
void BM_BuildMaskChain(benchmark::State& state) {
  const std::vector<uint8_t> diff = differenceImage();
  for (auto _ : state) {
    std::vector<uint8_t> mask = Build(diff, kW, kH, 51.0f, false, 5, 5, 5);
    benchmark::DoNotOptimize(mask.data());
  }
}

std::vector<uint8_t> anchorSquare() {
  const std::vector<uint8_t> f = frameRgba();
  return downsampleToGray(f.data(), kW, kH, 128);
}

template <uint64_t (*Track)(const std::vector<uint8_t>&, const std::vector<uint8_t>&, int, int)>
void BM_TrackOffset(benchmark::State& state) {
  const std::vector<uint8_t> anchor = anchorSquare();
  const std::vector<uint8_t> moved = frameRgba(40, -25);
  const std::vector<uint8_t> current = downsampleToGray(moved.data(), kW, kH, 128);
  for (auto _ : state) benchmark::DoNotOptimize(Track(anchor, current, 128, 32));
}

using Downsample = std::vector<uint8_t> (*)(const uint8_t*, int, int, int);

// The pool a caller lends the reduction, as the render lends the host's threads: the
// first body on the calling thread, each other on a thread of its own.
void onTwoThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> others;
  for (int i = 1; i < count; ++i) others.emplace_back(body, i);
  if (count > 0) body(0);
  for (std::thread& t : others) t.join();
}
std::vector<uint8_t> downsampleOnTwoThreads(const uint8_t* rgba, int w, int h, int size) {
  return downsampleToGray(rgba, w, h, size, onTwoThreads);
}

template <Downsample Reduce>
void BM_DownsampleToGray(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const std::vector<uint8_t> f = frameRgba(0, 0, w, h);
  for (auto _ : state) {
    std::vector<uint8_t> g = Reduce(f.data(), w, h, 128);
    benchmark::DoNotOptimize(g.data());
  }
}

// What the render action does per frame when tracking: reduce, then search.
template <Downsample Reduce>
void BM_TrackingStep1080p(benchmark::State& state) {
  const std::vector<uint8_t> anchor = anchorSquare();
  const std::vector<uint8_t> moved = frameRgba(40, -25);
  for (auto _ : state) {
    const std::vector<uint8_t> current = Reduce(moved.data(), kW, kH, 128);
    benchmark::DoNotOptimize(trackOffset(anchor, current, 128, 32));
  }
}

void BM_TransformBg1080p(benchmark::State& state) {
  const std::vector<uint8_t> bg = frameRgba(7, 7);
  for (auto _ : state) {
    BgTransform t = transformBg(bg.data(), kW, kH, kW, kH, 1.1f, 5.0f, -3.0f);
    benchmark::DoNotOptimize(t.pixels.data());
  }
}

// One pass of the camera refinement over the 1080p frame's finest refined level (960x540,
// every other pixel of the faint gradient): scale included and the residuals counted, the
// costliest kind of pass.
template <void (*Pass)(const MotionLevel&, const MotionLevel&, const RefinementPass&, int, int,
                       RefinementSums&)>
void BM_RefinementPass(benchmark::State& state) {
  const std::vector<uint8_t> still(static_cast<size_t>(kW) * kH, 0);
  const MotionReference ref = prepareMotionReference(frameRgba().data(), still, kW, kH);
  const MotionReference cur = prepareMotionReference(frameRgba(2, 1).data(), still, kW, kH);
  const MotionLevel& r = ref.levels[1];
  RefinementPass pass;
  pass.cx = (r.width - 1) * 0.5;
  pass.cy = (r.height - 1) * 0.5;
  pass.ox = 0.93;
  pass.oy = 0.41;
  pass.sigma = 1.5;
  pass.cut = 4.685 * pass.sigma;
  pass.slack = 0.1;
  pass.measure = true;
  pass.scaled = true;
  RefinementSums sums;
  for (auto _ : state) {
    Pass(r, cur.levels[1], pass, 0, r.height, sums);
    benchmark::DoNotOptimize(sums.H[0][0]);
  }
}

void Median(benchmark::internal::Benchmark* b) {
  b->Repetitions(7)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
}

// downsampleToGray splits large frames over the two threads lent to it: time on the wall clock, CPU
// time of the whole process.
void ThreadedMedian(benchmark::internal::Benchmark* b) {
  Median(b);
  b->UseRealTime()->MeasureProcessCPUTime();
}

}  // namespace

BENCHMARK(BM_Memcpy1080pRgba)->Apply(Median);
BENCHMARK(BM_Morph<morphH>)->Name("BM_MorphH")->Arg(1)->Arg(5)->Arg(30)->Apply(Median);
BENCHMARK(BM_Morph<morphV>)->Name("BM_MorphV")->Arg(1)->Arg(5)->Arg(30)->Apply(Median);
BENCHMARK(BM_Morph<morphHPlain>)->Name("BM_MorphHPlain")->Arg(5)->Apply(Median);
BENCHMARK(BM_Morph<morphVPlain>)->Name("BM_MorphVPlain")->Arg(5)->Apply(Median);
BENCHMARK(BM_BoxBlur<boxBlur>)->Name("BM_BoxBlur")->Arg(5)->Apply(Median);
BENCHMARK(BM_BoxBlur<boxBlurPlain>)->Name("BM_BoxBlurPlain")->Arg(5)->Apply(Median);
BENCHMARK(BM_BuildMaskChain<buildMask>)->Name("BM_BuildMaskChain")->Apply(Median);
BENCHMARK(BM_BuildMaskChain<buildMaskPlain>)->Name("BM_BuildMaskChainPlain")->Apply(Median);
BENCHMARK(BM_TrackOffset<trackOffset>)->Name("BM_TrackOffset128Range32")->Apply(Median);
BENCHMARK(BM_TrackOffset<trackOffsetPlain>)->Name("BM_TrackOffsetPlain128Range32")->Apply(Median);
BENCHMARK(BM_DownsampleToGray<downsampleOnTwoThreads>)
    ->Name("BM_DownsampleToGray")
    ->Args({1920, 1080})
    ->Args({1080, 1920})
    ->Args({3840, 2160})
    ->Apply(ThreadedMedian);
BENCHMARK(BM_DownsampleToGray<downsampleToGrayPlain>)
    ->Name("BM_DownsampleToGrayPlain")
    ->Args({1920, 1080})
    ->Apply(ThreadedMedian);
BENCHMARK(BM_TrackingStep1080p<downsampleOnTwoThreads>)
    ->Name("BM_TrackingStep1080p")
    ->Apply(ThreadedMedian);
BENCHMARK(BM_TrackingStep1080p<downsampleToGrayPlain>)
    ->Name("BM_TrackingStepPlain1080p")
    ->Apply(ThreadedMedian);
BENCHMARK(BM_TransformBg1080p)->Apply(Median);
BENCHMARK(BM_RefinementPass<refinementSums>)->Name("BM_RefinementPass1080p")->Apply(Median);
BENCHMARK(BM_RefinementPass<refinementSumsPlain>)
    ->Name("BM_RefinementPassPlain1080p")
    ->Apply(Median);

BENCHMARK_MAIN();
