// Cached image loading: a working file is decoded again only when its path or
// modification time changes, and a failed load leaves the slot as it was.
#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "render/render.h"
#include "tests/support/temp_home.h"

namespace {

void writeGray(const std::string& path, int w, int h, uint8_t value, long mtime) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h, value);
  ASSERT_NE(stbi_write_png(path.c_str(), w, h, 1, px.data(), w), 0);
  utimbuf t{mtime, mtime};
  ASSERT_EQ(utime(path.c_str(), &t), 0);
}

void writeText(const std::string& path, const std::string& text, long mtime) {
  std::ofstream(path, std::ios::binary) << text;
  utimbuf t{mtime, mtime};
  utime(path.c_str(), &t);
}

class CachedImage : public ::testing::Test {
 protected:
  TempHome home_;
  std::string file(const char* name) const { return home_.path() + "/" + name; }
};

}  // namespace

TEST_F(CachedImage, FirstLoadDecodesWithTheRequestedChannels) {
  writeGray(file("a.png"), 3, 2, 77, 1000);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 4));
  EXPECT_EQ(slot.width, 3);
  EXPECT_EQ(slot.height, 2);
  EXPECT_EQ(slot.mtime, 1000);
  EXPECT_EQ(slot.path, file("a.png"));
  ASSERT_EQ(slot.pixels.size(), 24u);
  EXPECT_EQ(slot.pixels[0], 77);
  EXPECT_EQ(slot.pixels[3], 255);  // gray converted to RGBA gets an opaque alpha
}

TEST_F(CachedImage, SameFileAndTimeIsNotReadAgain) {
  writeGray(file("a.png"), 2, 2, 10, 1000);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 1));
  // Replaced within the same second: the time cannot tell, so no decode happens.
  writeGray(file("a.png"), 2, 2, 200, 1000);
  bool fresh = true;
  ASSERT_TRUE(loadSlot(slot, file("a.png"), 1, fresh));
  EXPECT_FALSE(fresh);
  EXPECT_EQ(slot.pixels[0], 10);
}

TEST_F(CachedImage, ANewTimeDecodesAgain) {
  writeGray(file("a.png"), 2, 2, 10, 1000);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 1));
  writeGray(file("a.png"), 4, 1, 200, 1001);
  bool fresh = false;
  ASSERT_TRUE(loadSlot(slot, file("a.png"), 1, fresh));
  EXPECT_TRUE(fresh);
  EXPECT_EQ(slot.pixels[0], 200);
  EXPECT_EQ(slot.width, 4);
  EXPECT_EQ(slot.mtime, 1001);
}

TEST_F(CachedImage, AnotherPathWithTheSameTimeDecodes) {
  writeGray(file("a.png"), 2, 2, 10, 1000);
  writeGray(file("b.png"), 2, 2, 20, 1000);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 1));
  bool fresh = false;
  ASSERT_TRUE(loadSlot(slot, file("b.png"), 1, fresh));
  EXPECT_TRUE(fresh);
  EXPECT_EQ(slot.pixels[0], 20);
}

TEST_F(CachedImage, DeletedFileFailsAndKeepsTheOldPixels) {
  writeGray(file("a.png"), 2, 2, 10, 1000);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 1));
  std::remove(file("a.png").c_str());
  EXPECT_FALSE(loadCached(slot, file("a.png"), 1));
  EXPECT_EQ(slot.pixels, std::vector<uint8_t>(4, 10));
  EXPECT_EQ(slot.path, file("a.png"));
}

TEST_F(CachedImage, ANonImageFailsAndLeavesTheSlotAlone) {
  writeGray(file("a.png"), 2, 2, 10, 1000);
  writeText(file("b.png"), "{\"error\":\"not a picture\"}", 1005);
  ImageSlot slot;
  ASSERT_TRUE(loadCached(slot, file("a.png"), 1));
  EXPECT_FALSE(loadCached(slot, file("b.png"), 1));
  EXPECT_EQ(slot.path, file("a.png"));
  EXPECT_EQ(slot.mtime, 1000);
  EXPECT_EQ(slot.pixels, std::vector<uint8_t>(4, 10));
}

TEST_F(CachedImage, MissingFileOnAnEmptySlotFails) {
  ImageSlot slot;
  EXPECT_FALSE(loadCached(slot, file("none.png"), 4));
  EXPECT_TRUE(slot.path.empty());
  EXPECT_TRUE(slot.pixels.empty());
}

TEST(FrameSized, ResizedOnceAndAgainOnlyWhenTheImageOrTheSizeChanges) {
  const auto solidSlot = [](const char* path, long mtime, int w, int h, uint8_t red) {
    ImageSlot slot;
    slot.path = path;
    slot.mtime = mtime;
    slot.width = w;
    slot.height = h;
    slot.pixels.assign(static_cast<size_t>(w) * h * 4, 255);
    for (size_t i = 0; i < slot.pixels.size(); i += 4) slot.pixels[i] = red;
    return slot;
  };
  SizedImage sized;
  const ImageSlot a = solidSlot("a.png", 1000, 8, 4, 10);
  EXPECT_EQ(&atFrameSize(a, 8, 4, sized), &a.pixels);  // the frame's size: its own pixels
  EXPECT_TRUE(sized.pixels.empty());
  // Each row: the slot and the size asked for, and the red the kept copy must then hold.
  const struct {
    ImageSlot slot;
    int width, height;
    uint8_t red;
  } steps[] = {{a, 4, 2, 10},
               {solidSlot("a.png", 1001, 8, 4, 200), 4, 2, 200},  // the file written again
               {solidSlot("b.png", 1001, 8, 4, 90), 4, 2, 90},    // another prompt's
               {solidSlot("b.png", 1001, 16, 8, 30), 4, 2, 30},   // another size, same time
               {solidSlot("b.png", 1001, 16, 8, 30), 2, 1, 30}};  // another render scale
  for (const auto& step : steps) {
    const std::vector<uint8_t>& out = atFrameSize(step.slot, step.width, step.height, sized);
    ASSERT_EQ(out.size(), static_cast<size_t>(step.width) * step.height * 4);
    EXPECT_EQ(out[0], step.red) << step.slot.path << " " << step.slot.mtime;
    // Asked again, the kept copy answers as it stands: a mark put in it stays.
    sized.pixels[1] = 7;
    EXPECT_EQ(atFrameSize(step.slot, step.width, step.height, sized)[1], 7);
  }
}
