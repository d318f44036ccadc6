// Writing one-channel working PNGs. Internal to imaging/.
#pragma once

#include <cstdint>
#include <string>

// Encodes width x height gray bytes (stride = width) with stb's in-memory PNG encoder at its
// defaults and stores them at path with one write, replacing any earlier file. True when the
// encoding succeeded and the file could be opened; a short write is not detected.
bool writeGrayPng(const std::string& path, const uint8_t* gray, int width, int height);
