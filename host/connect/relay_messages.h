#pragma once
// The JSON messages between the PC and the relay server, the signed sign-in text,
// and the ids derived from public keys. Pure functions without Windows or network calls.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kelm {

struct RelayChallenge {
  std::string nonce;
};

struct RelayReady {
  std::vector<std::string> iceServers;
};

struct RelayTurnServer {
  std::vector<std::string> urls;
  std::string username;
  std::string credential;
};

struct RelayConnect {
  std::string requestId;
  std::string phoneId;
  std::string offer;
  std::array<uint8_t, 65> phonePublicKey{};
  std::vector<RelayTurnServer> turnServers;
};

struct RelayPong {};

using RelayMessage = std::variant<RelayChallenge, RelayReady, RelayConnect, RelayPong>;

// Limits of the server's members, in bytes.
inline constexpr size_t kRelayTypeMax = 32;
inline constexpr size_t kRelayNonceMax = 128;
inline constexpr size_t kRelayRequestIdMax = 64;
inline constexpr size_t kRelayPhoneIdMax = 64;
inline constexpr size_t kRelayOfferMax = 4096;
inline constexpr size_t kRelayPhoneKeyTextMax = 128;
inline constexpr size_t kRelayIceServersMax = 8;
inline constexpr size_t kRelayTurnServersMax = 4;
inline constexpr size_t kRelayTurnUrlsMax = 8;
inline constexpr size_t kRelayTurnUrlMax = 256;
inline constexpr size_t kRelayTurnSecretMax = 512;

// Compact JSON, keys in sorted order. Texts that are not valid UTF-8 have the bad
// bytes replaced, so the builders never fail.
std::string MakeRelayHello(std::span<const uint8_t, 65> publicKey, std::span<const std::string> phones,
                           std::string_view version, std::span<const uint8_t, 64> signature);
std::string MakeRelayAnswer(std::string_view requestId, std::string_view description);
std::string MakeRelayReject(std::string_view requestId, std::string_view reason);
// Exactly {"type":"ping"}.
std::string RelayPingText();

// The text whose SHA-256 digest the PC signs: "tavro-connect/1 pc-hello\n" + PC id +
// "\n" + nonce + "\n" + phone ids joined with ",".
std::string RelayHelloText(std::string_view pcId, std::string_view nonce, std::span<const std::string> phones);

// No value for anything but a well-formed "challenge", "ready", "connect" or "pong".
// Never throws.
std::optional<RelayMessage> ParseRelayMessage(std::string_view text) noexcept;

// Lower-case hex SHA-256 of the 65-byte key (64 characters).
std::string PublicKeyId(std::span<const uint8_t, 65> publicKey);
// Exactly 64 characters of 0-9 and a-f.
bool IsPhoneId(std::string_view text);

// The member `key` of `object` when it is a non-empty string of at most `maxBytes` bytes.
std::optional<std::string> RelayStringField(const nlohmann::json& object, std::string_view key, size_t maxBytes);
// The usable entries of the member "turnServers" of a "connect" message.
std::vector<RelayTurnServer> RelayTurnServers(const nlohmann::json& message);

}  // namespace kelm
