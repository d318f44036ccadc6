// Output PNGs written on background threads: every queued frame lands, and a
// failed write stops further queuing and is reported once the writer ends.
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "tests/support/temp_home.h"

namespace {

class CliWriter : public ::testing::Test {
 protected:
  TempHome home;  // a fresh folder, removed with everything in it
  const std::string dir = home.path();
};

std::vector<uint8_t> frame(uint8_t value) { return std::vector<uint8_t>(8 * 6 * 4, value); }

TEST_F(CliWriter, EveryQueuedFrameIsWrittenWithItsPixels) {
  PngWriter* writer = startWriter(2, 2);
  std::string error;
  for (int i = 0; i < 12; ++i)
    ASSERT_TRUE(queuePng(writer, dir + "/f" + std::to_string(i) + ".png",
                         frame(static_cast<uint8_t>(i * 20)), 8, 6, error))
        << error;
  ASSERT_TRUE(finishWriter(writer, error)) << error;
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> rgba;
    int w = 0, h = 0;
    ASSERT_TRUE(readPng(dir + "/f" + std::to_string(i) + ".png", rgba, w, h, error)) << error;
    EXPECT_EQ(rgba, frame(static_cast<uint8_t>(i * 20)));
  }
}

TEST_F(CliWriter, FailedWriteIsReportedAndStopsQueuing) {
  PngWriter* writer = startWriter(1, 1);
  std::string error;
  ASSERT_TRUE(queuePng(writer, dir + "/gone/f0.png", frame(1), 8, 6, error));
  bool refused = false;
  for (int i = 1; i < 200 && !refused; ++i)
    refused = !queuePng(writer, dir + "/f" + std::to_string(i) + ".png", frame(2), 8, 6, error);
  EXPECT_TRUE(refused);
  EXPECT_NE(error.find(dir + "/gone/f0.png: cannot write PNG"), std::string::npos) << error;
  std::string finishError;
  EXPECT_FALSE(finishWriter(writer, finishError));
  EXPECT_EQ(finishError, error);
}

}  // namespace
