// A black gray8 PNG of any size built by hand (fixed-Huffman deflate of
// 258-byte copies): 16000 x 16000, the decoder's limit, is about 1.6 MB to
// send and a gigabyte of RGBA to decode. For tests and benchmarks of answers
// far larger than the frame.
#pragma once

#include <cstdint>
#include <string>

namespace flat_png {

inline void putBe32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

inline uint32_t crc32(const std::string& bytes) {
  uint32_t c = 0xffffffffu;
  for (unsigned char byte : bytes) {
    c ^= byte;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

inline void putChunk(std::string& png, const char* type, const std::string& data) {
  putBe32(png, static_cast<uint32_t>(data.size()));
  const std::string body = type + data;
  png += body;
  putBe32(png, crc32(body));
}

// Deflate bits, least significant first; Huffman codes go in reversed.
struct BitWriter {
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  void put(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) {
      bits |= ((value >> i) & 1u) << count;
      if (++count == 8) {
        bytes += static_cast<char>(bits);
        bits = 0;
        count = 0;
      }
    }
  }
  void code(uint32_t value, int n) {  // a Huffman code, most significant bit first
    for (int i = n - 1; i >= 0; --i) put((value >> i) & 1u, 1);
  }
};

// width x height black gray8 pixels: one fixed-Huffman block of a zero
// literal and then copies of 258 bytes at distance 1 (about 1.6 MB for
// 16000 x 16000, which decodes to a gigabyte of RGBA).
inline std::string blackPng(uint32_t width, uint32_t height) {
  const uint64_t raw = uint64_t(height) * (width + 1);  // a filter byte per row
  BitWriter w;
  w.put(1, 1);      // last block
  w.put(1, 2);      // fixed Huffman codes
  w.code(0x30, 8);  // literal 0
  uint64_t left = raw - 1;
  for (; left >= 258; left -= 258) {
    w.code(0xc5, 8);  // length 258
    w.code(0, 5);     // distance 1
  }
  for (; left > 0; --left) w.code(0x30, 8);
  w.code(0, 7);  // end of block
  if (w.count) w.put(0, 8 - w.count);
  std::string zlib = "\x78\x01" + w.bytes;
  putBe32(zlib, static_cast<uint32_t>(((raw % 65521) << 16) | 1));  // Adler-32 of zeros

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  putBe32(header, width);
  putBe32(header, height);
  header += std::string("\x08\x00\x00\x00\x00", 5);
  putChunk(png, "IHDR", header);
  putChunk(png, "IDAT", zlib);
  putChunk(png, "IEND", "");
  return png;
}

}  // namespace flat_png
