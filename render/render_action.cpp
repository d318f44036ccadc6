// The render action: reads the frame and the parameters, takes a pending
// generate request, and either passes the frame through or hands it to the
// compositing pipeline; plus the guards that keep every write inside the
// output image.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "backend/backend.h"
#include "imaging/imaging.h"
#include "render/render.h"

namespace {

// Host images are released on every way out of the render.
struct ImageGuard {
  OfxPropertySetHandle handle = nullptr;
  ~ImageGuard() {
    if (handle && gEffectSuite) gEffectSuite->clipReleaseImage(handle);
  }
};

OfxPropertySetHandle fetchImage(OfxImageEffectHandle effect, const char* clipName, double time) {
  OfxImageClipHandle clip = nullptr;
  if (gEffectSuite->clipGetHandle(effect, clipName, &clip, nullptr) != kOfxStatOK || !clip) {
    return nullptr;
  }
  OfxPropertySetHandle image = nullptr;
  if (gEffectSuite->clipGetImage(clip, time, nullptr, &image) != kOfxStatOK) return nullptr;
  return image;
}

std::string readString(OfxPropertySetHandle props, const char* name) {
  char* value = nullptr;
  gPropSuite->propGetString(props, name, 0, &value);
  return value ? std::string(value) : std::string();
}

// Reads an image's layout. False for layouts the conversions do not handle
// (half floats, alpha-only images) and for rows shorter than their pixels.
bool readHostImage(OfxPropertySetHandle image, HostView& out) {
  gPropSuite->propGetPointer(image, kOfxImagePropData, 0, &out.data);
  gPropSuite->propGetInt(image, kOfxImagePropRowBytes, 0, &out.rowBytes);
  int bounds[4] = {0, 0, 0, 0};
  gPropSuite->propGetIntN(image, kOfxImagePropBounds, 4, bounds);
  out.x1 = bounds[0];
  out.y1 = bounds[1];
  out.x2 = bounds[2];
  out.y2 = bounds[3];
  // A string from the host stays valid only until the next string call.
  const std::string depth = readString(image, kOfxImageEffectPropPixelDepth);
  const std::string components = readString(image, kOfxImageEffectPropComponents);
  bool known = true;
  if (depth == kOfxBitDepthFloat) {
    out.depth = Depth::Float;
  } else if (depth == kOfxBitDepthShort) {
    out.depth = Depth::Short;
  } else if (depth == kOfxBitDepthHalf) {
    known = false;
  }
  if (components == kOfxImageComponentRGB) {
    out.components = 3;
  } else if (components == kOfxImageComponentAlpha) {
    out.components = 1;
    known = false;
  }
  if (out.width() < 0 || out.height() < 0) return false;
  const int64_t rowLength = static_cast<int64_t>(out.width()) * out.bytesPerPixel();
  if (out.height() > 0 && rowLength > 0 &&
      (!out.data || std::llabs(static_cast<int64_t>(out.rowBytes)) < rowLength)) {
    return false;
  }
  return known;
}

bool sameLayout(const HostView& a, const HostView& b) {
  return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2 &&
         a.components == b.components && a.depth == b.depth;
}

double readDouble(OfxParamHandle param, double time, double fallback) {
  double v = fallback;
  if (param) gParamSuite->paramGetValueAtTime(param, time, &v);
  return v;
}

int readInt(OfxParamHandle param, double time, int fallback) {
  int v = fallback;
  if (param) gParamSuite->paramGetValueAtTime(param, time, &v);
  return v;
}

std::string readText(OfxParamHandle param, double time) {
  char* v = nullptr;
  if (param) gParamSuite->paramGetValueAtTime(param, time, &v);
  return v ? std::string(v) : std::string();
}

// Truncation toward zero, kept defined for values no parameter range allows.
int truncated(double v) {
  if (std::isnan(v)) return 0;
  if (v > 1e6) return 1000000;
  if (v < -1e6) return -1000000;
  return static_cast<int>(v);
}

RenderParams readParams(const Instance& in, double t) {
  RenderParams p;
  p.prompt = readText(in.handle(ParamId::Prompt), t);
  p.blend = static_cast<float>(readDouble(in.handle(ParamId::Blend), t, 1.0));
  p.thresholdByte =
      static_cast<float>(readDouble(in.handle(ParamId::Threshold), t, 20.0) / 100.0 * 255.0);
  p.grow = truncated(readDouble(in.handle(ParamId::MaskGrow), t, 0.0));
  p.innerFeather = truncated(readDouble(in.handle(ParamId::InFeather), t, 0.0));
  p.outerFeather = truncated(readDouble(in.handle(ParamId::OutFeather), t, 5.0));
  p.bgScale = readDouble(in.handle(ParamId::BgScale), t, 1.0);
  p.bgOffX = readDouble(in.handle(ParamId::BgOffX), t, 0.0);
  p.bgOffY = readDouble(in.handle(ParamId::BgOffY), t, 0.0);
  p.maskSource = static_cast<MaskSource>(readInt(in.handle(ParamId::MaskSource), t, 0));
  p.invertMask = readInt(in.handle(ParamId::InvertMask), t, 0) != 0;
  p.trackMotion = readInt(in.handle(ParamId::TrackMotion), t, 1) != 0;
  p.refined = readInt(in.handle(ParamId::CompositeMode), t, 0) == 1;
  return p;
}

// Alpha 0 and 255 stay as they are; colour is divided by the alpha.
void unpremultiply(std::vector<uint8_t>& rgba) {
  float factor[256] = {};
  for (int a = 1; a < 255; ++a) factor[a] = 255.0f / static_cast<float>(a);
  const size_t n = rgba.size() / 4;
  uint8_t* p = rgba.data();
  for (size_t i = 0; i < n; ++i, p += 4) {
    const int a = p[3];
    if (a == 0 || a == 255) continue;
    for (int c = 0; c < 3; ++c) {
      float v = p[c] * factor[a];
      v = v < 255.0f ? v : 255.0f;
      p[c] = static_cast<uint8_t>(static_cast<int>(v + 0.5f));
    }
  }
}

void writeWithBanner(Frame& f, GenerationState state, const HostView& out) {
  uint8_t r, g, b;
  if (bannerColour(state, r, g, b)) drawBanner(f.rgba, f.width, f.height, r, g, b);
  writeRGBA(f.rgba.data(), out, RowOrder::BottomUp);
}

RenderFollowUp renderFrame(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  // Instance and time.
  Instance* in = lookupInstance(effect);
  if (!in) return RenderFollowUp::None;
  double time = 0.0;
  if (inArgs) gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  {
    bool requested;
    double requestTime;
    {
      std::lock_guard<std::mutex> lock(in->mutex);
      requested = in->generateRequested;
      requestTime = in->generateTime;
    }
    char line[96];
    std::snprintf(line, sizeof line, "render t=%g state=%d genReq=%d genT=%g", time,
                  in->genState->load(), requested ? 1 : 0, requestTime);
    dbg(line);
  }

  // Images and parameters.
  ImageGuard source;
  ImageGuard output;
  source.handle = fetchImage(effect, kOfxImageEffectSimpleSourceClipName, time);
  output.handle = fetchImage(effect, kOfxImageEffectOutputClipName, time);
  if (!source.handle || !output.handle) {
    dbg("render: no source or output image, output left as it is");
    return RenderFollowUp::None;
  }
  HostView src;
  HostView out;
  const bool srcKnown = readHostImage(source.handle, src);
  const bool outKnown = readHostImage(output.handle, out);
  if (!srcKnown || !outKnown || !sameLayout(src, out)) {
    // Only pixels present in both images, in the same layout, are copied.
    if (srcKnown && outKnown) copyOverlap(src, out);
    dbg("render: output differs from the source or has an unsupported layout, passed through what "
        "fits");
    return RenderFollowUp::None;
  }
  const int width = src.width();
  const int height = src.height();
  if (!frameFitsRGBA8(width, height)) {
    char line[96];
    std::snprintf(line, sizeof line,
                  "render: frame %dx%d too large to convert, output left as it is", width, height);
    dbg(line);
    return RenderFollowUp::None;
  }
  const RenderParams params = readParams(*in, time);

  // Take the generate request.
  bool takeRequest = false;
  {
    std::lock_guard<std::mutex> lock(in->mutex);
    if (in->generateRequested && std::fabs(time - in->generateTime) < 0.5) {
      in->generateRequested = false;
      takeRequest = true;
    }
  }

  // Source pixels.
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.rgba = extractRGBA(src, RowOrder::BottomUp);

  // Matte detection.
  int lowest = 255;
  int highest = 0;
  alphaRange(frame.rgba.data(), static_cast<int64_t>(frame.rgba.size() / 4), lowest, highest);
  frame.hasMatte = highest - lowest >= 6;
  {
    char line[96];
    std::snprintf(line, sizeof line, "matte detect: alpha [%d..%d] -> hasMatte=%d", lowest, highest,
                  frame.hasMatte ? 1 : 0);
    dbg(line);
  }

  // Unpremultiply.
  if (frame.hasMatte) {
    unpremultiply(frame.rgba);
    dbg("src has matte — unpremultiplied rgb");
  }

  // Cache name.
  const std::string cachePath = cacheFile(in->key, params.prompt);

  // Start a generation.
  if (takeRequest) startGeneration(*in, params.prompt, frame, launchDetached);

  // The state that drives the rest of this render.
  const auto state = static_cast<GenerationState>(in->genState->load());

  // Running: the source with the red bars, nothing else.
  if (state == Running) {
    writeWithBanner(frame, state, out);
    return RenderFollowUp::None;
  }

  // Pass-through, or 12-18. Composite.
  bool fresh = false;
  if (params.prompt.empty() || !fileExists(cachePath) ||
      !loadSlot(in->bgCache, cachePath, 4, fresh)) {
    copyRows(src.data, src.rowBytes, out.data, out.rowBytes, height,
             static_cast<int64_t>(width) * src.bytesPerPixel());
    if (state == Failed || state == OutOfCredits || state == AuthRejected) {
      writeWithBanner(frame, state, out);
    }
  } else {
    if (fresh) in->fitted = BgTransform();  // new pixels: whatever was fitted is stale
    compositePipeline(*in, params, frame, state, out);
  }

  // Acknowledge the state shown.
  if (state == Done || state == OutOfCredits || state == AuthRejected) {
    in->genState->exchange(Idle);
    return RenderFollowUp::RefreshAccount;
  }
  if (state == Failed) in->genState->exchange(Idle);
  return RenderFollowUp::None;
}

}  // namespace

bool bannerColour(GenerationState state, uint8_t& r, uint8_t& g, uint8_t& b) {
  switch (state) {
    case Running:
      r = 230, g = 40, b = 40;
      return true;
    case Done:
      r = 40, g = 200, b = 60;
      return true;
    case Failed:
      r = 230, g = 200, b = 0;
      return true;
    case OutOfCredits:
      r = 230, g = 120, b = 0;
      return true;
    case AuthRejected:
      r = 230, g = 80, b = 80;
      return true;
    default:
      return false;
  }
}

void startGeneration(Instance& in, const std::string& prompt, const Frame& frame,
                     WorkerLauncher launch) {
  if (prompt.empty() || in.genState->load() == Running) return;
  makeWorkDir();
  if (frame.width > 0 && frame.height > 0 &&
      !writePng(grabbedFile(in.key), frame.rgba.data(), frame.width, frame.height, 4)) {
    // No file is left behind, so the worker ends Failed instead of sending an earlier frame.
    dbg("render: could not write the grabbed frame");
  }
  dbg("spawning generation thread");
  in.genState->exchange(Running);
  GenerationJob job;
  job.key = in.key;
  job.frameWidth = frame.width;
  job.frameHeight = frame.height;
  job.serviceUrl = kServiceBaseUrl;
  job.prompt = prompt;
  job.state = in.genState;
  if (!startGenerationWorker(std::move(job), launch)) {
    in.genState->exchange(Failed);
    dbg("render: could not start the generation thread");
  }
}

RenderFollowUp renderAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (!gEffectSuite || !gPropSuite || !gParamSuite) return RenderFollowUp::None;
  try {
    return renderFrame(effect, inArgs);
  } catch (const std::exception& e) {
    char line[128];
    std::snprintf(line, sizeof line, "render: aborted (%s)", e.what());
    dbg(line);
  } catch (...) {
    dbg("render: aborted");
  }
  return RenderFollowUp::None;
}
