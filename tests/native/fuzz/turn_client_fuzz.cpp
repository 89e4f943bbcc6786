// A TURN client fed arbitrary server answers and timer ticks: answers may take the
// transaction id of the client's last request and be signed with the key the client
// would check, so success paths are reached too. Properties: nothing reads outside a
// datagram, and a timer tick repeated at the same instant sends nothing more (no
// refresh or retransmission loop, whatever lifetime was granted).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "connect/stun_hash.h"
#include "connect/stun_message.h"
#include "connect/turn_client.h"
#include "fuzz_check.h"

namespace c = tavro::connect;

namespace {

constexpr char kUser[] = "user";
constexpr char kPassword[] = "pass";

struct Harness {
  std::vector<std::vector<uint8_t>> sent;
  uint64_t counter = 0;
  std::string realm;

  std::optional<c::StunTransactionId> LastRequestId() const {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
      if (it->size() >= c::kStunHeaderSize && c::LooksLikeStun(*it)) {
        c::StunTransactionId id;
        std::copy(it->begin() + 8, it->begin() + 20, id.begin());
        return id;
      }
    }
    return std::nullopt;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness h;
  const auto server = c::StunAddress::FromIp("192.0.2.1", 3478);
  const auto peer = c::StunAddress::FromIp("198.51.100.2", 5000);
  c::TurnClient client(
      *server, kUser, kPassword, [&](const c::StunAddress&, std::span<const uint8_t> b) { h.sent.emplace_back(b.begin(), b.end()); },
      [&](uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(h.counter++);
      });
  uint64_t now = 1000;
  client.Start(now);
  bool permitted = false;
  // Records: flags (bit 0: answer the last request, bit 1: sign, bits 2-7: ticks of
  // 250 ms before it), a 16-bit length, the datagram.
  for (size_t at = 0; at + 3 <= size;) {
    const uint8_t flags = data[at];
    const size_t length = std::min<size_t>(static_cast<size_t>(data[at + 1] << 8 | data[at + 2]), size - at - 3);
    std::vector<uint8_t> datagram(data + at + 3, data + at + 3 + length);
    at += 3 + length;
    now += static_cast<uint64_t>(flags >> 2) * 250;
    client.OnTimer(now);
    const size_t before = h.sent.size();
    client.OnTimer(now);
    FUZZ_CHECK(h.sent.size() == before);

    if ((flags & 1) && datagram.size() >= c::kStunHeaderSize) {
      if (const auto id = h.LastRequestId()) std::copy(id->begin(), id->end(), datagram.begin() + 8);
    }
    auto message = c::ParseStun(datagram);
    // The realm the client keys its checks with comes from any answer that names one.
    if (const auto* realm = message ? message->Find(c::kStunAttrRealm) : nullptr) {
      h.realm.assign(realm->value.begin(), realm->value.end());
    }
    if ((flags & 2)) {
      if (message) {
        std::vector<c::StunAttribute> kept;
        for (const auto& a : message->attributes) {
          if (a.type != c::kStunAttrMessageIntegrity && a.type != c::kStunAttrFingerprint) kept.push_back(a);
        }
        message->attributes = kept;
        const c::Md5Digest key = c::Md5(c::AsBytes(std::string(kUser) + ":" + h.realm + ":" + kPassword));
        datagram = c::EncodeStun(*message, key, true);
      }
    }
    std::optional<c::TurnClient::Inbound> inbound;
    client.OnDatagram(datagram, now, inbound);
    if (inbound) FUZZ_CHECK(inbound->data.size() <= datagram.size());
    if (client.GetState() == c::TurnClient::State::Allocated && !permitted) {
      client.Permit(*peer, now);
      permitted = true;
    }
    if (permitted) client.SendTo(*peer, std::span(datagram).first(std::min<size_t>(datagram.size(), 64)));
    FUZZ_CHECK(h.sent.size() < 100000);
  }
  return 0;
}
