// The debug log is switched on for the whole process before anything can
// read the switch, so tests can check the lines the code writes.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("TALVANE_DEBUG", "1", 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
