// Sum of absolute differences over a block, the inner loop of trackOffset. One
// implementation per instruction set (tracking_x86.cpp, tracking_arm64.cpp,
// tracking_generic.cpp); sadBlockPlain is the definition they must equal. Internal to imaging/.
#pragma once

#include <cstdint>

// Sum over rows x cols of |a[y * stride + x] - q[y * stride + x]|; rows, cols >= 1.
uint64_t sadBlock(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols);
uint64_t sadBlockPlain(const uint8_t* a, const uint8_t* q, int stride, int rows, int cols);
