// Reading a prompt: which scene, which light, which colour, which seed.
#include "service/service.h"

#include <algorithm>
#include <cstring>

namespace {

std::string lowered(const std::string& text) {
  std::string out = text;
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  return out;
}

// Position of the earliest whole-word match of any of the words, or npos.
size_t findWord(const std::string& text, std::initializer_list<const char*> words) {
  size_t best = std::string::npos;
  for (const char* word : words) {
    size_t len = std::strlen(word);
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
      auto letter = [](char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9'); };
      bool startOk = at == 0 || !letter(text[at - 1]);
      size_t end = at + len;
      // Plurals count: "trees", "clouds", "dunes".
      bool endOk = end >= text.size() || !letter(text[end]) ||
                   (text[end] == 's' && (end + 1 >= text.size() || !letter(text[end + 1])));
      if (startOk && endOk) {
        best = std::min(best, at);
        break;
      }
    }
  }
  return best;
}

struct Tint {
  const char* word;
  uint32_t rgb;
};

const Tint kTints[] = {
    {"red", 0xB83A3A},    {"orange", 0xE0833A}, {"yellow", 0xE8C547}, {"gold", 0xD4A83A},
    {"golden", 0xD4A83A}, {"green", 0x4C9A5B},  {"teal", 0x2E8A8A},   {"cyan", 0x3CB4C8},
    {"blue", 0x3A6EC0},   {"navy", 0x1E2E5C},   {"purple", 0x7A4CB0}, {"violet", 0x8A5CC8},
    {"pink", 0xE07AA8},   {"white", 0xE8E8E8},  {"black", 0x202020},  {"grey", 0x8A8A8A},
    {"gray", 0x8A8A8A},   {"brown", 0x7A5638},  {"beige", 0xD8C8A8},
};

bool tintFor(const std::string& text, Rgb8& out) {
  size_t best = std::string::npos;
  for (const Tint& t : kTints) {
    size_t at = findWord(text, {t.word});
    if (at < best) {
      best = at;
      out = Rgb8{uint8_t(t.rgb >> 16), uint8_t(t.rgb >> 8), uint8_t(t.rgb)};
    }
  }
  return best != std::string::npos;
}

uint64_t promptSeed(const std::string& prompt) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char ch : prompt) {
    h ^= ch;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

Scene sceneForPrompt(const std::string& prompt) {
  std::string text = lowered(prompt);
  struct Choice {
    Scene scene;
    std::initializer_list<const char*> words;
  };
  // Places win over times of day: "city at night" is a city, lit for the night.
  const Choice places[] = {
      {Scene::Studio, {"studio", "backdrop", "seamless", "portrait", "plain", "interview"}},
      {Scene::Sea,
       {"sea", "ocean", "beach", "coast", "lake", "wave", "water", "island", "tropical", "shore"}},
      {Scene::Forest, {"forest", "tree", "woods", "woodland", "jungle", "pine", "nature", "park"}},
      {Scene::City,
       {"city", "urban", "street", "skyline", "building", "downtown", "town", "neon",
        "skyscraper"}},
      {Scene::Desert, {"desert", "dune", "sand", "sahara", "canyon", "arid"}},
      {Scene::Snow,
       {"snow", "snowy", "winter", "ice", "arctic", "frozen", "glacier", "ski", "mountain",
        "alps"}},
  };
  const Choice skies[] = {
      {Scene::Night, {"night", "star", "starry", "moon", "midnight", "galaxy", "space", "dark"}},
      {Scene::Sunset, {"sunset", "sunrise", "dusk", "dawn", "twilight", "evening", "golden hour"}},
      {Scene::Sky,
       {"sky", "cloud", "cloudy", "day", "sunny", "heaven", "air", "summer", "morning"}},
  };
  size_t best = std::string::npos;
  Scene scene = Scene::Abstract;
  for (const Choice& c : places) {
    size_t at = findWord(text, c.words);
    if (at < best) best = at, scene = c.scene;
  }
  if (best != std::string::npos) return scene;
  for (const Choice& c : skies) {
    size_t at = findWord(text, c.words);
    if (at < best) best = at, scene = c.scene;
  }
  return scene;
}

const char* sceneName(Scene scene) {
  switch (scene) {
    case Scene::Sky:
      return "sky";
    case Scene::Sunset:
      return "sunset";
    case Scene::Sea:
      return "sea";
    case Scene::Forest:
      return "forest";
    case Scene::Night:
      return "night";
    case Scene::City:
      return "city";
    case Scene::Desert:
      return "desert";
    case Scene::Snow:
      return "snow";
    case Scene::Studio:
      return "studio";
    case Scene::Abstract:
      return "abstract";
  }
  return "abstract";
}

PromptStyle readPrompt(const std::string& prompt) {
  PromptStyle style;
  std::string text = lowered(prompt);
  style.scene = sceneForPrompt(prompt);
  style.seed = promptSeed(text);
  if (style.scene == Scene::Night ||
      findWord(text, {"night", "moon", "midnight", "starry", "stars", "dark"}) != std::string::npos)
    style.time = TimeOfDay::Night;
  else if (style.scene == Scene::Sunset ||
           findWord(text, {"sunset", "sunrise", "dusk", "dawn", "twilight", "evening",
                           "golden hour"}) != std::string::npos)
    style.time = TimeOfDay::Sunset;
  style.tinted = tintFor(text, style.tint);
  return style;
}
