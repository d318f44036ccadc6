// One generation: decode the uploaded frame, keep its subject, paint the rest.
#include "service/service.h"

#include "stb_image.h"
#include "stb_image_write.h"

#include <cstdlib>
#include <cstring>

namespace {

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void appendToString(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
}

GenerateResult refused(const std::string& detail) {
  GenerateResult r;
  r.status = 400;
  r.detail = detail;
  return r;
}

}  // namespace

GenerateResult generateImage(const std::string& uploadPng, const std::string& prompt,
                             int maxImageSide, int64_t maxPixels) {
  if (uploadPng.size() < 8 || std::memcmp(uploadPng.data(), kPngSignature, 8) != 0)
    return refused("image is not a PNG file");
  if (uploadPng.size() > size_t(INT32_MAX)) return refused("image is too large");
  const auto* bytes = reinterpret_cast<const stbi_uc*>(uploadPng.data());
  const int length = int(uploadPng.size());
  int w = 0, h = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &w, &h, &channels))
    return refused("image cannot be decoded as PNG");
  // Checked before decoding so a tiny file claiming a huge size costs nothing.
  if (w <= 0 || h <= 0 || w > maxImageSide || h > maxImageSide)
    return refused("image is " + std::to_string(w) + "x" + std::to_string(h) +
                   "; each side must be between 1 and " + std::to_string(maxImageSide));
  if (int64_t(w) * h > maxPixels)
    return refused("image is " + std::to_string(w) + "x" + std::to_string(h) + "; at most " +
                   std::to_string(maxPixels >> 20) + " megapixels are accepted");
  stbi_uc* decoded = stbi_load_from_memory(bytes, length, &w, &h, &channels, 4);
  if (!decoded) return refused(std::string("image cannot be decoded: ") + stbi_failure_reason());
  std::vector<uint8_t> frame(decoded, decoded + size_t(w) * size_t(h) * 4);
  stbi_image_free(decoded);

  std::vector<uint8_t> matte = subjectMatte(frame, w, h);
  // A host's matte comes with colours that belong to it; only a keyed edge,
  // which lies on the old backdrop, needs the subject's colour carried outward.
  if (!hasAlphaMatte(frame)) extendSubjectEdge(frame, matte, w, h);
  std::vector<uint8_t> out = paintBackground(prompt, w, h);
  for (size_t i = 0; i < matte.size(); ++i) {
    const unsigned a = matte[i];
    if (a == 0) continue;
    uint8_t* o = &out[i * 4];
    const uint8_t* f = &frame[i * 4];
    for (int c = 0; c < 3; ++c)
      o[c] = a == 255 ? f[c] : uint8_t((f[c] * a + o[c] * (255 - a) + 127) / 255);
  }

  GenerateResult result;
  if (!stbi_write_png_to_func(appendToString, &result.png, w, h, 4, out.data(), w * 4)) {
    result.status = 500;
    result.detail = "cannot encode the result";
    result.png.clear();
    return result;
  }
  result.status = 200;
  return result;
}
