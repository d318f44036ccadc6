// The effect key: which key an instance takes at create-instance, and that
// backgrounds stay with their effect across host processes sharing a HOME.
#include <stb_image_write.h>

#include <sstream>

#include "backend/backend.h"
#include "core/core.h"
#include "tests/cli/child_process.h"
#include "tests/plugin/bundle_fixture.h"

namespace {

const std::string kKey = "00112233445566778899aabbccddeeff";

std::string recordKey(HostInstance* instance) {
  auto* record =
      static_cast<Instance*>(hostPropPointer(hostInstanceProps(instance), kOfxPropInstanceData));
  return record ? record->key : std::string();
}

class EffectKey : public BundleTest {};

TEST_F(EffectKey, ASavedKeyIsKeptUnlessALiveInstanceHoldsItOrItIsNoKey) {
  struct Case {
    const char* what;
    std::string saved;  // restored into effectKey before create-instance
    bool kept;
  };
  HostInstance* holder = create({{"effectKey", kKey}});
  ASSERT_EQ(recordKey(holder), kKey);
  const Case cases[] = {
      {"a new effect", "", false},
      {"a duplicate of a live effect", kKey, false},
      {"a saved key nobody holds", "ffeeddccbbaa99887766554433221100", true},
      {"a path instead of a key", "../../../../etc/passwd", false},
      {"upper-case hex", "00112233445566778899AABBCCDDEEFF", false},
  };
  std::vector<std::string> seen{kKey};
  for (const Case& c : cases) {
    HostInstance* instance = create({{"effectKey", c.saved}});
    const std::string key = recordKey(instance);
    EXPECT_TRUE(isEffectKey(key)) << c.what << ": " << key;
    EXPECT_EQ(key == c.saved, c.kept) << c.what;
    EXPECT_EQ(hostGetString(instance, "effectKey"), key) << c.what << ": the project keeps it";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), key), 0) << c.what;
    seen.push_back(key);
  }
  // Once the original is gone, its key is free for the effect that owns it.
  destroy(holder);
  EXPECT_EQ(recordKey(create({{"effectKey", kKey}})), kKey);
}

TEST_F(EffectKey, AHostThatDropsTheValueStillGivesEachInstanceItsOwnKey) {
  // The host takes the value and then reads back empty, as one that does not
  // store plug-in edits of a hidden parameter.
  hostOnParamChange(host_, [](HostInstance* instance, const ParamChange& change) {
    if (change.param == "effectKey") hostSetValue(instance, "effectKey", std::string());
  });
  HostInstance* a = create();
  HostInstance* b = create();
  EXPECT_EQ(hostGetString(a, "effectKey"), "");
  EXPECT_TRUE(isEffectKey(recordKey(a)));
  EXPECT_TRUE(isEffectKey(recordKey(b)));
  EXPECT_NE(recordKey(a), recordKey(b));
}

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                             static_cast<size_t>(size));
}

std::string solidPng(uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> rgba;
  for (int i = 0; i < 32 * 24; ++i) rgba.insert(rgba.end(), {r, g, b, 255});
  std::string bytes;
  stbi_write_png_to_func(appendBytes, &bytes, 32, 24, 4, rgba.data(), 32 * 4);
  return bytes;
}

struct ProbeRun {
  std::string key;
  std::string pixel;  // "r g b" at the frame's centre
};

// One host process with one effect (effect_key_probe), in this test's HOME.
ProbeRun runProbe(const std::string& home, const std::string& prompt, const std::string& saved,
                  bool generate) {
  const ProgramResult result = runProgram({TALVANE_EFFECT_KEY_PROBE, TALVANE_TEST_BUNDLE, prompt,
                                           saved.empty() ? "-" : saved, generate ? "1" : "0"},
                                          {}, home, 60);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  ProbeRun run;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 4, "key ") == 0) run.key = line.substr(4);
    if (line.compare(0, 6, "pixel ") == 0) run.pixel = line.substr(6);
  }
  return run;
}

// Two host processes share a HOME and generate for the same prompt; a third,
// a later session of the first effect's project, shows that effect's own
// background without generating.
TEST_F(EffectKey, BackgroundsStayWithTheirEffectAcrossHostProcesses) {
  ASSERT_TRUE(keychainStoreToken(kTestKeychain, TALVANE_TEST_SERVICE_URL, "tok-key"));
  service_.reply("GET", "/v1/me", Reply{200, R"({"email":"a@b.c","balance":5})"});
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(20, 40, 220), "image/png"});
  const ProbeRun first = runProbe(home_.path(), "harbour", "", true);
  EXPECT_EQ(first.pixel, "20 40 220");
  service_.reply("POST", "/v1/generate", Reply{200, solidPng(210, 30, 30), "image/png"});
  const ProbeRun second = runProbe(home_.path(), "harbour", "", true);
  EXPECT_EQ(second.pixel, "210 30 30");
  ASSERT_TRUE(isEffectKey(first.key)) << first.key;
  ASSERT_TRUE(isEffectKey(second.key)) << second.key;
  EXPECT_NE(first.key, second.key);

  const ProbeRun reopened = runProbe(home_.path(), "harbour", first.key, false);
  EXPECT_EQ(reopened.key, first.key);
  EXPECT_EQ(reopened.pixel, "20 40 220") << "another process's background was shown";
  const auto generated = service_.requestsTo("/v1/generate");
  ASSERT_EQ(generated.size(), 2u);
  EXPECT_EQ(generated[0].fields.at("cache_key"),
            first.key + "_" + std::to_string(promptKey("harbour")));
  EXPECT_EQ(generated[1].files.at("image").filename, "ofx_grabbed_" + second.key + ".png");
}

}  // namespace
