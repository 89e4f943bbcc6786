#pragma once
// Classification of peer addresses; pure text and byte logic.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelm {

// Parses dotted IPv4 text (four decimal parts 0..255) into host byte order.
std::optional<uint32_t> ParseIPv4(std::string_view text);
// Parses IPv6 text, with "::" compression and a trailing dotted IPv4 part.
std::optional<std::array<uint8_t, 16>> ParseIPv6(std::string_view text);

// Loopback and LAN ranges (IPv4, also IPv4-mapped); ::1, link-local and unique-local
// IPv6 except the Tailscale range, whose peers are remote.
bool IsPrivateAddress(std::string_view text);

// ::1, or an IPv4-mapped address inside 127.0.0.0/8.
bool IsLoopbackIPv6(std::span<const uint8_t, 16> address);

// 10/8, 172.16/12, 192.168/16, 169.254/16 (host byte order): who may discover the PC.
bool IsLanIPv4(uint32_t address);

}  // namespace kelm
