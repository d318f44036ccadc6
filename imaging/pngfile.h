// Writing one-channel working PNGs. Internal to imaging/.
#pragma once

#include <cstdint>
#include <string>

// writePng (imaging.h) for width x height gray bytes.
bool writeGrayPng(const std::string& path, const uint8_t* gray, int width, int height);
