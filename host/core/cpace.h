#pragma once
// CPace (CFRG, X25519 with SHA-512, "CPace255") in the initiator/responder setting:
// the generator from the pairing code, the share check and the intermediate key.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kelm {

// Appends lv(data): the length in unsigned LEB128, then the bytes.
void AppendLv(std::vector<uint8_t>& out, std::span<const uint8_t> data);

// The generator string lv("CPace255") || lv(PRS) || lv(zero pad) || lv(CI) || lv(sid),
// exposed so its layout can be checked; the caller wipes it.
std::vector<uint8_t> CpaceGeneratorString(std::span<const uint8_t> prs, std::span<const uint8_t> ci,
                                          std::span<const uint8_t> sid);

std::array<uint8_t, 32> CpaceGenerator(std::span<const uint8_t> prs, std::span<const uint8_t> ci,
                                       std::span<const uint8_t> sid);

// out = X25519(scalar, u); false when the result is all zero (low-order input).
bool X25519NonZero(std::span<const uint8_t, 32> scalar, std::span<const uint8_t, 32> u,
                   std::span<uint8_t, 32> out);

// ISK = SHA-512(lv("CPace255_ISK") || lv(sid) || lv(K) || lv(Ya) || lv(ADa) || lv(Yb) || lv(ADb)).
std::array<uint8_t, 64> CpaceIsk(std::span<const uint8_t> sid, std::span<const uint8_t, 32> k,
                                 std::span<const uint8_t, 32> ya, std::span<const uint8_t> ada,
                                 std::span<const uint8_t, 32> yb, std::span<const uint8_t> adb);

}  // namespace kelm
