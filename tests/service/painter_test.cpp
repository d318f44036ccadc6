// The procedural painter: deterministic, prompt-dependent, any size.
#include "service/service.h"

#include <gtest/gtest.h>

namespace {

double meanLuma(const std::vector<uint8_t>& rgba) {
  double sum = 0;
  for (size_t i = 0; i < rgba.size(); i += 4)
    sum += 0.2126 * rgba[i] + 0.7152 * rgba[i + 1] + 0.0722 * rgba[i + 2];
  return sum / double(rgba.size() / 4);
}

size_t differingPixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); i += 4)
    n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
  return n;
}

}  // namespace

TEST(Painter, SamePromptPaintsTheSameBytes) {
  for (const char* prompt : {"sunset over the sea", "neon city at night", "", "studio"})
    EXPECT_EQ(paintBackground(prompt, 120, 80), paintBackground(prompt, 120, 80)) << prompt;
}

TEST(Painter, DifferentPromptsPaintDifferentPictures) {
  const char* prompts[] = {"pine forest", "pine forest in fog", "desert dunes", "calm sea",
                           "red studio"};
  for (const char* a : prompts)
    for (const char* b : prompts) {
      if (a == b) continue;
      auto pa = paintBackground(a, 96, 64), pb = paintBackground(b, 96, 64);
      EXPECT_GT(differingPixels(pa, pb), pa.size() / 4 / 4) << a << " / " << b;
    }
}

TEST(Painter, OutputIsOpaqueAndExactlyTheRequestedSize) {
  const int sizes[][2] = {{1, 1}, {3, 500}, {500, 3}, {257, 129}};
  for (const auto& s : sizes) {
    auto px = paintBackground("mountain lake at sunrise", s[0], s[1]);
    ASSERT_EQ(px.size(), size_t(s[0]) * s[1] * 4);
    for (size_t i = 3; i < px.size(); i += 4) ASSERT_EQ(px[i], 255);
  }
  EXPECT_TRUE(paintBackground("sky", 0, 10).empty());
}

TEST(Painter, KeywordsChooseTheScene) {
  const struct {
    const char* prompt;
    Scene scene;
  } cases[] = {
      {"a quiet beach at sunset", Scene::Sea},
      {"City at night", Scene::City},
      {"starry night", Scene::Night},
      {"golden sunset", Scene::Sunset},
      {"cloudy sky", Scene::Sky},
      {"tall Trees", Scene::Forest},
      {"sand dunes", Scene::Desert},
      {"snowy mountains", Scene::Snow},
      {"grey studio backdrop", Scene::Studio},
      {"something else entirely", Scene::Abstract},
      {"seashell collection", Scene::Abstract},
      {"forest by the sea", Scene::Forest},
      {"", Scene::Abstract},
  };
  for (const auto& c : cases) EXPECT_EQ(sceneForPrompt(c.prompt), c.scene) << c.prompt;
}

TEST(Painter, NightIsDarkAndSnowIsBright) {
  double night = meanLuma(paintBackground("starry night", 160, 90));
  double day = meanLuma(paintBackground("cloudy sky", 160, 90));
  double snow = meanLuma(paintBackground("snow", 160, 90));
  EXPECT_LT(night, 60.0);
  EXPECT_GT(day, 120.0);
  EXPECT_GT(snow, 150.0);
}

TEST(Painter, ColourWordsTintTheStudioBackdrop) {
  auto red = paintBackground("red studio", 64, 48);
  auto blue = paintBackground("blue studio", 64, 48);
  size_t centre = (24 * 64 + 32) * 4;
  EXPECT_GT(red[centre], red[centre + 2]);
  EXPECT_GT(blue[centre + 2], blue[centre]);
}

TEST(Painter, PlacesTakeTheirLightFromTimeWords) {
  const struct {
    const char* prompt;
    Scene scene;
    TimeOfDay time;
  } cases[] = {
      {"city at night", Scene::City, TimeOfDay::Night},
      {"a beach at sunset", Scene::Sea, TimeOfDay::Sunset},
      {"forest", Scene::Forest, TimeOfDay::Day},
      {"starry sky", Scene::Night, TimeOfDay::Night},
  };
  for (const auto& c : cases) {
    PromptStyle style = readPrompt(c.prompt);
    EXPECT_EQ(style.scene, c.scene) << c.prompt;
    EXPECT_EQ(style.time, c.time) << c.prompt;
  }
  EXPECT_FALSE(readPrompt("forest").tinted);
  PromptStyle pink = readPrompt("pink and blue studio");
  EXPECT_TRUE(pink.tinted);
  EXPECT_GT(pink.tint.r, pink.tint.b);  // the first colour word wins
  EXPECT_EQ(readPrompt("Forest").seed, readPrompt("forest").seed);
}
