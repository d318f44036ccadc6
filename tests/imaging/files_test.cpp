// Working files: the reference difference, the motion anchor and the guarded decoder,
// with real PNG files in a temporary directory.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "stb_image.h"
#include "stb_image_resize2.h"
#include "stb_image_write.h"

namespace {

namespace fs = std::filesystem;

class WorkingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/talvane-imaging-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (fs::path(dir_) / name).string(); }

  std::string writePng(const std::string& name, int w, int h, int comp,
                       const std::vector<uint8_t>& px) const {
    const std::string p = path(name);
    EXPECT_NE(stbi_write_png(p.c_str(), w, h, comp, px.data(), w * comp), 0);
    return p;
  }

  std::string writeBytes(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string p = path(name);
    FILE* f = std::fopen(p.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);  // data() may be null
    std::fclose(f);
    return p;
  }

  static std::vector<uint8_t> solid(int w, int h, int comp, std::vector<uint8_t> px) {
    std::vector<uint8_t> img;
    for (int i = 0; i < w * h; ++i) img.insert(img.end(), px.begin(), px.begin() + comp);
    return img;
  }

  // Colour type and bit depth from the IHDR chunk, which every PNG starts with.
  static std::pair<int, int> pngFormat(const std::string& p) {
    std::vector<uint8_t> head(26);
    FILE* f = std::fopen(p.c_str(), "rb");
    if (f == nullptr) return {-1, -1};
    const size_t got = std::fread(head.data(), 1, head.size(), f);
    std::fclose(f);
    if (got != head.size()) return {-1, -1};
    return {head[25], head[24]};
  }

  std::string dir_;
};

// ---- reference difference ----

TEST_F(WorkingFiles, RawdiffOfIdenticalImagesIsAllZero) {
  std::vector<uint8_t> px(20 * 10 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 31);
  const std::string a = writePng("a.png", 20, 10, 3, px);
  const std::string b = writePng("b.png", 20, 10, 3, px);
  ASSERT_TRUE(writeRawdiff(a, b, path("diff.png")));
  std::vector<uint8_t> diff;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("diff.png"), 1, diff, w, h));
  EXPECT_EQ(w, 20);
  EXPECT_EQ(h, 10);
  EXPECT_EQ(diff, std::vector<uint8_t>(200, 0));
}

TEST_F(WorkingFiles, RawdiffIsTheLargestChannelDifference) {
  const std::string g = writePng("g.png", 4, 3, 3, solid(4, 3, 3, {10, 200, 30}));
  const std::string b = writePng("b.png", 4, 3, 3, solid(4, 3, 3, {40, 190, 30}));
  ASSERT_TRUE(writeRawdiff(g, b, path("diff.png")));
  EXPECT_EQ(pngFormat(path("diff.png")), std::make_pair(0, 8));  // gray, 8 bits
  std::vector<uint8_t> diff;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("diff.png"), 1, diff, w, h));
  EXPECT_EQ(diff, std::vector<uint8_t>(12, 30));
}

TEST_F(WorkingFiles, RawdiffResamplesTheBackgroundToTheGrabbedSize) {
  std::vector<uint8_t> grabbed(17 * 11 * 3), bgPx(8 * 6 * 3);
  for (size_t i = 0; i < grabbed.size(); ++i) grabbed[i] = static_cast<uint8_t>(i * 13);
  for (size_t i = 0; i < bgPx.size(); ++i) bgPx[i] = static_cast<uint8_t>(i * 29 + 7);
  const std::string g = writePng("g.png", 17, 11, 3, grabbed);
  const std::string b = writePng("b.png", 8, 6, 3, bgPx);
  ASSERT_TRUE(writeRawdiff(g, b, path("diff.png")));
  std::vector<uint8_t> diff;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("diff.png"), 1, diff, w, h));
  ASSERT_EQ(w, 17);
  ASSERT_EQ(h, 11);
  std::vector<uint8_t> resized(17 * 11 * 3);
  stbir_resize_uint8_srgb(bgPx.data(), 8, 6, 8 * 3, resized.data(), 17, 11, 17 * 3, STBIR_RGB);
  for (size_t i = 0; i < diff.size(); ++i) {
    int want = 0;
    for (int c = 0; c < 3; ++c)
      want = std::max(want, std::abs(grabbed[i * 3 + c] - resized[i * 3 + c]));
    ASSERT_EQ(diff[i], want) << i;
  }
}

TEST_F(WorkingFiles, RawdiffIgnoresAlpha) {
  std::vector<uint8_t> rgba = solid(6, 5, 4, {50, 60, 70, 0});
  for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = static_cast<uint8_t>(i * 17);
  const std::string g = writePng("g.png", 6, 5, 4, rgba);
  const std::string b = writePng("b.png", 6, 5, 3, solid(6, 5, 3, {50, 60, 70}));
  ASSERT_TRUE(writeRawdiff(g, b, path("diff.png")));
  std::vector<uint8_t> diff;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("diff.png"), 1, diff, w, h));
  EXPECT_EQ(diff, std::vector<uint8_t>(30, 0));
}

TEST_F(WorkingFiles, RawdiffFailsOnMissingOrDamagedInputsAndUnwritableOutput) {
  const std::string g = writePng("g.png", 4, 4, 3, solid(4, 4, 3, {1, 2, 3}));
  const std::string junk = writeBytes("junk.png", {0x89, 'P', 'N', 'G', 1, 2, 3});
  EXPECT_FALSE(writeRawdiff(path("missing.png"), g, path("d1.png")));
  EXPECT_FALSE(writeRawdiff(g, path("missing.png"), path("d2.png")));
  EXPECT_FALSE(writeRawdiff(g, junk, path("d3.png")));
  EXPECT_FALSE(writeRawdiff(g, g, path("no-such-dir/diff.png")));
  EXPECT_FALSE(fs::exists(path("d1.png")));
  EXPECT_FALSE(fs::exists(path("d3.png")));
}

TEST_F(WorkingFiles, RawdiffReplacesAnEarlierFile) {
  const std::string g = writePng("g.png", 4, 4, 3, solid(4, 4, 3, {9, 9, 9}));
  writeBytes("diff.png", std::vector<uint8_t>(5000, 0xab));
  ASSERT_TRUE(writeRawdiff(g, g, path("diff.png")));
  std::vector<uint8_t> diff;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("diff.png"), 1, diff, w, h));
  EXPECT_EQ(diff, std::vector<uint8_t>(16, 0));
}

// ---- motion anchor ----

TEST_F(WorkingFiles, AnchorIsAGraySquareOfTheRequestedSize) {
  std::vector<uint8_t> frame(64 * 36 * 4);
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(i % 4 == 3 ? 255 : i * 3);
  const std::string g = writePng("grab.png", 64, 36, 4, frame);
  for (const int size : {1, 16, 128}) {
    const std::string out = path("anchor" + std::to_string(size) + ".png");
    ASSERT_TRUE(writeAnchor(g, out, size));
    EXPECT_EQ(pngFormat(out), std::make_pair(0, 8));
    std::vector<uint8_t> gray;
    int w = 0, h = 0;
    ASSERT_TRUE(decodeImageFile(out, 1, gray, w, h));
    EXPECT_EQ(w, size);
    EXPECT_EQ(h, size);
    EXPECT_EQ(gray.size(), static_cast<size_t>(size) * size);
  }
}

TEST_F(WorkingFiles, AnchorHoldsTheLumaOfTheResampledFrame) {
  const std::string g = writePng("grab.png", 40, 30, 3, solid(40, 30, 3, {200, 100, 50}));
  ASSERT_TRUE(writeAnchor(g, path("anchor.png"), 128));
  std::vector<uint8_t> gray;
  int w = 0, h = 0;
  ASSERT_TRUE(decodeImageFile(path("anchor.png"), 1, gray, w, h));
  EXPECT_EQ(gray, std::vector<uint8_t>(128 * 128, 124));
}

TEST_F(WorkingFiles, AnchorFailsWithoutAFrameOrWithABadSize) {
  const std::string g = writePng("grab.png", 8, 8, 3, solid(8, 8, 3, {1, 2, 3}));
  EXPECT_FALSE(writeAnchor(path("missing.png"), path("a.png"), 128));
  EXPECT_FALSE(writeAnchor(g, path("a.png"), 0));
  EXPECT_FALSE(writeAnchor(g, path("no-such-dir/a.png"), 128));
}

// ---- failed writes ----

// Holds the process's file-size limit at a few bytes (SIGXFSZ ignored, so a write past it
// fails with EFBIG instead of ending the process): a full disk that spares root too.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = saved_;
    lower.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
};

TEST_F(WorkingFiles, PngWriterRoundTripsEveryChannelCount) {
  for (const int comp : {1, 2, 3, 4}) {
    std::vector<uint8_t> px(7 * 5 * comp);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 37 + comp);
    const std::string out = path("round" + std::to_string(comp) + ".png");
    ASSERT_TRUE(::writePng(out, px.data(), 7, 5, comp));
    int w = 0, h = 0, got = 0;
    unsigned char* back = stbi_load(out.c_str(), &w, &h, &got, comp);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(back, back + px.size()), px) << comp << " channels";
    stbi_image_free(back);
  }
}

// Grabbed frames, differences and anchors are the user's footage: owner-only files, and a
// link planted where one goes is replaced, never written through.
TEST_F(WorkingFiles, PngFilesAreTheOwnersAloneAndNeverWrittenThroughALink) {
  const std::vector<uint8_t> px = solid(8, 8, 4, {1, 2, 3, 255});
  const std::string grab = writePng("grab.png", 8, 8, 4, px);
  const std::string victim = writeBytes("victim", {'v'});
  const struct {
    const char* what;
    std::function<bool(const std::string&)> write;
  } cases[] = {
      {"frame", [&](const std::string& out) { return ::writePng(out, px.data(), 8, 8, 4); }},
      {"anchor", [&](const std::string& out) { return writeAnchor(grab, out, 16); }},
  };
  const mode_t oldMask = ::umask(022);
  for (const auto& c : cases) {
    const std::string out = path("out.png");
    fs::remove(out);
    fs::create_symlink(victim, out);
    EXPECT_TRUE(c.write(out)) << c.what;
    EXPECT_EQ(fs::status(victim).type(), fs::file_type::regular) << c.what;
    EXPECT_EQ(fs::file_size(victim), 1u) << c.what;
    EXPECT_FALSE(fs::is_symlink(out)) << c.what;
    EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << c.what;
  }
  ::umask(oldMask);
}

// A working file describes one generation: when making it fails, neither the earlier
// generation's file nor a partial one may stay for a reader to take as this one.
TEST_F(WorkingFiles, FailedWritesLeaveNeitherAnEarlierNorAPartialFile) {
  std::vector<uint8_t> noisy(96 * 64 * 4);
  for (size_t i = 0; i < noisy.size(); ++i)
    noisy[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  const std::string grab = writePng("grab.png", 96, 64, 4, noisy);
  const std::string earlier = writePng("earlier.png", 4, 4, 3, solid(4, 4, 3, {7, 7, 7}));
  struct Case {
    const char* what;
    std::function<bool(const std::string&)> write;
  };
  const Case cases[] = {
      {"frame larger than the disk allows",
       [&](const std::string& out) {
         FileSizeLimit limit(512);
         return ::writePng(out, noisy.data(), 96, 64, 4);
       }},
      {"no pixels", [&](const std::string& out) { return ::writePng(out, nullptr, 96, 64, 4); }},
      {"difference without a grabbed frame",
       [&](const std::string& out) { return writeRawdiff(path("missing.png"), grab, out); }},
      {"difference larger than the disk allows",
       [&](const std::string& out) {
         FileSizeLimit limit(512);
         return writeRawdiff(grab, earlier, out);
       }},
      {"anchor without a grabbed frame",
       [&](const std::string& out) { return writeAnchor(path("missing.png"), out, 128); }},
  };
  for (const Case& c : cases) {
    const std::string out = path("out.png");
    fs::copy_file(earlier, out, fs::copy_options::overwrite_existing);
    EXPECT_FALSE(c.write(out)) << c.what;
    EXPECT_FALSE(fs::exists(out)) << c.what;
  }
}

// ---- guarded decoder ----

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void putBe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}

void putChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
  putBe32(png, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  putBe32(png, crc32(body.data(), body.size()));
}

// A PNG whose header claims width x height gray8, followed by a token IDAT. Gray keeps the
// claimed byte count under stb's own header limit, so only our guard stands in the way.
std::vector<uint8_t> claimedPng(uint32_t width, uint32_t height) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  putBe32(ihdr, width);
  putBe32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
  putChunk(png, "IHDR", ihdr);
  putChunk(png, "IDAT", {0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  putChunk(png, "IEND", {});
  return png;
}

struct RefusalCase {
  const char* name;
  uint32_t width, height;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class DecodeRefusal : public WorkingFiles, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(DecodeRefusal, OversizedHeaderIsRefusedAndOutputsStayUntouched) {
  const RefusalCase c = GetParam();
  const std::string p = writeBytes("big.png", claimedPng(c.width, c.height));
  int w = 0, h = 0, comp = 0;
  ASSERT_TRUE(stbi_info(p.c_str(), &w, &h, &comp)) << "the crafted header must parse";
  std::vector<uint8_t> pixels = {1, 2, 3};
  int width = -7, height = -9;
  EXPECT_FALSE(decodeImageFile(p, 4, pixels, width, height)) << c.name;
  EXPECT_EQ(pixels, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(width, -7);
  EXPECT_EQ(height, -9);
}

INSTANTIATE_TEST_SUITE_P(Headers, DecodeRefusal,
                         ::testing::Values(RefusalCase{"20000 x 20000", 20000, 20000},
                                           RefusalCase{"too wide", 16385, 1},
                                           RefusalCase{"too tall", 1, 16385},
                                           RefusalCase{"above 256 megapixels", 16384, 16384}));

TEST_F(WorkingFiles, DecodeRefusesAWideImageThatTheDecoderWouldAccept) {
  // A genuine, decodable 20000 x 1 PNG: refusing it shows the size check, not a decode error.
  const std::string p = writePng("wide.png", 20000, 1, 1, std::vector<uint8_t>(20000, 77));
  int w = 0, h = 0, comp = 0;
  unsigned char* raw = stbi_load(p.c_str(), &w, &h, &comp, 1);
  ASSERT_NE(raw, nullptr);
  stbi_image_free(raw);
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  EXPECT_FALSE(decodeImageFile(p, 1, pixels, width, height));
  EXPECT_TRUE(pixels.empty());
}

TEST_F(WorkingFiles, DecodeAcceptsTheLargestSideAndConvertsChannels) {
  const std::string p = writePng("edge.png", 16384, 1, 3, solid(16384, 1, 3, {10, 20, 30}));
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  ASSERT_TRUE(decodeImageFile(p, 4, pixels, width, height));
  EXPECT_EQ(width, 16384);
  EXPECT_EQ(height, 1);
  ASSERT_EQ(pixels.size(), 16384u * 4);
  EXPECT_EQ(pixels[0], 10);
  EXPECT_EQ(pixels[3], 255);
}

TEST_F(WorkingFiles, DecodeFailsOnGarbageMissingFilesAndBadChannelCounts) {
  const std::string junk =
      writeBytes("junk.png", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  const std::string empty = writeBytes("empty.png", {});
  const std::string good = writePng("good.png", 2, 2, 3, solid(2, 2, 3, {1, 2, 3}));
  std::vector<uint8_t> pixels = {5};
  int width = 3, height = 4;
  EXPECT_FALSE(decodeImageFile(junk, 3, pixels, width, height));
  EXPECT_FALSE(decodeImageFile(empty, 3, pixels, width, height));
  EXPECT_FALSE(decodeImageFile(path("missing.png"), 3, pixels, width, height));
  EXPECT_FALSE(decodeImageFile(good, 0, pixels, width, height));
  EXPECT_FALSE(decodeImageFile(good, 5, pixels, width, height));
  EXPECT_EQ(pixels, std::vector<uint8_t>{5});
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 4);
}

}  // namespace
