// The one translation unit that compiles the stb image libraries.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_resize2.h"
#include "stb_image_write.h"

// ---- Reading the resampler's plan --------------------------------------------------------
// The library's own samplers, built exactly as stbir_resize_uint8_srgb builds them, copied
// into a plain record (imaging/resize_plan.h). Anything not matching the path that record
// describes is refused, so the caller falls back to the library itself.
#include "imaging/resize_plan.h"

#include <cstring>

namespace {

int clampRow(int y, int h) { return y < 0 ? 0 : (y >= h ? h - 1 : y); }

bool expectedColumnKernel(const stbir__info* info, int taps) {
  if (taps <= 0) return false;
  stbir__horizontal_gather_channels_func* want =
      taps <= 12 ? stbir__horizontal_gather_7_channels_funcs[taps - 1]
                 : stbir__horizontal_gather_7_channels_with_n_coeffs_funcs[taps & 3];
  return info->horizontal_gather_channels == want;
}

bool copyPlan(const stbir__info* info, int inW, int inH, int outW, int outH, RgbaSrgbPlan& plan) {
  const stbir__sampler& hs = info->horizontal;
  const stbir__sampler& vs = info->vertical;
  if (info->effective_channels != 7 || info->channels != 4) return false;
  if (info->alpha_weight != stbir__fancy_alpha_weight_4ch ||
      info->alpha_unweight != stbir__fancy_alpha_unweight_4ch)
    return false;
  if (info->decode_pixels != stbir__decode_uint8_srgb4_linearalpha ||
      info->encode_pixels != stbir__encode_uint8_srgb4_linearalpha)
    return false;
  if (info->in_pixels_cb || info->out_pixels_cb || info->offset_x || info->offset_y) return false;
  if (hs.filter_enum == STBIR_FILTER_POINT_SAMPLE || vs.filter_enum == STBIR_FILTER_POINT_SAMPLE)
    return false;
  if (hs.edge != STBIR_EDGE_CLAMP || vs.edge != STBIR_EDGE_CLAMP || hs.is_gather == 0) return false;
  if (hs.scale_info.output_sub_size != outW || vs.scale_info.output_sub_size != outH) return false;
  const int taps = hs.coefficient_width;
  if (!expectedColumnKernel(info, taps)) return false;

  plan.inW = inW;
  plan.inH = inH;
  plan.outW = outW;
  plan.outH = outH;
  plan.verticalFirst = info->vertical_first != 0;
  plan.hTaps = taps;
  plan.hFirst.resize(outW);
  plan.hCount.resize(outW);
  plan.hCoeff.assign(hs.coefficients, hs.coefficients + static_cast<size_t>(outW) * taps);
  for (int x = 0; x < outW; ++x) {
    const stbir__contributors c = hs.contributors[x];
    const int count = c.n1 - c.n0 + 1;
    if (count < 1 || count > taps) return false;
    plan.hFirst[x] = c.n0;
    plan.hCount[x] = count;
    for (int k = 0; k < taps; ++k) {
      const float w = plan.hCoeff[static_cast<size_t>(x) * taps + k];
      if (w != 0.0f && (k >= count || c.n0 + k < 0 || c.n0 + k >= inW)) return false;
    }
  }

  // Per output row, the input rows in the order the library adds them up.
  std::vector<std::vector<std::pair<int, float>>> rows(outH);
  if (vs.is_gather) {
    for (int y = 0; y < outH; ++y) {
      const stbir__contributors c = vs.contributors[y];
      const float* w = vs.coefficients + static_cast<size_t>(y) * vs.coefficient_width;
      for (int k = 0; k <= c.n1 - c.n0; ++k) rows[y].emplace_back(clampRow(c.n0 + k, inH), w[k]);
    }
  } else {
    // Scatter: input row i - margin adds into output rows n0 .. n1, in input order.
    for (int i = 0; i < vs.num_contributors; ++i) {
      const stbir__contributors c = vs.contributors[i];
      const float* w = vs.coefficients + static_cast<size_t>(i) * vs.coefficient_width;
      for (int n = c.n0; n <= c.n1; ++n) {
        if (n < 0 || n >= outH) return false;
        rows[n].emplace_back(clampRow(i - vs.filter_pixel_margin, inH), w[n - c.n0]);
      }
    }
  }
  plan.vBegin.assign(1, 0);
  plan.vRow.clear();
  plan.vCoeff.clear();
  for (int y = 0; y < outH; ++y) {
    for (const auto& e : rows[y]) {
      plan.vRow.push_back(e.first);
      plan.vCoeff.push_back(e.second);
    }
    plan.vBegin.push_back(static_cast<int>(plan.vRow.size()));
  }
  return true;
}

}  // namespace

bool readRgbaSrgbPlan(int inW, int inH, int outW, int outH, RgbaSrgbPlan& plan) {
  if (inW <= 0 || inH <= 0 || outW <= 0 || outH <= 0) return false;
  STBIR_RESIZE resize;
  stbir_resize_init(&resize, nullptr, inW, inH, inW * 4, nullptr, outW, outH, outW * 4, STBIR_RGBA,
                    STBIR_TYPE_UINT8_SRGB);
  if (!stbir_build_samplers(&resize) || resize.samplers == nullptr) return false;
  const bool ok = copyPlan(resize.samplers, inW, inH, outW, outH, plan);
  stbir_free_samplers(&resize);
  return ok;
}

void readSrgbTables(float* toLinear, uint8_t* fromLinear) {
  std::memcpy(toLinear, stbir__srgb_uchar_to_linear_float, 256 * sizeof(float));
  for (int i = 0; i < kSrgbEncodeEntries; ++i) {
    const uint32_t bits = (kSrgbEncodeFirst + static_cast<uint32_t>(i)) << 12;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    fromLinear[i] = stbir__linear_to_srgb_uchar(f);
  }
}
