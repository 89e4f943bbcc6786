#pragma once
// STUN and TURN server addresses as the relay hands them out ("stun:host:port",
// "turn:host:port?transport=udp"), including bracketed and bare IPv6 literals. Portable.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro::connect {

inline constexpr uint16_t kDefaultStunPort = 3478;
inline constexpr size_t kMaxTurnCredentialLength = 512;

struct IceServerHostPort {
  std::string host;  // a name or an IP literal, without brackets
  uint16_t port = kDefaultStunPort;
};

// The text after "stun:" or "turn:": "host", "host:port", "[v6]", "[v6]:port" or a bare
// IPv6 literal (no port). Nothing when empty, with any of "/?#@ ", a bad port or no host.
std::optional<IceServerHostPort> ParseIceServerUrl(std::string_view text);

// A STUN setting: after a "stun:" prefix when present, otherwise the whole text.
std::optional<IceServerHostPort> ParseStunServer(std::string_view url);

struct TurnServerEntry {
  std::string host;
  uint16_t port = kDefaultStunPort;
  std::string username;
  std::string password;
};

// A "turn:" URL (UDP only) with its credentials, or nothing.
std::optional<TurnServerEntry> ParseTurnServer(std::string_view url, std::string_view username,
                                               std::string_view credential);

}  // namespace tavro::connect
