// The quality benchmark: synthetic shots with known truth rendered through the real bundle
// in our host, in Classic and in Refined, judged against the truth (see
// tests/support/quality_shots.h for the figures). Prints one row per shot and mode and
// writes a side-by-side picture.
//
//   talvane_quality [--small] [--picture out.png]
#include <ftw.h>
#include <stb_image_resize2.h>
#include <stb_image_write.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "host/host.h"
#include "imaging/imaging.h"
#include "plugin/plugin.h"
#include "tests/support/quality_shots.h"

namespace {

struct Session {
  Host* host = nullptr;
  HostInstance* instance = nullptr;
  std::string key;
  std::string home;
};

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

bool open(Session& s) {
  char tmpl[] = "/tmp/talvane-quality-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  s.home = tmpl;
  setenv("HOME", s.home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (s.home + "/.config").c_str(), 1);
  unsetenv("TALVANE_DEBUG");
  makeWorkDir();
  HostConfig config;
  config.numCPUs = 2;
  std::string error;
  s.host = hostOpen(TALVANE_QUALITY_BUNDLE, config, &error);
  if (!s.host) {
    std::fprintf(stderr, "cannot open the bundle: %s\n", error.c_str());
    return false;
  }
  hostLoad(s.host);
  hostDescribe(s.host);
  hostDescribeInContext(s.host, kOfxImageEffectContextGeneral);
  OfxStatus status = 0;
  s.instance = hostCreateInstance(s.host, kOfxImageEffectContextGeneral, &status);
  const auto* record = static_cast<const Instance*>(
      hostPropPointer(hostInstanceProps(s.instance), kOfxPropInstanceData));
  s.key = record->key;
  return true;
}

void close(Session& s) {
  hostDestroyInstance(s.instance);
  hostUnload(s.host);
  hostClose(s.host);
  nftw(s.home.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The working files a generation leaves, made by the same calls the worker makes.
void generate(Session& s, const ShotSpec& shot, const std::string& prompt) {
  const ShotFrame f0 = shotFrame(shot, 0);
  const std::vector<uint8_t> returned = shotReturned(shot);
  const std::string grabbed = grabbedFile(s.key);
  writePng(grabbed, f0.source.data(), shot.width, shot.height, 4);
  const std::string cache = cacheFile(s.key, prompt);
  writePng(cache, returned.data(), shot.width, shot.height, 4);
  writeRawdiff(grabbed, cache, rawdiffFile(s.key, prompt));
  writeAnchor(grabbed, anchorFile(s.key, prompt), 128);
  writePlates(grabbed, cache, plateFile(s.key, prompt), backdropFile(s.key, prompt),
              kPlateThreshold);
}

std::vector<uint8_t> render(Session& s, const std::vector<uint8_t>& rgba, int w, int h, double t) {
  const OfxRectI bounds{0, 0, w, h};
  auto source = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  auto output = hostMakeImage(kOfxBitDepthByte, kOfxImageComponentRGBA, bounds);
  hostFillFromRGBA8(*source, rgba);
  hostSetClipImage(s.instance, "Source", source);
  hostSetClipImage(s.instance, "Output", output);
  hostRender(s.instance, t);
  std::vector<uint8_t> out = hostToRGBA8(*output);
  hostSetClipImage(s.instance, "Source", nullptr);
  hostSetClipImage(s.instance, "Output", nullptr);
  return out;
}

struct Mode {
  const char* name;
  double composite;  // compositeMode
  double track;      // trackMotion
};

void shrinkInto(std::vector<uint8_t>& sheet, int sheetW, int col, int row, int tileW, int tileH,
                const std::vector<uint8_t>& img, int w, int h) {
  std::vector<uint8_t> tile(static_cast<size_t>(tileW) * tileH * 4);
  stbir_resize_uint8_srgb(img.data(), w, h, w * 4, tile.data(), tileW, tileH, tileW * 4,
                          STBIR_RGBA);
  for (int y = 0; y < tileH; ++y)
    std::memcpy(&sheet[((static_cast<size_t>(row) * tileH + y) * sheetW + col * tileW) * 4],
                &tile[static_cast<size_t>(y) * tileW * 4], static_cast<size_t>(tileW) * 4);
}

}  // namespace

int main(int argc, char** argv) {
  bool small = false;
  std::string picture, only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--small") == 0) small = true;
    if (std::strcmp(argv[i], "--picture") == 0 && i + 1 < argc) picture = argv[++i];
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  std::vector<ShotSpec> shots;
  const auto add = [&](const char* name, int w, int h, int frames, Backdrop b, double px, double py,
                       double zoom, double walk) {
    ShotSpec s;
    s.name = name;
    s.width = w;
    s.height = h;
    s.frames = frames;
    s.backdrop = b;
    s.panX = px;
    s.panY = py;
    s.zoom = zoom;
    s.walk = walk;
    shots.push_back(s);
  };
  if (small) {
    add("pan-textured-small", 320, 180, 6, Backdrop::Textured, 1.3, 0.4, 0, 0);
  } else {
    add("still-textured", 960, 540, 10, Backdrop::Textured, 0, 0, 0, 0);
    add("pan-textured", 960, 540, 10, Backdrop::Textured, 1.37, 0.41, 0, 0);
    add("pan-green", 960, 540, 10, Backdrop::GreenScreen, -0.7, 0.2, 0, 0);
    add("zoom-textured", 960, 540, 10, Backdrop::Textured, 0, 0, 0.004, 0);
    add("walk-green-still", 960, 540, 10, Backdrop::GreenScreen, 0, 0, 0, 3.0);
    add("walk-textured-still", 960, 540, 10, Backdrop::Textured, 0, 0, 0, 3.0);
    add("pan-city", 960, 540, 10, Backdrop::City, 3.3, -0.6, 0, 0);
    add("pan-textured-1080", 1920, 1080, 5, Backdrop::Textured, 2.1, 0.9, 0, 0);
  }
  const Mode modes[] = {{"Classic", 0, 0}, {"Classic+track", 0, 1}, {"Refined", 1, 0}};

  Session s;
  if (!open(s)) return 1;
  std::printf("%-20s %-14s %7s %7s %8s %8s %8s %7s %7s %7s\n", "shot", "mode", "PSNR", "edge",
              "old%", "border%", "2nd%", "spill", "posRMS", "jitter");
  const int tileW = 320, tileH = 180;
  const int sheetW = tileW * 4;
  std::vector<uint8_t> sheet;
  int sheetRows = 0;
  for (const ShotSpec& shot : shots) {
    if (!only.empty() && shot.name != only) continue;
    const std::string prompt = "quality " + shot.name;
    generate(s, shot, prompt);
    hostSetValue(s.instance, "prompt", prompt);
    std::vector<ShotFrame> frames;
    for (int k = 0; k < shot.frames; ++k) frames.push_back(shotFrame(shot, k));
    const int showFrame = shot.frames - 1;
    if (getenv("QUALITY_DUMP"))
      writePng("/tmp/q_" + shot.name + "_truth.png", frames[showFrame].truth.data(), shot.width,
               shot.height, 4);
    std::vector<std::vector<uint8_t>> shown;
    for (const Mode& m : modes) {
      hostSetValue(s.instance, "compositeMode", m.composite);
      hostSetValue(s.instance, "trackMotion", m.track);
      std::vector<FrameFigures> figures;
      for (int k = 0; k < shot.frames; ++k) {
        const std::vector<uint8_t> out = render(s, frames[k].source, shot.width, shot.height, k);
        figures.push_back(measureFrame(shot, frames[k], out));
        if (k == showFrame && m.track == 0) shown.push_back(out);
        if (k == showFrame && getenv("QUALITY_DUMP"))
          writePng(std::string("/tmp/q_") + shot.name + "_" + m.name + ".png", out.data(),
                   shot.width, shot.height, 4);
      }
      const ShotFigures f = summarise(figures);
      std::printf("%-20s %-14s %7.2f %7.2f %8.3f %8.3f %8.3f %7.2f %7.3f %7.3f\n",
                  shot.name.c_str(), m.name, f.psnr, f.psnrEdge, f.oldLeak, f.oldLeakBorder,
                  f.secondSubject, f.spill, f.positionError, f.jitter);
      std::fflush(stdout);
    }
    if (!picture.empty() && (shot.name == "pan-textured" || shot.name == "walk-green-still" ||
                             shot.name == "walk-textured-still" || shot.name == "pan-green" ||
                             shot.name == "pan-city" || small)) {
      sheet.resize(static_cast<size_t>(sheetW) * tileH * 4 * (sheetRows + 1));
      shrinkInto(sheet, sheetW, 0, sheetRows, tileW, tileH, frames[showFrame].source, shot.width,
                 shot.height);
      shrinkInto(sheet, sheetW, 1, sheetRows, tileW, tileH, shown[0], shot.width, shot.height);
      shrinkInto(sheet, sheetW, 2, sheetRows, tileW, tileH, shown[1], shot.width, shot.height);
      shrinkInto(sheet, sheetW, 3, sheetRows, tileW, tileH, frames[showFrame].truth, shot.width,
                 shot.height);
      ++sheetRows;
    }
  }
  if (!picture.empty() && sheetRows > 0)
    stbi_write_png(picture.c_str(), sheetW, tileH * sheetRows, 4, sheet.data(), sheetW * 4);
  close(s);
  return 0;
}
