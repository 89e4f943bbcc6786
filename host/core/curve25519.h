#pragma once
// Curve25519 arithmetic of our own: the Elligator 2 map used for the CPace
// generator and the X25519 function (RFC 7748). Constant time: the sequence of
// operations never depends on secret values.
#include <cstdint>
#include <span>

namespace kelm {

// Elligator 2 map of a field element (32 bytes little-endian, top bit ignored) to
// a Curve25519 u-coordinate (A = 486662, non-square Z = 2).
void Elligator2Curve25519(std::span<const uint8_t, 32> r, std::span<uint8_t, 32> u);

// X25519(scalar, u) as RFC 7748 defines it: the scalar is clamped, bit 255 of u is
// ignored, the result is the packed, fully reduced u-coordinate.
void X25519(std::span<uint8_t, 32> out, std::span<const uint8_t, 32> scalar, std::span<const uint8_t, 32> u);

}  // namespace kelm
