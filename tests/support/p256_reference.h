#pragma once
// A small, slow, independent P-256 (plain integer arithmetic, no CNG) for checking
// what CNG computes. Test use only: nothing here is constant time.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kelm::test {

// X coordinate (big-endian) of scalar * peer, for a 65-byte uncompressed peer key.
std::optional<std::array<uint8_t, 32>> P256SharedX(std::span<const uint8_t, 32> scalar,
                                                   std::span<const uint8_t, 65> peer);
// 0x04 || X || Y of scalar * G.
std::array<uint8_t, 65> P256PublicFromScalar(std::span<const uint8_t, 32> scalar);
// ECDSA verification of r || s over a 32-byte digest.
bool P256Verify(std::span<const uint8_t, 65> publicKey, std::span<const uint8_t, 32> hash,
                std::span<const uint8_t, 64> signature);

}  // namespace kelm::test
