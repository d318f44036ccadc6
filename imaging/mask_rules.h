// Rules shared by the plain and fast mask builders. Internal to imaging/.
#pragma once

#include <cstdint>

// Low 8 bits of the threshold truncated toward zero; thresholds outside the int range
// (never passed by the render action) count as 0 instead of being undefined.
inline uint8_t maskThresholdByte(float threshold) {
  if (!(threshold > -2147483648.0f && threshold < 2147483648.0f)) return 0;
  return static_cast<uint8_t>(static_cast<int>(threshold));
}
