// Which files the INPUT arguments name, how PNGs are read, and the output
// folder check: the rules talvane-render applies before any frame renders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "cli/cli.h"
#include "stb_image_write.h"
#include "tests/support/temp_home.h"

namespace {

class CliInputs : public ::testing::Test {
 protected:
  TempHome home;  // a fresh folder, removed with everything in it
  const std::string dir = home.path();

  std::string png(const std::string& name, int width = 4, int height = 3) {
    std::string path = dir + "/" + name;
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4, 200);
    EXPECT_TRUE(stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4));
    return path;
  }
  std::string text(const std::string& name, const std::string& content) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << content;
    return path;
  }
  std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) out.push_back(baseName(p));
    return out;
  }
};

TEST_F(CliInputs, FolderGivesItsPngFilesInNameOrder) {
  png("b.png");
  png("a.png");
  png("C.PNG");
  text("notes.txt", "not a frame");
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(listInputs({dir}, frames, error)) << error;
  EXPECT_EQ(names(frames), (std::vector<std::string>{"C.PNG", "a.png", "b.png"}));
}

TEST_F(CliInputs, PatternGivesMatchingFilesInNumberOrder) {
  mkdir((dir + "/seq").c_str(), 0755);
  png("seq/f0010.png");
  png("seq/f0002.png");
  png("seq/f0009.png");
  png("seq/f10.png");    // not four digits: not this pattern's file
  png("seq/g0001.png");  // other prefix
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(listInputs({dir + "/seq/f%04d.png"}, frames, error)) << error;
  EXPECT_EQ(names(frames), (std::vector<std::string>{"f0002.png", "f0009.png", "f0010.png"}));
}

TEST_F(CliInputs, UnpaddedPatternMatchesPlainNumbers) {
  png("shot_1.png");
  png("shot_12.png");
  png("shot_007.png");
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(listInputs({dir + "/shot_%d.png"}, frames, error)) << error;
  EXPECT_EQ(names(frames), (std::vector<std::string>{"shot_1.png", "shot_12.png"}));
}

TEST_F(CliInputs, FilesKeepTheOrderGiven) {
  std::string b = png("b.png"), a = png("a.png");
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(listInputs({b, a}, frames, error)) << error;
  EXPECT_EQ(frames, (std::vector<std::string>{b, a}));
}

struct BadInput {
  const char* arg;  // relative to the test folder
  const char* reason;
};

class CliBadInputs : public CliInputs, public ::testing::WithParamInterface<BadInput> {};

TEST_P(CliBadInputs, AreRefusedNamingTheArgument) {
  png("only.png");
  mkdir((dir + "/empty").c_str(), 0755);
  std::vector<std::string> frames;
  std::string error;
  std::string arg = dir + "/" + GetParam().arg;
  EXPECT_FALSE(listInputs({arg}, frames, error));
  EXPECT_NE(error.find(arg), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Cli, CliBadInputs,
                         ::testing::Values(BadInput{"missing.png", "No such file"},
                                           BadInput{"empty", "no image files"},
                                           BadInput{"f%04d.png", "no file matches"},
                                           BadInput{"f%s.png", "exactly one %d"},
                                           BadInput{"f%d_%d.png", "exactly one %d"}));

TEST_F(CliInputs, TwoInputsWithOneFileNameAreRefused) {
  mkdir((dir + "/x").c_str(), 0755);
  std::string a = png("same.png"), b = png("x/same.png");
  std::vector<std::string> frames;
  std::string error;
  EXPECT_FALSE(listInputs({a, b}, frames, error));
  EXPECT_NE(error.find("same file name"), std::string::npos) << error;
}

TEST_F(CliInputs, PngIsReadAsRgba8) {
  std::string path = png("frame.png", 5, 2);
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
  std::string error;
  ASSERT_TRUE(readRGBA8(path, rgba, width, height, error)) << error;
  EXPECT_EQ(width, 5);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(rgba.size(), 5u * 2 * 4);
}

TEST_F(CliInputs, TextFileNamedPngIsNotAPng) {
  std::string path = text("fake.png", "hello, not an image");
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
  std::string error;
  EXPECT_FALSE(readRGBA8(path, rgba, width, height, error));
  EXPECT_EQ(error.rfind(path + ": cannot read image", 0), 0u) << error;
}

TEST_F(CliInputs, TruncatedPngFailsToDecodeNamingTheFile) {
  std::string good = png("good.png", 32, 32);
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string path = text("cut.png", bytes.substr(0, 40));
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
  std::string error;
  EXPECT_FALSE(readRGBA8(path, rgba, width, height, error));
  EXPECT_EQ(error.rfind(path + ": cannot ", 0), 0u) << error;
  EXPECT_TRUE(rgba.empty());
}

TEST_F(CliInputs, OutputFolderIsCreatedWithItsParents) {
  std::string error;
  EXPECT_TRUE(prepareOutputDir(dir + "/out/a/b", error)) << error;
  struct stat st {};
  EXPECT_EQ(stat((dir + "/out/a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(CliInputs, OutputFolderBelowAFileIsRefused) {
  std::string file = text("plain.txt", "x");
  std::string error;
  EXPECT_FALSE(prepareOutputDir(file + "/out", error));
  EXPECT_NE(error.find("cannot create output folder"), std::string::npos) << error;
  EXPECT_FALSE(prepareOutputDir(file, error));
  EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

TEST_F(CliInputs, ContactSheetPutsInputsAboveOutputs) {
  const int w = 40, h = 20;
  SheetPair pair{std::vector<uint8_t>(w * h * 4, 0), std::vector<uint8_t>(w * h * 4, 0)};
  for (size_t i = 0; i < pair.input.size(); i += 4) pair.input[i] = 255;        // red in
  for (size_t i = 0; i < pair.output.size(); i += 4) pair.output[i + 2] = 255;  // blue out
  std::string path = dir + "/sheet.png", error;
  ASSERT_TRUE(writeContactSheet(path, {pair, pair}, w, h, 20, error)) << error;
  std::vector<uint8_t> sheet;
  int sw = 0, sh = 0;
  ASSERT_TRUE(readRGBA8(path, sheet, sw, sh, error)) << error;
  EXPECT_EQ(sw, 8 + 2 * (20 + 8));
  EXPECT_EQ(sh, 8 + 2 * (10 + 8));
  auto at = [&](int x, int y) { return &sheet[(static_cast<size_t>(y) * sw + x) * 4]; };
  EXPECT_EQ(at(12, 12)[0], 255);  // first cell of the top row: an input
  EXPECT_EQ(at(12, 12)[2], 0);
  EXPECT_EQ(at(12, 30)[2], 255);  // below it: its output
  EXPECT_EQ(at(12, 30)[0], 0);
  EXPECT_EQ(at(2, 2)[0], 24);  // gutter
}

}  // namespace
