// talvane-render end to end: the real tool loads the demo bundle in our host,
// which talks through /usr/bin/curl to a real talvane-service on the bundle's
// loopback port, under a temporary HOME. Each test starts what it needs and
// stops it by its PID.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cli/cli.h"
#include "stb_image_write.h"
#include "tests/cli/child_process.h"
#include "tests/support/temp_home.h"

namespace {

const int kWidth = 96, kHeight = 64;

// The port the demo bundle is bound to. Read from the build's cache at run
// time: make demo rebinds the bundle to a free port when its own is taken.
int demoPort() {
  std::ifstream cache(TALVANE_CMAKE_CACHE);
  const std::string key = "TALVANE_DEMO_SERVICE_URL:";
  std::string line;
  while (std::getline(cache, line))
    if (line.compare(0, key.size(), key) == 0) return std::atoi(line.c_str() + line.rfind(':') + 1);
  return 0;
}

// A patterned block on a plain backdrop, moved one pixel right per frame.
std::vector<uint8_t> syntheticFrame(int index, int width = kWidth, int height = kHeight) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* px = &rgba[(static_cast<size_t>(y) * width + x) * 4];
      bool subject = x >= 30 + index && x < 60 + index && y >= 14 && y < 56;
      bool check = ((x / 4) + (y / 4)) & 1;
      px[0] = subject ? (check ? 220 : 40) : 60;
      px[1] = subject ? (check ? 60 : 40) : 150;
      px[2] = subject ? (check ? 70 : 160) : 90;
      px[3] = 255;
    }
  }
  return rgba;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

class RenderTool : public ::testing::Test {
 protected:
  void SetUp() override {
    frames = home.path() + "/frames";
    out = home.path() + "/out";
    mkdir(frames.c_str(), 0755);
    // The demo bundle's opener only records, and the service approves by
    // itself, so signing in starts nothing.
    env = {"TALVANE_DEBUG="};
  }
  void TearDown() override { stopProcess(service); }

  void startDemoService(std::vector<std::string> flags) {
    flags.insert(flags.end(), {"--port", std::to_string(demoPort())});
    int port = 0;
    service = startService(TALVANE_SERVICE_BIN, flags, home.path() + "/service.log", port);
    ASSERT_GT(service, 0) << "talvane-service did not start on port " << demoPort();
  }

  std::string writeFrame(const std::string& name, const std::vector<uint8_t>& rgba,
                         int width = kWidth, int height = kHeight) {
    std::string path = frames + "/" + name;
    EXPECT_TRUE(stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4));
    return path;
  }

  void writeClip(int count) {
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%04d.png", i);
      writeFrame(name, syntheticFrame(i));
    }
  }

  ProgramResult render(std::vector<std::string> args) {
    args.insert(args.begin(), {TALVANE_RENDER, "--bundle", TALVANE_DEMO_BUNDLE, "--wait", "30"});
    return runProgram(args, env, home.path(), 90);
  }

  std::vector<uint8_t> readOutput(const std::string& name) {
    std::vector<uint8_t> rgba;
    int width = 0, height = 0;
    std::string error;
    EXPECT_TRUE(readPng(out + "/" + name, rgba, width, height, error)) << error;
    return rgba;
  }

  TempHome home;
  std::string frames, out;
  std::vector<std::string> env;
  pid_t service = -1;
};

TEST_F(RenderTool, SignsInGeneratesAndCompositesEveryFrame) {
  startDemoService({"--auto-approve=cli@example.com", "--latency-ms", "400"});
  writeClip(3);
  ProgramResult r = render({"--sign-in", "--prompt", "sunset over the sea", "--track-motion",
                            "--generate-at", "1", frames, "-o", out});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("account: Approve in your browser to finish sign-in..."), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("account: cli@example.com — 25 tokens"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generation: done"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("frames: 3"), std::string::npos) << r.out;
  // The summary's label comes after the generation was charged.
  EXPECT_NE(r.out.find("account: cli@example.com — 24 tokens"), std::string::npos) << r.out;

  for (int i = 0; i < 3; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%04d.png", i);
    std::vector<uint8_t> rendered = readOutput(name);
    std::vector<uint8_t> source = syntheticFrame(i);
    ASSERT_EQ(rendered.size(), source.size());
    // Backdrop replaced, subject kept, and no status bars left on any frame.
    size_t backdrop = (static_cast<size_t>(kHeight / 2) * kWidth + 5) * 4;
    size_t subject = (static_cast<size_t>(kHeight / 2) * kWidth + 45) * 4;
    EXPECT_NE(std::vector<uint8_t>(rendered.begin() + backdrop, rendered.begin() + backdrop + 3),
              std::vector<uint8_t>(source.begin() + backdrop, source.begin() + backdrop + 3))
        << name;
    EXPECT_EQ(std::vector<uint8_t>(rendered.begin() + subject, rendered.begin() + subject + 3),
              std::vector<uint8_t>(source.begin() + subject, source.begin() + subject + 3))
        << name;
    EXPECT_EQ(readBanner(rendered, kWidth, kHeight), Banner::None) << name;
  }
}

// The outcome is read from the status bars of the rendered frame, which pass
// through the host's depth conversions and must still be recognised.
class RenderOutOfCredits : public RenderTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(RenderOutOfCredits, EndsWithExitOneAndSaysSoAtEveryDepth) {
  startDemoService({"--auto-approve", "--balance", "0"});
  writeClip(2);
  ProgramResult r = render({"--depth", GetParam(), "--sign-in", "--prompt", "forest",
                            "--generate-at", "0", frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("account: demo@localhost — 0 tokens — buy more →"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("generation: out of credits"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("out of credits"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(out + "/f0000.png"));
}

INSTANTIATE_TEST_SUITE_P(Cli, RenderOutOfCredits, ::testing::Values("8", "16", "float"));

TEST_F(RenderTool, SignOutForgetsTheTokenSoGenerationFails) {
  startDemoService({"--auto-approve"});
  writeClip(1);
  ASSERT_EQ(render({"--sign-in", frames, "-o", out}).exitCode, 0);
  ProgramResult again = render({"--sign-in", frames, "-o", out});
  EXPECT_NE(again.out.find("already signed in"), std::string::npos) << again.out;

  ProgramResult signOut = render({"--sign-out", frames, "-o", out});
  EXPECT_EQ(signOut.exitCode, 0) << signOut.err;
  EXPECT_NE(signOut.out.find("account: (signed out)"), std::string::npos) << signOut.out;

  ProgramResult generate = render({"--prompt", "snow", "--generate-at", "0", frames, "-o", out});
  EXPECT_EQ(generate.exitCode, 1);
  EXPECT_NE(generate.out.find("generation: failed"), std::string::npos) << generate.out;
  EXPECT_NE(generate.err.find("generation failed"), std::string::npos) << generate.err;
}

TEST_F(RenderTool, SignInWaitIsBoundedWhileNobodyApproves) {
  startDemoService({});
  writeClip(1);
  ProgramResult r = render({"--sign-in", "--wait", "1", frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("account: Approve in your browser to finish sign-in..."), std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("sign-in still waiting for approval after 1 s"), std::string::npos) << r.err;
}

TEST_F(RenderTool, GenerationWaitIsBounded) {
  startDemoService({"--auto-approve", "--latency-ms", "2500"});
  writeClip(1);
  ProgramResult r = render(
      {"--sign-in", "--prompt", "city", "--generate-at", "0", "--wait", "1", frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("generation still running after 1 s"), std::string::npos) << r.err;
}

// Without a prompt the plug-in passes frames through; every host depth must
// bring the PNG's bytes back unchanged.
class RenderDepth : public RenderTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(RenderDepth, PassesFramesThroughUnchangedWithoutAPrompt) {
  writeClip(2);
  ProgramResult r =
      render({"--depth", GetParam(), "--threads", "2", frames + "/f%04d.png", "-o", out});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("frames: 2"), std::string::npos) << r.out;
  EXPECT_EQ(readOutput("f0000.png"), syntheticFrame(0));
  EXPECT_EQ(readOutput("f0001.png"), syntheticFrame(1));
}

INSTANTIATE_TEST_SUITE_P(Cli, RenderDepth, ::testing::Values("8", "16", "float"));

TEST_F(RenderTool, FrameOfAnotherSizeStopsTheRunAndKeepsEarlierOutputs) {
  writeFrame("a.png", syntheticFrame(0));
  std::string odd = writeFrame("b.png", syntheticFrame(0, 80, 64), 80, 64);
  ProgramResult r = render({frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(odd + ": frame is 80x64, the first frame is 96x64"), std::string::npos)
      << r.err;
  EXPECT_TRUE(fileExists(out + "/a.png"));
  EXPECT_FALSE(fileExists(out + "/b.png"));
}

struct BadRun {
  const char* name;
  std::vector<std::string> args;  // "FRAMES" and "HOME" stand for the test's folders
  int exitCode;
  std::string message;  // "FRAMES" and "HOME" replaced likewise
};

class RenderRefuses : public RenderTool, public ::testing::WithParamInterface<BadRun> {
 protected:
  std::string expand(std::string text) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"FRAMES", frames},
                              std::pair<std::string, std::string>{"HOME", home.path()}}) {
      for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at))
        text.replace(at, key.size(), value);
    }
    return text;
  }
};

TEST_P(RenderRefuses, WithExitCodeAndMessage) {
  writeFrame("a.png", syntheticFrame(0));
  std::ofstream(frames + "/notes.png") << "plain text, not an image";
  std::ofstream(home.path() + "/file") << "x";
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) args.push_back(expand(a));
  ProgramResult r = render(args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_NE(r.err.find(expand(GetParam().message)), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, RenderRefuses,
    ::testing::Values(
        BadRun{"MissingFile",
               {"FRAMES/missing.png", "-o", "HOME/out"},
               1,
               "FRAMES/missing.png: No such file or directory"},
        BadRun{"NotAPng",
               {"FRAMES/notes.png", "-o", "HOME/out"},
               1,
               "FRAMES/notes.png: not a PNG file"},
        BadRun{"OutputBelowAFile",
               {"FRAMES/a.png", "-o", "HOME/file/out"},
               1,
               "HOME/file/out: cannot create output folder"},
        BadRun{"OutputIsAFile",
               {"FRAMES/a.png", "-o", "HOME/file"},
               1,
               "HOME/file: output path is not a folder"},
        BadRun{"UnknownFlag",
               {"FRAMES/a.png", "--frobnicate", "-o", "HOME/out"},
               2,
               "unknown option --frobnicate"},
        BadRun{"BlendOutOfRange",
               {"FRAMES/a.png", "--blend", "2", "-o", "HOME/out"},
               2,
               "--blend wants a number from 0 to 1, not '2'"},
        BadRun{"UnknownMaskSource",
               {"FRAMES/a.png", "--mask-source", "alpha", "-o", "HOME/out"},
               2,
               "--mask-source wants auto or none"},
        BadRun{"UnknownDepth",
               {"FRAMES/a.png", "--depth", "12", "-o", "HOME/out"},
               2,
               "--depth wants 8, 16 or float"},
        BadRun{"NoOutputFolder", {"FRAMES/a.png"}, 2, "no output folder given"},
        BadRun{"NoInputs", {"-o", "HOME/out"}, 2, "no INPUT frames given"},
        BadRun{"GenerateWithoutPrompt",
               {"FRAMES/a.png", "--generate-at", "0", "-o", "HOME/out"},
               2,
               "--generate-at needs a non-empty --prompt"},
        BadRun{"GeneratePastTheEnd",
               {"FRAMES/a.png", "--prompt", "sea", "--generate-at", "3", "-o", "HOME/out"},
               2,
               "--generate-at 3 is past the last frame"},
        BadRun{"SignInWithoutService",
               {"FRAMES/a.png", "--sign-in", "-o", "HOME/out"},
               1,
               "sign-in did not complete: Sign in failed: "},
        BadRun{"MissingBundle",
               {"FRAMES/a.png", "--bundle", "HOME/nothing.ofx.bundle", "-o", "HOME/out"},
               1,
               "HOME/nothing.ofx.bundle: cannot load bundle"}),
    [](const ::testing::TestParamInfo<BadRun>& info) { return std::string(info.param.name); });

TEST_F(RenderTool, HelpListsEveryEffectFlag) {
  ProgramResult r = runProgram({TALVANE_RENDER, "--help"}, env, home.path(), 10);
  EXPECT_EQ(r.exitCode, 0);
  for (const char* flag :
       {"--prompt", "--blend", "--mask-source", "--threshold", "--invert-mask", "--mask-grow",
        "--in-feather", "--out-feather", "--track-motion", "--bg-scale", "--bg-pan-x", "--bg-pan-y",
        "--depth", "--threads", "--sign-in", "--sign-out", "--generate-at", "--bundle"})
    EXPECT_NE(r.out.find(flag), std::string::npos) << flag;
}

}  // namespace
