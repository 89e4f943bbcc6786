#pragma once
// A minimal PNG writer for tests (stored deflate blocks, no compression), so images
// sent to the host are made without the host's own encoder.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelm::test {

// 8-bit RGBA from a pixel function returning 0xAARRGGBB.
std::vector<uint8_t> MakeRgbaPng(uint32_t width, uint32_t height, const std::function<uint32_t(uint32_t, uint32_t)>& pixel);

// 1-bit greyscale, all black: a valid image that declares many pixels in few bytes.
std::vector<uint8_t> MakeBlackBitPng(uint32_t width, uint32_t height);

}  // namespace kelm::test
