// Parsing of the handshake frames the device sends.
#include "core/handshake_frames.h"

#include "core/messages.h"
#include "core/protocol.h"

namespace kelm::frame {

std::optional<uint32_t> FrameLength(std::span<const uint8_t, 4> header) {
  const uint32_t length = msg::Reader(header).ReadU32();
  if (length < 1 || length > kMaxFrame) return std::nullopt;
  return length;
}

bool ParseClientHello(std::span<const uint8_t> body, ClientHello& hello) {
  msg::Reader r(body);
  hello.version = r.ReadU8();
  hello.pairing = (r.ReadU8() & proto::kClientHelloPairing) != 0;
  r.ReadBytes(hello.random.data(), hello.random.size());
  r.ReadBytes(hello.ephemeral.data(), hello.ephemeral.size());
  if (hello.pairing) {
    hello.codeKind = r.ReadU8();
    hello.step = r.ReadU64();
    r.ReadBytes(hello.share.data(), hello.share.size());
  }
  return r.Ok();
}

bool ParseClientFinish(std::span<const uint8_t> plain, ClientFinish& finish) {
  msg::Reader r(plain);
  r.ReadBytes(finish.key.data(), finish.key.size());
  const uint16_t nameLength = r.ReadU16();
  if (nameLength > kMaxHandshakeName) return false;
  finish.name.resize(nameLength);
  r.ReadBytes(finish.name.data(), nameLength);
  r.ReadBytes(finish.signature.data(), finish.signature.size());
  r.ReadBytes(finish.finished.data(), finish.finished.size());
  return r.Ok() && r.Remaining() == 0;
}

}  // namespace kelm::frame
