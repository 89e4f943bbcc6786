#pragma once
// The handshake's plain frames as the device sends them: the frame header and the
// ClientHello and ClientFinish bodies (parsing only; no cryptography, no Windows).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Plain frames carry message types too: a legacy app's first frame is a Hello and its
// reply a Welcome; then ClientHello, HostHello and ClientFinish.
namespace kelm::frame {

inline constexpr uint32_t kMaxFrame = 4096;
inline constexpr size_t kMaxHandshakeName = 256;

// The body length of a frame from its 4-byte little-endian header (type byte
// included); nothing for 0 or more than kMaxFrame.
std::optional<uint32_t> FrameLength(std::span<const uint8_t, 4> header);

struct ClientHello {
  uint8_t version = 0;
  bool pairing = false;
  std::array<uint8_t, 32> random{};
  std::array<uint8_t, 65> ephemeral{};
  uint8_t codeKind = 0;
  uint64_t step = 0;
  std::array<uint8_t, 32> share{};
};

// False when the body is too short for what its flags ask.
bool ParseClientHello(std::span<const uint8_t> body, ClientHello& hello);

// ClientFinish plaintext: client key, u16-length name, signature, finished; nothing after.
struct ClientFinish {
  std::array<uint8_t, 65> key{};
  std::string name;
  std::array<uint8_t, 64> signature{};
  std::array<uint8_t, 32> finished{};
};

bool ParseClientFinish(std::span<const uint8_t> plain, ClientFinish& finish);

}  // namespace kelm::frame
