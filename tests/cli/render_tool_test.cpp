// talvane-render end to end: the real tool loads the demo bundle in our host,
// which talks through /usr/bin/curl to a real talvane-service on the bundle's
// loopback port, under a temporary HOME. Each test starts what it needs and
// stops it by its PID.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

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

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Frames of noise: every byte differs, so encoded sizes are predictable.
std::vector<uint8_t> noiseFrame(int width, int height) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  uint32_t state = 2463534242u;
  for (size_t i = 0; i < rgba.size(); ++i) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;  // xorshift32
    rgba[i] = (i & 3) == 3 ? 255 : static_cast<uint8_t>(state);
  }
  return rgba;
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
    ASSERT_GT(service, 0) << "talvane-service did not start on port " << demoPort() << ":\n"
                          << bytesOf(home.path() + "/service.log") << bytesOf(home.path() + "/service.log.err");
  }

  std::string writeFrame(const std::string& name, const std::vector<uint8_t>& rgba,
                         int width = kWidth, int height = kHeight) {
    std::string path = frames + "/" + name;
    EXPECT_TRUE(stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4));
    return path;
  }

  void writeClip(int count, int width = kWidth) {
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%04d.png", i);
      writeFrame(name, syntheticFrame(i, width), width);
    }
  }

  std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), {TALVANE_RENDER, "--bundle", TALVANE_DEMO_BUNDLE, "--wait", "30"});
    return args;
  }
  ProgramResult render(std::vector<std::string> args, long fileSizeLimit = 0) {
    return runProgram(command(args), env, home.path(), 90, fileSizeLimit);
  }
  std::string serviceUrl() { return "http://127.0.0.1:" + std::to_string(demoPort()); }

  std::vector<uint8_t> readOutput(const std::string& name) {
    std::vector<uint8_t> rgba;
    int width = 0, height = 0;
    std::string error;
    EXPECT_TRUE(readRGBA8(out + "/" + name, rgba, width, height, error)) << error;
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
  EXPECT_NE(r.out.find("sign-in: open " + serviceUrl() + "/device"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("account: cli@example.com, 25 credits"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generation: done"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("frames: 3 written"), std::string::npos) << r.out;
  // The summary's line comes after the generation was charged.
  EXPECT_NE(r.out.find("account: cli@example.com, 24 credits"), std::string::npos) << r.out;

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
  EXPECT_NE(r.out.find("account: demo@localhost, no credits left"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generation: out of credits"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("talvane-render: out of credits"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(out + "/f0000.png"));
}

INSTANTIATE_TEST_SUITE_P(Cli, RenderOutOfCredits, ::testing::Values("8", "16", "float"));

TEST_F(RenderTool, SignOutForgetsTheTokenSoGenerationFails) {
  startDemoService({"--auto-approve"});
  writeClip(1);
  ASSERT_EQ(render({"--sign-in", frames, "-o", out}).exitCode, 0);
  ProgramResult again = render({"--sign-in", "-y", frames, "-o", out});
  EXPECT_NE(again.out.find("already signed in"), std::string::npos) << again.out;

  ProgramResult signOut = render({"--sign-out", "-y", frames, "-o", out});
  EXPECT_EQ(signOut.exitCode, 0) << signOut.err;
  EXPECT_NE(signOut.out.find("account: signed out"), std::string::npos) << signOut.out;

  ProgramResult generate =
      render({"--prompt", "snow", "--generate-at", "0", "-y", frames, "-o", out});
  EXPECT_EQ(generate.exitCode, 1);
  EXPECT_EQ(generate.err, "talvane-render: not signed in — run with --sign-in\n");
}

TEST_F(RenderTool, SignInWaitIsBoundedWhileNobodyApproves) {
  startDemoService({});
  writeClip(1);
  ProgramResult r = render({"--sign-in", "--wait", "1", frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("sign-in: open " + serviceUrl() + "/device"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("sign-in still waiting for approval after 1 s"), std::string::npos) << r.err;
}

TEST_F(RenderTool, GenerationWaitIsBounded) {
  startDemoService({"--auto-approve", "--latency-ms", "2500"});
  writeClip(1);
  ProgramResult r = render(
      {"--sign-in", "--prompt", "city", "--generate-at", "0", "--wait", "1", frames, "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("talvane-render: the service did not answer in time (waited 1 s"),
            std::string::npos)
      << r.err;
}

// Without a prompt the plug-in passes frames through; every host depth must
// bring the PNG's bytes back unchanged.
class RenderDepth : public RenderTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(RenderDepth, PassesFramesThroughUnchangedWithoutAPrompt) {
  writeClip(2);
  ProgramResult r =
      render({"--depth", GetParam(), "--threads", "2", frames + "/f%04d.png", "-o", out});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("frames: 2 written"), std::string::npos) << r.out;
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

TEST_F(RenderTool, ExistingOutputsAreSkippedWithNAndReplacedWithY) {
  writeClip(3);
  ASSERT_EQ(render({frames, "-o", out}).exitCode, 0);
  std::ofstream(out + "/f0001.png") << "kept";
  ProgramResult skip = render({"-n", frames, "-o", out});
  EXPECT_EQ(skip.exitCode, 0) << skip.err;
  EXPECT_NE(skip.out.find("frames: 0 written, 3 skipped"), std::string::npos) << skip.out;
  EXPECT_EQ(bytesOf(out + "/f0001.png"), "kept");
  ProgramResult replace = render({"-y", frames, "-o", out});
  EXPECT_EQ(replace.exitCode, 0) << replace.err;
  EXPECT_EQ(readOutput("f0001.png"), syntheticFrame(1));
}

// Every format's write goes through the same checked path: under a file-size
// limit the run fails, names the file, and leaves no frame, whole or partial.
class RenderWriteFails : public RenderTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(RenderWriteFails, UnderAFileSizeLimitLeavingNothingBehind) {
  for (int i = 0; i < 3; ++i) writeFrame("n" + std::to_string(i) + ".png", noiseFrame(96, 64));
  mkdir(out.c_str(), 0755);
  std::ofstream(out + "/earlier.txt") << "an earlier file";
  ProgramResult r = render({"--format", GetParam(), frames, "-o", out}, 4000);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find(": cannot write image"), std::string::npos) << r.err;
  EXPECT_EQ(filesIn(out), std::vector<std::string>{"earlier.txt"});
}

INSTANTIATE_TEST_SUITE_P(Cli, RenderWriteFails, ::testing::Values("png", "exr", "tif", "dpx"));

// A real signal to a real run: it stops with 128 + the signal, every frame
// it reports written is whole, and no temporary file stays.
class RenderInterrupted : public RenderTool, public ::testing::WithParamInterface<int> {};

TEST_P(RenderInterrupted, StopsWithWholeFramesOnly) {
#if defined(__SANITIZE_THREAD__)
  // Forty frames under TSan outlast the test's time limit; the pipeline's threads are
  // checked by every other render of this suite.
  GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
  const int count = 40, width = 960, height = 540;
  std::vector<uint8_t> frame = noiseFrame(width, height);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%04d.png", i);
    writeFrame(name, frame, width, height);
  }
  pid_t pid = startProgram(command({"--threads", "1", frames, "-o", out}), env, home.path());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (bytesOf(home.path() + "/.stderr").find("frame 2/") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, GetParam());
  ProgramResult r = waitProgram(pid, home.path(), 60);
  ASSERT_EQ(r.exitCode, 128 + GetParam()) << r.err;
  std::vector<std::string> written = filesIn(out);
  ASSERT_LT(written.size(), static_cast<size_t>(count));
  EXPECT_NE(r.err.find(std::to_string(written.size()) + " frames written, none half-written"),
            std::string::npos)
      << r.err;
  for (const std::string& name : written) EXPECT_EQ(readOutput(name), frame) << name;
}

INSTANTIATE_TEST_SUITE_P(Cli, RenderInterrupted, ::testing::Values(SIGINT, SIGTERM));

// A shot generated once renders anywhere from the shared cache alone: with
// the service gone, three tasks of it side by side give the very bytes of
// one run over the whole shot.
TEST_F(RenderTool, ShotSplitIntoParallelTasksMatchesOneRunByteForByte) {
  startDemoService({"--auto-approve"});
  writeClip(6);
  const std::string cache = home.path() + "/shared-cache";
  const std::vector<std::string> effect = {"--prompt", "sunset", "--track-motion", "--cache-dir",
                                           cache};
  std::vector<std::string> args = effect;
  args.insert(args.end(), {"--sign-in", "--generate-at", "3", "--frames", "3", frames, "-o",
                           home.path() + "/first"});
  ProgramResult generated = render(args);
  ASSERT_EQ(generated.exitCode, 0) << generated.err;
  stopProcess(service);
  service = -1;

  args = effect;
  args.insert(args.end(), {"--no-generate", frames, "-o", out});
  ProgramResult whole = render(args);
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  EXPECT_NE(whole.out.find("background: cached"), std::string::npos) << whole.out;

  std::vector<pid_t> tasks;
  for (const char* range : {"0-1", "2-3", "4-5"}) {
    args = effect;
    std::string dir = home.path() + "/task" + range;
    mkdir(dir.c_str(), 0755);
    args.insert(args.end(),
                {"--no-generate", "--frames", range, frames, "-o", home.path() + "/split"});
    tasks.push_back(startProgram(command(args), env, dir));
  }
  for (size_t t = 0; t < tasks.size(); ++t) {
    const char* ranges[] = {"0-1", "2-3", "4-5"};
    ProgramResult r = waitProgram(tasks[t], home.path() + "/task" + ranges[t], 90);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }
  ASSERT_EQ(filesIn(home.path() + "/split"), filesIn(out));
  ASSERT_EQ(filesIn(out).size(), 6u);
  for (const std::string& name : filesIn(out)) {
    EXPECT_EQ(bytesOf(home.path() + "/split/" + name), bytesOf(out + "/" + name)) << name;
    EXPECT_NE(readOutput(name), syntheticFrame(std::stoi(name.substr(1)))) << name;
  }
}

// A background cached for frames of another size is never used silently.
TEST_F(RenderTool, BackgroundCachedForAnotherFrameSizeIsRegenerated) {
  startDemoService({"--auto-approve"});
  writeClip(2);
  ASSERT_EQ(
      render({"--sign-in", "--prompt", "snow", "--generate-at", "0", frames, "-o", out}).exitCode,
      0);
  removeTree(frames);
  mkdir(frames.c_str(), 0755);
  writeClip(2, 80);
  const std::string warning =
      "warning: the cached background for this prompt was made for 96x64 frames, these are 80x64";
  ProgramResult refused = render({"--prompt", "snow", "--no-generate", frames, "-o", out + "2"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find(warning), std::string::npos) << refused.err;
  ProgramResult again = render({"--prompt", "snow", frames, "-o", out + "3"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.err.find(warning), std::string::npos) << again.err;
  EXPECT_NE(again.out.find("generation: done"), std::string::npos) << again.out;
}

// Each cause of a failed generation has its own line.
TEST_F(RenderTool, ServiceGoneAndSessionRejectedEachSaySo) {
  startDemoService({"--auto-approve"});
  writeClip(1);
  ASSERT_EQ(render({"--sign-in", frames, "-o", out}).exitCode, 0);
  stopProcess(service);
  service = -1;
  ProgramResult gone = render({"--prompt", "sea", "--generate-at", "0", frames, "-o", out + "2"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_EQ(gone.err, "talvane-render: cannot reach " + serviceUrl() + "\n");
  // A new service knows nothing of the session signed in with the last one.
  startDemoService({});
  ProgramResult rejected =
      render({"--prompt", "sea", "--generate-at", "0", frames, "-o", out + "3"});
  EXPECT_EQ(rejected.exitCode, 1);
  EXPECT_EQ(rejected.err,
            "talvane-render: session rejected — sign in again (run with --sign-in)\n");
}

// --local-service on a fresh machine: the tool starts the service, signs in,
// generates, and stops the service again.
TEST_F(RenderTool, LocalServiceRunsAFirstRenderAndStopsTheService) {
  writeClip(2);
  ProgramResult r = runProgram({TALVANE_RENDER, "--local-service", "--sign-in", "--prompt",
                                "forest", "--generate-at", "1", frames, "-o", out},
                               env, home.path(), 90);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("enter the code "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generation: done"), std::string::npos) << r.out;
  const size_t at = r.out.find("(pid ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const pid_t pid = std::atoi(r.out.c_str() + at + 5);
  EXPECT_NE(kill(pid, 0), 0) << "talvane-service " << pid << " still runs";
}

TEST_F(RenderTool, ServiceNamesAnUnknownOption) {
  ProgramResult r = runProgram({TALVANE_SERVICE_BIN, "--bogus"}, env, home.path(), 10);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--bogus: unknown option"), std::string::npos) << r.err;
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
  mkdir((home.path() + "/taken").c_str(), 0755);
  std::ofstream(home.path() + "/taken/a.png") << "an earlier output";
  std::vector<std::string> args = {"--cache-dir", home.path() + "/cache"};
  for (const std::string& a : GetParam().args) args.push_back(expand(a));
  ProgramResult r = render(args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_NE(r.err.find(expand(GetParam().message)), std::string::npos) << r.err;
  // One line says what is wrong; usage errors point at --help in that line.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  if (r.exitCode == 2) {
    EXPECT_NE(r.err.find("(see --help)"), std::string::npos) << r.err;
  }
  // Nothing of the user's changed.
  EXPECT_EQ(bytesOf(home.path() + "/taken/a.png"), "an earlier output");
  EXPECT_FALSE(fileExists(home.path() + "/out/a.png"));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, RenderRefuses,
    ::testing::Values(
        BadRun{"MissingFile",
               {"FRAMES/missing.png", "-o", "HOME/out"},
               1,
               "FRAMES/missing.png: No such file or directory"},
        BadRun{"NotAnImage",
               {"FRAMES/notes.png", "-o", "HOME/out"},
               1,
               "FRAMES/notes.png: cannot read image"},
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
               {"FRAMES/a.png", "--depth", "32", "-o", "HOME/out"},
               2,
               "--depth wants 8, 16 or float, not '32' (see --help)"},
        BadRun{"OutDepthThePngCannotStore",
               {"FRAMES/a.png", "--out-depth", "half", "-o", "HOME/out"},
               2,
               "--out-depth half: png files cannot store it"},
        BadRun{"UnknownFormat",
               {"FRAMES/a.png", "--format", "gif", "-o", "HOME/out"},
               2,
               "--format wants png, exr, dpx, tif or jpg, not 'gif'"},
        BadRun{"ThreadsOutOfRange",
               {"FRAMES/a.png", "--threads", "0", "-o", "HOME/out"},
               2,
               "--threads wants a count from 1 to 256"},
        BadRun{"BadFrameRange",
               {"FRAMES/a.png", "--frames", "9-1", "-o", "HOME/out"},
               2,
               "--frames wants FIRST-LAST"},
        BadRun{"RangeSelectsNothing",
               {"FRAMES/a.png", "--frames", "5-9", "-o", "HOME/out"},
               2,
               "--frames selects none of the frames"},
        BadRun{"OutputOverItsInputEvenWithY",
               {"FRAMES/a.png", "-y", "-o", "FRAMES"},
               1,
               "FRAMES/a.png is the input FRAMES/a.png; write the outputs to another folder"},
        BadRun{"ExistingOutputWithoutY",
               {"FRAMES/a.png", "-o", "HOME/taken"},
               1,
               "HOME/taken/a.png exists; -y overwrites existing outputs, -n skips them"},
        BadRun{"NotSignedIn",
               {"FRAMES/a.png", "--prompt", "sea", "--generate-at", "0", "-o", "HOME/out"},
               1,
               "not signed in — run with --sign-in"},
        BadRun{"PromptWithNothingCached",
               {"FRAMES/a.png", "--prompt", "sea", "-o", "HOME/out"},
               1,
               "no cached background for this prompt in HOME/cache; --generate-at FRAME"},
        BadRun{"NoGenerateWithNothingCached",
               {"FRAMES/a.png", "--prompt", "sea", "--generate-at", "0", "--no-generate", "-o",
                "HOME/out"},
               1,
               "no cached background for this prompt and these frames in HOME/cache"},
        BadRun{"NoOutputFolder", {"FRAMES/a.png"}, 2, "no output folder given"},
        BadRun{"NoInputs", {"-o", "HOME/out"}, 2, "no INPUT frames given"},
        BadRun{"GenerateWithoutPrompt",
               {"FRAMES/a.png", "--generate-at", "0", "-o", "HOME/out"},
               2,
               "--generate-at needs a non-empty --prompt"},
        BadRun{"GenerateAtNoSuchFrame",
               {"FRAMES/a.png", "--prompt", "sea", "--generate-at", "3", "-o", "HOME/out"},
               2,
               "--generate-at 3 is not a frame of the input"},
        BadRun{"SignInWithoutService",
               {"FRAMES/a.png", "--sign-in", "-o", "HOME/out"},
               1,
               "sign-in did not complete: sign-in failed: cannot reach http://127.0.0.1:"},
        BadRun{"MissingBundle",
               {"FRAMES/a.png", "--bundle", "HOME/nothing.ofx.bundle", "-o", "HOME/out"},
               1,
               "HOME/nothing.ofx.bundle: cannot load bundle"}),
    [](const ::testing::TestParamInfo<BadRun>& info) { return std::string(info.param.name); });

TEST_F(RenderTool, HelpListsEveryEffectFlag) {
  ProgramResult r = runProgram({TALVANE_RENDER, "--help"}, env, home.path(), 10);
  EXPECT_EQ(r.exitCode, 0);
  for (const char* flag :
       {"--prompt",      "--blend",        "--mask-source", "--threshold",     "--invert-mask",
        "--mask-grow",   "--in-feather",   "--out-feather", "--track-motion",  "--bg-scale",
        "--bg-pan-x",    "--bg-pan-y",     "--depth",       "--threads",       "--sign-in",
        "--sign-out",    "--generate-at",  "--bundle",      "--frames",        "--cache-dir",
        "--no-generate", "--format",       "--out-depth",   "--local-service", "--composite",
        "--overwrite",   "--skip-existing"})
    EXPECT_NE(r.out.find(flag), std::string::npos) << flag;
}

}  // namespace
