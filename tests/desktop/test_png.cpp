// A minimal PNG writer for tests.
#include "test_png.h"

#include <algorithm>

namespace kelm::test {
namespace {

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Chunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& body) {
  PutBe32(out, static_cast<uint32_t>(body.size()));
  std::vector<uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), body.begin(), body.end());
  out.insert(out.end(), typed.begin(), typed.end());
  PutBe32(out, Crc32(typed.data(), typed.size()));
}

// A zlib stream of stored blocks.
std::vector<uint8_t> Zlib(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> z{0x78, 0x01};
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
    at += n;
  } while (at < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  PutBe32(z, (b << 16) | a);
  return z;
}

std::vector<uint8_t> Png(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> ihdr;
  PutBe32(ihdr, width);
  PutBe32(ihdr, height);
  ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", Zlib(raw));
  Chunk(png, "IEND", {});
  return png;
}

}  // namespace

std::vector<uint8_t> MakeRgbaPng(uint32_t width, uint32_t height,
                                 const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
  std::vector<uint8_t> raw;
  raw.reserve(size_t{height} * (1 + size_t{width} * 4));
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t argb = pixel(x, y);
      raw.insert(raw.end(), {static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8),
                             static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 24)});
    }
  }
  return Png(width, height, 8, 6, raw);
}

std::vector<uint8_t> MakeBlackBitPng(uint32_t width, uint32_t height) {
  const size_t row = 1 + (size_t{width} + 7) / 8;
  return Png(width, height, 1, 0, std::vector<uint8_t>(row * height, 0));
}

}  // namespace kelm::test
