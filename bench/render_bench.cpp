// The whole render through the real bundle in our host, and the render's own
// kernels, each beside a memcpy of the same frame in the same run.
//
// Render scenarios (1920x1080 and 3840x2160, 8-bit and float, 2 host threads). Every frame
// holds a subject (an ellipse with colours of its own) before a smooth, noisy backdrop; the
// generated background keeps the subject and replaces the rest, as the service does.
//   PassThrough    no prompt
//   MaskNone       cached background, mask source None (blend 1, and 0.5)
//   AutoDiff       cached background and difference mask (Auto, no matte)
//   SourceMatte    a soft matte in the source alpha, outer feather 5
//   AutoDiffTrack  AutoDiff with motion tracking against a cached anchor
//   Refined        Composite Refined on the Auto path: camera motion, both plates moved,
//                  the difference key and the decontaminated composite, rendering the grab's
//                  frame again and again (as a host does while a slider moves): the frame's
//                  move and key are kept from one render to the next
//   RefinedStill   the same on two frames of a still camera with different noise, taken in
//                  turn: every render estimates the move and keys, the moved plates are kept
//   RefinedPan     the same on two frames the camera panned by different fractions of a
//                  pixel, taken in turn: every render estimates the move and resamples
// PlateBuild: the generate-time plate work (buildPlates) at 1080p, on one thread as the
// worker does it.
// Memcpy_*: the RGBA8 frame (w*h*4 bytes) and the host frame's bytes.
// LargeAnswer: a 16000x16000 generated background for a 1080p frame. Reduce is
//   the worker's one-off work (decode, bring down to the frame, write);
//   Render/reduced and Render/unreduced the render that first shows it, from
//   the reduced file and from the large one (what the render did before).
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stb_image_write.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "core/core.h"
#include "host/host.h"
#include "imaging/imaging.h"
#include "render/render.h"
#include "tests/support/flat_png.h"

namespace {

// ---- frames ---------------------------------------------------------------------

// How far (x, y) lies from the frame's centre of the subject, an upright ellipse: under 1
// inside it.
double subjectDistance(int x, int y, int w, int h) {
  const double ex = (x - w / 2.0) / (w * 0.2), ey = (y - h * 0.55) / (h * 0.38);
  return std::sqrt(ex * ex + ey * ey);
}

// (panX, panY): where the camera has moved since the grab, pixels; the subject stays where
// it is in the frame, as one the camera follows does.
// seed: the sensor noise's; another seed is another frame of a still camera.
std::vector<uint8_t> frameRgba(int w, int h, bool matte, double panX = 0.0, double panY = 0.0,
                               unsigned seed = 3) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(0, 6);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 4];
      const double u = x + panX, v = y + panY;
      const double d = subjectDistance(x, y, w, h);
      if (d < 1.0) {
        // A warm, striped garment, unlike the backdrop anywhere.
        p[0] = static_cast<uint8_t>(190 + 40 * std::sin(x * 0.09) + noise(rng));
        p[1] = static_cast<uint8_t>(60 + 30 * std::cos(y * 0.07) + noise(rng));
        p[2] = static_cast<uint8_t>(40 + noise(rng));
      } else {
        p[0] = static_cast<uint8_t>(120 + 80 * std::sin(u * 0.004) + noise(rng));
        p[1] = static_cast<uint8_t>(120 + 70 * std::cos(v * 0.005) + noise(rng));
        p[2] = static_cast<uint8_t>(120 + 60 * std::sin((u + v) * 0.003) + noise(rng));
      }
      p[3] = 255;
      if (matte) {
        // Background (255) around the subject (0), with a soft edge.
        const double a = d < 0.97 ? 0 : d > 1.03 ? 255 : (d - 0.97) / 0.06 * 255;
        p[3] = static_cast<uint8_t>(a);
      }
    }
  }
  return f;
}

// What the service returns for a grabbed frame: the subject kept, the rest replaced.
std::vector<uint8_t> serviceAnswer(const std::vector<uint8_t>& grabbed, int w, int h) {
  std::vector<uint8_t> returned = grabbed;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (subjectDistance(x, y, w, h) < 1.0) continue;
      uint8_t* p = &returned[(static_cast<size_t>(y) * w + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(255 - p[c]);
    }
  return returned;
}

std::vector<uint8_t> differenceImage(int w, int h) {
  std::vector<uint8_t> d(static_cast<size_t>(w) * h);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> noise(0, 40);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool subject = subjectDistance(x, y, w, h) < 1.0;
      d[static_cast<size_t>(y) * w + x] =
          static_cast<uint8_t>(subject ? noise(rng) : 60 + 4 * noise(rng));
    }
  }
  return d;
}

// ---- one bundle for the whole run ---------------------------------------------------

struct Session {
  Host* host = nullptr;
  HostInstance* instance = nullptr;
  std::string key;  // the effect key naming its working files
  std::string home;
};

Session& sessionState() {
  static Session s;
  return s;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Opened at the first render benchmark, so kernel-only runs load no bundle.
Session& session() {
  Session& s = sessionState();
  if (s.host) return s;
  char tmpl[] = "/tmp/talvane-bench-XXXXXX";
  s.home = mkdtemp(tmpl);
  setenv("HOME", s.home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (s.home + "/.config").c_str(), 1);
  unsetenv("TALVANE_DEBUG");
  makeWorkDir();
  HostConfig config;
  config.numCPUs = 2;
  std::string error;
  s.host = hostOpen(TALVANE_BENCH_BUNDLE, config, &error);
  if (!s.host) {
    std::fprintf(stderr, "cannot open the bundle: %s\n", error.c_str());
    std::exit(1);
  }
  hostLoad(s.host);
  hostDescribe(s.host);
  hostDescribeInContext(s.host, kOfxImageEffectContextGeneral);
  OfxStatus status = 0;
  s.instance = hostCreateInstance(s.host, kOfxImageEffectContextGeneral, &status);
  const auto* record = static_cast<const Instance*>(
      hostPropPointer(hostInstanceProps(s.instance), kOfxPropInstanceData));
  s.key = record->key;
  return s;
}

// The working files a generation leaves for prompt "bench" at this frame size.
void writeWorkingFiles(int w, int h) {
  Session& s = session();
  static int written = 0;
  if (written == w) return;
  written = w;
  const std::vector<uint8_t> bg = frameRgba(w, h, false);
  const std::vector<uint8_t> warm = serviceAnswer(bg, w, h);
  stbi_write_png(cacheFile(s.key, "bench").c_str(), w, h, 4, warm.data(), w * 4);
  const std::vector<uint8_t> diff = differenceImage(w, h);
  stbi_write_png(rawdiffFile(s.key, "bench").c_str(), w, h, 1, diff.data(), w);
  stbi_write_png(grabbedFile(s.key).c_str(), w, h, 4, bg.data(), w * 4);
  writeAnchor(grabbedFile(s.key), anchorFile(s.key, "bench"), 128);
  writePlates(grabbedFile(s.key), cacheFile(s.key, "bench"), plateFile(s.key, "bench"),
              backdropFile(s.key, "bench"), kPlateThreshold);
}

enum Scenario {
  PassThrough,
  MaskNone,
  MaskNoneHalfBlend,
  AutoDiff,
  SourceMatte,
  AutoDiffTrack,
  Refined,
  RefinedStill,
  RefinedPan
};

void BM_Render(benchmark::State& state, Scenario scenario, int w, int h, bool isFloat) {
  Session& s = session();
  writeWorkingFiles(w, h);
  const char* depth = isFloat ? kOfxBitDepthFloat : kOfxBitDepthByte;
  const OfxRectI bounds{0, 0, w, h};
  auto source = hostMakeImage(depth, kOfxImageComponentRGBA, bounds);
  auto output = hostMakeImage(depth, kOfxImageComponentRGBA, bounds);
  std::shared_ptr<HostImage> panned;
  if (scenario == RefinedPan) {
    hostFillFromRGBA8(*source, frameRgba(w, h, false, 1.6, -0.7));
    panned = hostMakeImage(depth, kOfxImageComponentRGBA, bounds);
    hostFillFromRGBA8(*panned, frameRgba(w, h, false, 2.3, 1.4));
  } else if (scenario == RefinedStill) {
    hostFillFromRGBA8(*source, frameRgba(w, h, false, 0.0, 0.0, 4));
    panned = hostMakeImage(depth, kOfxImageComponentRGBA, bounds);
    hostFillFromRGBA8(*panned, frameRgba(w, h, false, 0.0, 0.0, 5));
  } else {
    hostFillFromRGBA8(*source, frameRgba(w, h, scenario == SourceMatte));
  }
  hostSetClipImage(s.instance, "Source", source);
  hostSetClipImage(s.instance, "Output", output);
  hostSetValue(s.instance, "prompt", std::string(scenario == PassThrough ? "" : "bench"));
  hostSetValue(s.instance, "maskSource",
               scenario == MaskNone || scenario == MaskNoneHalfBlend ? 1.0 : 0.0);
  hostSetValue(s.instance, "blend", scenario == MaskNoneHalfBlend ? 0.5 : 1.0);
  hostSetValue(s.instance, "outFeather", 5.0);
  hostSetValue(s.instance, "trackMotion", scenario == AutoDiffTrack ? 1.0 : 0.0);
  hostSetValue(s.instance, "compositeMode", scenario >= Refined ? 1.0 : 0.0);
  hostRender(s.instance, 0);  // caches filled: decode, fit, mask
  bool turn = false;
  for (auto _ : state) {
    if (panned) {
      turn = !turn;
      hostSetClipImage(s.instance, "Source", turn ? panned : source);
    }
    hostRender(s.instance, 0);
    benchmark::ClobberMemory();
  }
  hostSetClipImage(s.instance, "Source", nullptr);
  hostSetClipImage(s.instance, "Output", nullptr);
}

// ---- an answer far larger than the frame ----

constexpr int kLargeSide = 16000;

std::string largeAnswerFile() {
  static std::string path;
  if (path.empty()) {
    path = tempDir() + "/bench_large_answer.png";
    std::ofstream(path, std::ios::binary) << flat_png::blackPng(kLargeSide, kLargeSide);
  }
  return path;
}

void BM_LargeAnswerReduce(benchmark::State& state) {
  session();
  const std::string in = largeAnswerFile(), out = tempDir() + "/bench_reduced.png";
  for (auto _ : state) {
    std::vector<uint8_t> pixels;
    int w = 0, h = 0;
    if (!decodeImageFile(in, 4, pixels, w, h) || !reduceToFrame(pixels, w, h, 1920, 1080) ||
        !writePng(out, pixels.data(), w, h, 4))
      state.SkipWithError("reduce failed");
  }
}

void BM_LargeAnswerRender(benchmark::State& state, bool reduced) {
  Session& s = session();
  const int w = 1920, h = 1080;
  // Two prompts, so every render meets a background it has not loaded yet.
  const std::string prompts[] = {"large a", "large b"};
  std::vector<uint8_t> pixels;
  int bw = 0, bh = 0;
  if (!decodeImageFile(largeAnswerFile(), 4, pixels, bw, bh)) return state.SkipWithError("decode");
  if (reduced) reduceToFrame(pixels, bw, bh, w, h);
  for (const std::string& prompt : prompts) {
    const std::string path = cacheFile(s.key, prompt);
    if (reduced) writePng(path, pixels.data(), bw, bh, 4);
    else std::ofstream(path, std::ios::binary) << flat_png::blackPng(kLargeSide, kLargeSide);
  }
  pixels = std::vector<uint8_t>();
  const OfxRectI bounds{0, 0, w, h};
  auto source = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  auto output = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  hostFillFromRGBA8(*source, frameRgba(w, h, false));
  hostSetClipImage(s.instance, "Source", source);
  hostSetClipImage(s.instance, "Output", output);
  hostSetValue(s.instance, "maskSource", 1.0);
  hostSetValue(s.instance, "trackMotion", 0.0);
  int next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    hostSetValue(s.instance, "prompt", prompts[next]);
    next = 1 - next;
    state.ResumeTiming();
    hostRender(s.instance, 0);
  }
  hostSetClipImage(s.instance, "Source", nullptr);
  hostSetClipImage(s.instance, "Output", nullptr);
}

void BM_Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<uint8_t> src(bytes, 7);
  std::vector<uint8_t> dst(bytes, 0);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// ---- kernels ------------------------------------------------------------------------

// 1 = 8-bit, 2 = 16-bit, 4 = float host components.
std::vector<uint8_t> hostFrame(int w, int h, int bytes) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4 * bytes);
  std::mt19937 rng(5);
  if (bytes == 4) {
    for (size_t i = 0; i < f.size(); i += 4) {
      const float v = std::uniform_real_distribution<float>(-0.05f, 1.05f)(rng);
      std::memcpy(&f[i], &v, 4);
    }
  } else {
    for (uint8_t& b : f) b = static_cast<uint8_t>(rng());
  }
  return f;
}

template <bool Plain>
void BM_Extract(benchmark::State& state, int w, int h, int bytes) {
  const std::vector<uint8_t> host = hostFrame(w, h, bytes);
  for (auto _ : state) {
    std::vector<uint8_t> rgba = Plain
                                    ? extractRGBAPlain(hostView(host.data(), w, h, w * 4 * bytes, 4,
                                                                (bytes == 4)   ? Depth::Float
                                                                : (bytes == 2) ? Depth::Short
                                                                               : Depth::Byte),
                                                       RowOrder::BottomUp)
                                    : extractRGBA(hostView(host.data(), w, h, w * 4 * bytes, 4,
                                                           (bytes == 4)   ? Depth::Float
                                                           : (bytes == 2) ? Depth::Short
                                                                          : Depth::Byte),
                                                  RowOrder::BottomUp);
    benchmark::DoNotOptimize(rgba.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(host.size()));
}

template <bool Plain>
void BM_Write(benchmark::State& state, int w, int h, int bytes) {
  std::vector<uint8_t> host = hostFrame(w, h, bytes);
  const std::vector<uint8_t> rgba = hostFrame(w, h, 1);
  for (auto _ : state) {
    if (Plain) {
      writeRGBAPlain(rgba.data(),
                     hostView(host.data(), w, h, w * 4 * bytes, 4,
                              (bytes == 4)   ? Depth::Float
                              : (bytes == 2) ? Depth::Short
                                             : Depth::Byte),
                     RowOrder::BottomUp);
    } else {
      writeRGBA(rgba.data(),
                hostView(host.data(), w, h, w * 4 * bytes, 4,
                         (bytes == 4)   ? Depth::Float
                         : (bytes == 2) ? Depth::Short
                                        : Depth::Byte),
                RowOrder::BottomUp);
    }
    benchmark::DoNotOptimize(host.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(host.size()));
}

// Mask kinds: 0 a difference-style mask (mostly 0 or 255), 1 random bytes, 2 none.
template <bool Plain>
void BM_Composite(benchmark::State& state, int w, int h, int maskKind, float blend) {
  const std::vector<uint8_t> source = frameRgba(w, h, false);
  std::vector<uint8_t> background = frameRgba(w, h, false);
  std::reverse(background.begin(), background.end());
  std::vector<uint8_t> mask = buildMask(differenceImage(w, h), w, h, 51.0f, false, 0, 0, 5);
  if (maskKind == 1) {
    std::mt19937 rng(9);
    for (uint8_t& b : mask) b = static_cast<uint8_t>(rng());
  }
  const std::vector<uint8_t> coverage(static_cast<size_t>(w) * h, 255);
  std::vector<uint8_t> output(source.size());
  CompositeJob job;
  job.width = w;
  job.height = h;
  job.blend = blend;
  job.source = source.data();
  job.mask = maskKind == 2 ? nullptr : &mask;
  job.background = &background;
  job.coverage = &coverage;
  job.output = output.data();
  for (auto _ : state) {
    if (Plain) compositeWorkerPlain(0, 1, &job);
    else compositeWorker(0, 1, &job);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(source.size()));
}

// The worker's plate work for one generation: footprint, both fills, the stray ring.
void BM_PlateBuild(benchmark::State& state, int w, int h) {
  const std::vector<uint8_t> grabbed = frameRgba(w, h, false);
  const std::vector<uint8_t> returned = serviceAnswer(grabbed, w, h);
  for (auto _ : state) {
    Plates p = buildPlates(returned.data(), w, h, grabbed.data(), w, h, kPlateThreshold);
    benchmark::DoNotOptimize(p.background.data());
  }
}

void registerAll() {
  benchmark::RegisterBenchmark("LargeAnswer/Reduce/16000px-to-1080p", BM_LargeAnswerReduce)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(2);
  for (bool reduced : {true, false})
    benchmark::RegisterBenchmark(
        reduced ? "LargeAnswer/Render/reduced/1080p" : "LargeAnswer/Render/unreduced/1080p",
        BM_LargeAnswerRender, reduced)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(reduced ? 10 : 2);
  benchmark::RegisterBenchmark("PlateBuild/1080p", BM_PlateBuild, 1920, 1080)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  struct Size {
    const char* name;
    int w, h;
  };
  const Size sizes[] = {{"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
  const char* scenarioNames[] = {"PassThrough", "MaskNone",     "MaskNoneHalfBlend",
                                 "AutoDiff",    "SourceMatte",  "AutoDiffTrack",
                                 "Refined",     "RefinedStill", "RefinedPan"};
  for (const Size& s : sizes) {
    const size_t rgba = static_cast<size_t>(s.w) * s.h * 4;
    const std::string sz = s.name;
    benchmark::RegisterBenchmark(("Memcpy/RGBA8/" + sz).c_str(), BM_Memcpy, rgba)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Memcpy/Short/" + sz).c_str(), BM_Memcpy, rgba * 2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Memcpy/Float/" + sz).c_str(), BM_Memcpy, rgba * 4)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (bool isFloat : {false, true}) {
      for (int sc = PassThrough; sc <= RefinedPan; ++sc) {
        const std::string name = std::string("Render/") + scenarioNames[sc] + "/" + sz + "/" +
                                 (isFloat ? "float" : "8bit");
        benchmark::RegisterBenchmark(name.c_str(), BM_Render, static_cast<Scenario>(sc), s.w, s.h,
                                     isFloat)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
    }
    for (int bytes : {1, 2, 4}) {
      const std::string d = bytes == 1 ? "8bit" : bytes == 2 ? "16bit" : "float";
      benchmark::RegisterBenchmark(("Extract/" + d + "/" + sz).c_str(), BM_Extract<false>, s.w, s.h,
                                   bytes)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("ExtractPlain/" + d + "/" + sz).c_str(), BM_Extract<true>, s.w,
                                   s.h, bytes)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("Write/" + d + "/" + sz).c_str(), BM_Write<false>, s.w, s.h,
                                   bytes)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("WritePlain/" + d + "/" + sz).c_str(), BM_Write<true>, s.w, s.h,
                                   bytes)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
    const struct {
      const char* name;
      int mask;
      float blend;
    } composites[] = {{"DiffMask/blend1", 0, 1.0f},
                      {"DiffMask/blend0.5", 0, 0.5f},
                      {"RandomMask/blend0.5", 1, 0.5f},
                      {"NoMask/blend1", 2, 1.0f},
                      {"NoMask/blend0.5", 2, 0.5f}};
    for (const auto& c : composites) {
      benchmark::RegisterBenchmark(("CompositeWorker/" + std::string(c.name) + "/" + sz).c_str(),
                                   BM_Composite<false>, s.w, s.h, c.mask, c.blend)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(
          ("CompositeWorkerPlain/" + std::string(c.name) + "/" + sz).c_str(), BM_Composite<true>,
          s.w, s.h, c.mask, c.blend)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Session& s = sessionState();
  if (s.host) {
    hostDestroyInstance(s.instance);
    hostUnload(s.host);
    hostClose(s.host);
    nftw(s.home.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  return 0;
}
