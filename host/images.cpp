// Clips, images and the image-effect suite. A HostImage is plain memory in
// the host's layout (rows bottom-up unless stored top row first, optional row
// padding) with guard bytes on both sides, so a plug-in writing outside the
// pixels it was given is caught by hostImageIntact.
#include <algorithm>
#include <cstring>

#include "host/state.h"

namespace {

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr const char* kClipPropConnected = "OfxImageClipPropConnected";

int componentCount(const std::string& components) {
  return components == kOfxImageComponentRGB ? 3 : 4;
}

int depthBytes(const std::string& depth) {
  if (depth == kOfxBitDepthShort) return 2;
  if (depth == kOfxBitDepthFloat) return 4;
  return 1;
}

// Row r of an RGBA8 buffer (top first) is image row y = y2 - 1 - r.
const uint8_t* rowOf(const HostImage& image, int y) {
  return image.memory.data() + image.origin +
         static_cast<ptrdiff_t>(y - image.bounds.y1) * image.rowBytes;
}

OfxStatus getPropertySet(OfxImageEffectHandle effect, OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (props) *props = nullptr;
  if (!effect || !liveHandle(effect)) return kOfxStatErrBadHandle;
  if (props) *props = &effect->props;
  return kOfxStatOK;
}

OfxStatus getParamSet(OfxImageEffectHandle effect, OfxParamSetHandle* set) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (set) *set = nullptr;
  if (!effect || !liveHandle(effect)) return kOfxStatErrBadHandle;
  if (set) *set = &effect->params;
  return kOfxStatOK;
}

OfxStatus clipDefine(OfxImageEffectHandle effect, const char* name, OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (props) *props = nullptr;
  if (!effect || !liveHandle(effect)) return kOfxStatErrBadHandle;
  if (!name) return kOfxStatErrValue;
  for (auto& c : effect->clips)
    if (c->name == name) return kOfxStatErrExists;
  effect->clips.emplace_back(newClip(name));
  if (props) *props = &effect->clips.back()->props;
  return kOfxStatOK;
}

OfxStatus clipGetHandle(OfxImageEffectHandle effect, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (clip) *clip = nullptr;
  if (props) *props = nullptr;
  if (!effect || !liveHandle(effect)) return kOfxStatErrBadHandle;
  for (auto& c : effect->clips) {
    if (name && c->name == name) {
      if (clip) *clip = c.get();
      if (props) *props = &c->props;
      return kOfxStatOK;
    }
  }
  return kOfxStatErrUnknown;
}

OfxStatus clipGetPropertySet(OfxImageClipHandle clip, OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (props) *props = nullptr;
  if (!clip || !liveHandle(clip)) return kOfxStatErrBadHandle;
  if (props) *props = &clip->props;
  return kOfxStatOK;
}

OfxStatus clipGetImage(OfxImageClipHandle clip, OfxTime, const OfxRectD*,
                       OfxPropertySetHandle* imageHandle) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (imageHandle) *imageHandle = nullptr;
  if (!clip || !liveHandle(clip)) return kOfxStatErrBadHandle;
  if (!clip->image || !imageHandle) return kOfxStatFailed;
  HostImage& image = *clip->image;
  auto* set = new OfxPropertySetStruct;
  set->image = clip->image;
  set->owner = clip->instance;
  const OfxRectI& b = image.bounds;
  definePointer(*set, kOfxImagePropData, image.memory.data() + image.origin);
  defineInt(*set, kOfxImagePropRowBytes, {image.rowBytes});
  defineInt(*set, kOfxImagePropBounds, {b.x1, b.y1, b.x2, b.y2});
  defineInt(*set, kOfxImagePropRegionOfDefinition, {b.x1, b.y1, b.x2, b.y2});
  defineString(*set, kOfxImageEffectPropPixelDepth, {image.depth});
  defineString(*set, kOfxImageEffectPropComponents, {image.components});
  defineString(*set, kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  defineDouble(*set, "OfxImagePropPixelAspectRatio", {1.0});
  defineDouble(*set, kOfxImageEffectPropRenderScale, {1.0, 1.0});
  defineString(*set, "OfxImagePropField", {kOfxImageFieldNone});
  defineString(*set, "OfxImagePropUniqueIdentifier", {clip->name});
  registerPropertySet(*set);
  if (clip->instance) clip->instance->heldImages.insert(set);
  *imageHandle = set;
  return kOfxStatOK;
}

OfxStatus clipReleaseImage(OfxPropertySetHandle imageHandle) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!imageHandle || !liveHandle(imageHandle) || !imageHandle->image) return kOfxStatErrBadHandle;
  if (imageHandle->owner) imageHandle->owner->heldImages.erase(imageHandle);
  unregisterPropertySet(*imageHandle);
  delete imageHandle;
  return kOfxStatOK;
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle clip, OfxTime, OfxRectD* bounds) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!clip || !liveHandle(clip)) return kOfxStatErrBadHandle;
  OfxRectI b = clip->image ? clip->image->bounds : OfxRectI{0, 0, 0, 0};
  if (bounds) *bounds = OfxRectD{double(b.x1), double(b.y1), double(b.x2), double(b.y2)};
  return kOfxStatOK;
}

int abortRender(OfxImageEffectHandle) { return 0; }

OfxStatus imageMemoryAlloc(OfxImageEffectHandle, size_t nBytes, OfxImageMemoryHandle* memory) {
  if (!memory) return kOfxStatErrValue;
  auto* block = new OfxImageMemoryStruct;
  block->bytes.resize(nBytes);
  std::lock_guard<std::mutex> lock(hostMutex());
  registerHandle(block);
  *memory = block;
  return kOfxStatOK;
}

OfxStatus imageMemoryFree(OfxImageMemoryHandle memory) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!memory || !liveHandle(memory)) return kOfxStatErrBadHandle;
  unregisterHandle(memory);
  delete memory;
  return kOfxStatOK;
}

OfxStatus imageMemoryLock(OfxImageMemoryHandle memory, void** pointer) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!memory || !liveHandle(memory)) return kOfxStatErrBadHandle;
  if (pointer) *pointer = memory->bytes.data();
  return kOfxStatOK;
}

OfxStatus imageMemoryUnlock(OfxImageMemoryHandle memory) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return memory && liveHandle(memory) ? kOfxStatOK : kOfxStatErrBadHandle;
}

}  // namespace

const OfxImageEffectSuiteV1 kEffectSuite = {
    getPropertySet,     getParamSet,      clipDefine,       clipGetHandle,
    clipGetPropertySet, clipGetImage,     clipReleaseImage, clipGetRegionOfDefinition,
    abortRender,        imageMemoryAlloc, imageMemoryFree,  imageMemoryLock,
    imageMemoryUnlock};

const OfxImageEffectSuiteV1* hostEffectSuite() { return &kEffectSuite; }

OfxImageClipStruct* newClip(const std::string& name) {
  auto* clip = new OfxImageClipStruct;
  clip->name = name;
  OfxPropertySetStruct& p = clip->props;
  defineString(p, kOfxPropType, {kOfxTypeClip});
  defineString(p, kOfxPropName, {name});
  defineString(p, kOfxPropLabel, {name});
  defineString(p, kOfxImageEffectPropSupportedComponents, {});
  defineInt(p, kOfxImageEffectPropSupportsTiles, {1});
  defineInt(p, kOfxImageClipPropOptional, {0});
  defineInt(p, kOfxImageClipPropIsMask, {0});
  registerHandle(clip);
  registerPropertySet(clip->props);
  return clip;
}

OfxImageClipStruct* instanceClip(const OfxImageClipStruct& descriptor, HostInstance* instance) {
  auto* clip = new OfxImageClipStruct;
  clip->name = descriptor.name;
  clip->props.props = descriptor.props.props;
  clip->instance = instance;
  defineString(clip->props, kOfxImageEffectPropPixelDepth, {kOfxBitDepthNone});
  defineString(clip->props, kOfxImageEffectPropComponents, {kOfxImageComponentNone});
  defineString(clip->props, kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  defineInt(clip->props, kClipPropConnected, {0});
  registerHandle(clip);
  registerPropertySet(clip->props);
  return clip;
}

void hostSetClipImage(HostInstance* instance, const std::string& clip,
                      std::shared_ptr<HostImage> image) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!instance) return;
  for (auto& c : instance->effect.clips) {
    if (c->name != clip) continue;
    c->image = image;
    defineString(c->props, kOfxImageEffectPropPixelDepth,
                 {image ? image->depth : kOfxBitDepthNone});
    defineString(c->props, kOfxImageEffectPropComponents,
                 {image ? image->components : kOfxImageComponentNone});
    defineInt(c->props, kClipPropConnected, {image ? 1 : 0});
  }
}

int hostImagesHeld(HostInstance* instance) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return instance ? static_cast<int>(instance->heldImages.size()) : 0;
}

OfxPropertySetHandle hostClipProps(HostInstance* instance, const std::string& clip) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!instance) return nullptr;
  for (auto& c : instance->effect.clips)
    if (c->name == clip) return &c->props;
  return nullptr;
}

// ---- HostImage ------------------------------------------------------------------

std::shared_ptr<HostImage> hostMakeImage(const char* depth, const char* components, OfxRectI bounds,
                                         int rowPadding, bool topRowFirst) {
  auto image = std::make_shared<HostImage>();
  image->depth = depth;
  image->components = components;
  image->bounds = bounds;
  image->padding = std::max(rowPadding, 0);
  int width = std::max(bounds.x2 - bounds.x1, 0);
  int height = std::max(bounds.y2 - bounds.y1, 0);
  int stride = width * hostPixelBytes(*image) + image->padding;
  image->memory.assign(2 * kGuardBytes + size_t(stride) * height, kGuardByte);
  image->rowBytes = topRowFirst ? -stride : stride;
  image->origin = kGuardBytes + (topRowFirst && height > 0 ? size_t(stride) * (height - 1) : 0);
  for (int y = bounds.y1; y < bounds.y1 + height; ++y)
    std::memset(hostPixel(*image, bounds.x1, y), 0, size_t(stride - image->padding));
  return image;
}

int hostImageWidth(const HostImage& image) {
  return std::max(image.bounds.x2 - image.bounds.x1, 0);
}
int hostImageHeight(const HostImage& image) {
  return std::max(image.bounds.y2 - image.bounds.y1, 0);
}
int hostPixelBytes(const HostImage& image) {
  return componentCount(image.components) * depthBytes(image.depth);
}

uint8_t* hostPixel(HostImage& image, int x, int y) {
  return const_cast<uint8_t*>(rowOf(image, y)) +
         static_cast<ptrdiff_t>(x - image.bounds.x1) * hostPixelBytes(image);
}

void hostFillFromRGBA8(HostImage& image, const std::vector<uint8_t>& rgba) {
  int w = hostImageWidth(image), h = hostImageHeight(image);
  int n = componentCount(image.components);
  if (rgba.size() < size_t(w) * h * 4) return;
  for (int r = 0; r < h; ++r) {
    uint8_t* row = hostPixel(image, image.bounds.x1, image.bounds.y2 - 1 - r);
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < n; ++c) {
        uint8_t v = rgba[(size_t(r) * w + x) * 4 + c];
        size_t at = size_t(x) * n + c;
        if (image.depth == kOfxBitDepthShort) {
          uint16_t s = uint16_t(v * 257);
          std::memcpy(row + at * 2, &s, 2);
        } else if (image.depth == kOfxBitDepthFloat) {
          float f = v / 255.0f;
          std::memcpy(row + at * 4, &f, 4);
        } else {
          row[at] = v;
        }
      }
    }
  }
}

std::vector<uint8_t> hostToRGBA8(const HostImage& image) {
  int w = hostImageWidth(image), h = hostImageHeight(image);
  int n = componentCount(image.components);
  std::vector<uint8_t> rgba(size_t(w) * h * 4, 255);
  for (int r = 0; r < h; ++r) {
    const uint8_t* row = rowOf(image, image.bounds.y2 - 1 - r);
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < n; ++c) {
        size_t at = size_t(x) * n + c;
        uint8_t v;
        if (image.depth == kOfxBitDepthShort) {
          uint16_t s;
          std::memcpy(&s, row + at * 2, 2);
          v = uint8_t((s + 128) / 257);
        } else if (image.depth == kOfxBitDepthFloat) {
          float f;
          std::memcpy(&f, row + at * 4, 4);
          f = std::min(std::max(f, 0.0f), 1.0f);
          v = uint8_t(f * 255.0f + 0.5f);
        } else {
          v = row[at];
        }
        rgba[(size_t(r) * w + x) * 4 + c] = v;
      }
    }
  }
  return rgba;
}

bool hostImageIntact(const HostImage& image) {
  const std::vector<uint8_t>& m = image.memory;
  if (m.size() < 2 * kGuardBytes) return false;
  auto guard = [](uint8_t b) { return b == kGuardByte; };
  if (!std::all_of(m.begin(), m.begin() + kGuardBytes, guard) ||
      !std::all_of(m.end() - kGuardBytes, m.end(), guard))
    return false;
  int w = hostImageWidth(image);
  for (int y = image.bounds.y1; y < image.bounds.y2; ++y) {
    const uint8_t* pad = rowOf(image, y) + size_t(w) * hostPixelBytes(image);
    if (!std::all_of(pad, pad + image.padding, guard)) return false;
  }
  return true;
}
