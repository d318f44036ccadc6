// Image files through OpenImageIO: each format keeps its depth through a
// write and a read with nothing left beside it; and the tool's own words
// for frame ranges and account labels. (A failing write is tested on the
// real tool under a file-size limit, in render_tool_test.cpp.)
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>

#include "cli/cli.h"
#include "tests/support/temp_home.h"

namespace {

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// A gradient with a varying alpha, in the given sample type.
std::vector<uint8_t> pattern(int width, int height, int channels, Sample sample) {
  std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * channels * sampleBytes(sample));
  for (size_t i = 0; i < bytes.size() / sampleBytes(sample); ++i) {
    const unsigned v = static_cast<unsigned>((i * 2654435761u) >> 7);
    switch (sample) {
      case Sample::U8:
        bytes[i] = static_cast<uint8_t>(v);
        break;
      case Sample::U16: {
        uint16_t s = static_cast<uint16_t>(v);
        std::memcpy(&bytes[i * 2], &s, 2);
        break;
      }
      case Sample::Half: {
        // Halves between 1/1024 and 2: sign 0, exponent 5..15, any mantissa.
        uint16_t s = static_cast<uint16_t>(((5 + v % 11) << 10) | (v >> 4 & 0x3ff));
        std::memcpy(&bytes[i * 2], &s, 2);
        break;
      }
      case Sample::Float: {
        float f = static_cast<float>(v % 100000) / 37000.0f - 0.5f;  // below 0 and above 1 too
        std::memcpy(&bytes[i * 4], &f, 4);
        break;
      }
    }
  }
  return bytes;
}

struct RoundTrip {
  const char* name;
  const char* extension;
  int channels;
  Sample sample;
  int bits;
  int tolerance;  // per 8-bit level; 0: exact
};

class ImageFiles : public ::testing::TestWithParam<RoundTrip> {
 protected:
  TempHome home;
};

TEST_P(ImageFiles, KeepFormatChannelsAndDepthThroughWriteAndRead) {
  const RoundTrip& p = GetParam();
  const int width = 37, height = 23;
  const std::string path = home.path() + "/frame0001" + p.extension;
  std::vector<uint8_t> pixels = pattern(width, height, p.channels, p.sample);
  const ptrdiff_t row = static_cast<ptrdiff_t>(width) * p.channels * sampleBytes(p.sample);
  if (p.tolerance > 0)  // lossy: a smooth picture, the kind it is made for
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] =
          static_cast<uint8_t>(i / p.channels % width * 3 + i / row * 2 + i % p.channels * 40);
  OutputFormat format;
  format.format = p.name;
  format.sample = p.sample;
  format.bits = p.bits;
  format.channels = p.channels;
  std::string error;
  ASSERT_TRUE(
      writeImage(path, {pixels.data(), row, width, height, p.channels, p.sample}, format, error))
      << error;

  ImageInfo info;
  ASSERT_TRUE(probeImage(path, info, error)) << error;
  EXPECT_EQ(info.format, p.name);
  EXPECT_EQ(info.sample, p.sample);
  EXPECT_EQ(info.bits, p.bits);
  EXPECT_EQ(info.channels, p.channels);
  // The same format and depth come out when nothing else is asked.
  OutputFormat kept;
  ASSERT_TRUE(chooseOutputFormat(info, "", "", kept, error)) << error;
  EXPECT_EQ(kept.format, p.name);
  EXPECT_EQ(kept.sample, p.sample);
  EXPECT_EQ(kept.bits, p.bits);

  std::vector<uint8_t> back(pixels.size());
  ASSERT_TRUE(readImage(path, {back.data(), row, width, height, p.channels, p.sample}, error))
      << error;
  if (p.bits == 10) {
    // 10-bit samples come back spread over 16 bits: their top ten bits are the ones kept.
    for (size_t i = 0; i < pixels.size(); i += 2) back[i] &= 0xc0, pixels[i] &= 0xc0;
  }
  if (p.tolerance == 0) {
    EXPECT_EQ(back, pixels);
  } else {
    int worst = 0;
    for (size_t i = 0; i < back.size(); ++i) worst = std::max(worst, std::abs(back[i] - pixels[i]));
    EXPECT_LE(worst, 8 * p.tolerance);  // lossy, yet the same picture
  }
  EXPECT_EQ(filesIn(home.path()), std::vector<std::string>{baseName(path)});
}

INSTANTIATE_TEST_SUITE_P(Cli, ImageFiles,
                         ::testing::Values(RoundTrip{"png", ".png", 4, Sample::U8, 8, 0},
                                           RoundTrip{"png", ".png", 3, Sample::U16, 16, 0},
                                           RoundTrip{"tiff", ".tif", 4, Sample::U8, 8, 0},
                                           RoundTrip{"tiff", ".tif", 4, Sample::U16, 16, 0},
                                           RoundTrip{"openexr", ".exr", 4, Sample::Half, 16, 0},
                                           RoundTrip{"openexr", ".exr", 3, Sample::Float, 32, 0},
                                           RoundTrip{"dpx", ".dpx", 3, Sample::U16, 10, 0},
                                           RoundTrip{"dpx", ".dpx", 4, Sample::U16, 16, 0},
                                           RoundTrip{"jpeg", ".jpg", 3, Sample::U8, 8, 1}),
                         [](const ::testing::TestParamInfo<RoundTrip>& info) {
                           return std::string(info.param.name) + std::to_string(info.param.bits) +
                                  "bit" + std::to_string(info.param.channels) + "ch";
                         });

TEST(FrameRanges, ParseAndSelectByNumber) {
  struct Row {
    const char* text;
    bool ok;
    std::vector<long> in, out;  // numbers tried, and the ones selected
  };
  const Row rows[] = {
      {"1001-1004", true, {1000, 1001, 1004, 1005}, {1001, 1004}},
      {"10-20x5", true, {10, 12, 15, 20, 21}, {10, 15, 20}},
      {"7", true, {6, 7, 8}, {7}},
      {"5-2", false, {}, {}},
      {"1-9x0", false, {}, {}},
      {"-3", false, {}, {}},
      {"a-b", false, {}, {}},
  };
  for (const Row& row : rows) {
    FrameRange range;
    std::string error;
    EXPECT_EQ(parseFrameRange(row.text, range, error), row.ok) << row.text;
    if (!row.ok) {
      EXPECT_NE(error.find(row.text), std::string::npos) << error;
      continue;
    }
    std::vector<long> selected;
    for (long n : row.in)
      if (range.contains(n)) selected.push_back(n);
    EXPECT_EQ(selected, row.out) << row.text;
  }
  EXPECT_EQ(frameNumber("shot_v2.0101.exr"), 101);
  EXPECT_EQ(frameNumber("plate.exr"), -1);
}

TEST(ToolWords, AccountLinesNeverCarryThePanelsWordingOrControlCharacters) {
  const std::string url = "http://127.0.0.1:9";
  const std::pair<std::string, std::string> rows[] = {
      {"", "signed out"},
      {"cli@example.com \xE2\x80\x94 1 tokens", "cli@example.com, 1 credit"},
      {"cli@example.com \xE2\x80\x94 24 tokens", "cli@example.com, 24 credits"},
      {"a@b.c \xE2\x80\x94 0 tokens \xE2\x80\x94 buy more \xE2\x86\x92", "a@b.c, no credits left"},
      {"Session expired \xE2\x80\x94 sign in again",
       "session rejected — sign in again (run with --sign-in)"},
      {"Sign in failed: HTTP 0", "sign-in failed: cannot reach " + url},
      {"Sign-in code expired \xE2\x80\x94 click Sign In to retry",
       "sign-in code expired — run with --sign-in again"},
      {"Signed in (backend unreachable \xE2\x80\x94 will retry)",
       "signed in, but cannot reach " + url},
      {"evil\x1b]0;owned\x07@x.io\xC2\x9B \xE2\x80\x94 3 tokens", "evil]0;owned@x.io, 3 credits"},
  };
  for (const auto& row : rows) {
    const std::string line = accountLine(row.first, url);
    EXPECT_EQ(line, row.second) << row.first;
    for (const char* leak : {"click Sign In", "tokens", "buy more"})
      EXPECT_EQ(line.find(leak), std::string::npos) << line;
  }
}

}  // namespace
