// The TURN client against a scripted server fed in process: lifetimes it must not take
// literally, answers it must ignore and server texts it must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "connect/stun_hash.h"
#include "connect/stun_message.h"
#include "connect/turn_client.h"

namespace tavro::connect {
namespace {

constexpr char kUser[] = "user";
constexpr char kPassword[] = "secret";
constexpr char kRealm[] = "tavro.test";

struct ServerScript {
  uint32_t grantedLifetime = 0;
  bool signSuccess = true;
  bool relayedAddress = true;
  std::string realm = kRealm;
};

// Answers what the client sends: 401 to an unauthenticated request, success otherwise.
class ScriptedServer {
 public:
  explicit ScriptedServer(ServerScript script) : script_(std::move(script)) {}

  std::vector<uint8_t> Answer(std::span<const uint8_t> request) {
    auto m = ParseStun(request);
    if (!m) return {};
    requests.push_back(m->type);
    StunMessage reply;
    reply.transaction = m->transaction;
    if (!m->Find(kStunAttrUsername)) {
      reply.type = static_cast<uint16_t>(m->type | 0x0110);
      reply.AddErrorCode(kStunErrorUnauthorized, "Unauthorized");
      reply.AddText(kStunAttrRealm, script_.realm);
      reply.AddText(kStunAttrNonce, "nonce-1");
      return EncodeStun(reply, {}, true);
    }
    reply.type = static_cast<uint16_t>(m->type | 0x0100);
    if (m->type == kTurnAllocateRequest && script_.relayedAddress) {
      reply.AddXorAddress(kStunAttrXorRelayedAddress, *StunAddress::FromIp("127.0.0.2", 50000));
    }
    if (m->type == kTurnAllocateRequest || m->type == kTurnRefreshRequest) {
      reply.AddU32(kStunAttrLifetime, script_.grantedLifetime);
      if (m->type == kTurnRefreshRequest) refreshLifetimes.push_back(m->U32(kStunAttrLifetime).value_or(~0u));
    }
    Md5Digest key = Md5(AsBytes(std::string(kUser) + ":" + kRealm + ":" + kPassword));
    if (!script_.signSuccess) return EncodeStun(reply, {}, true);
    return EncodeStun(reply, std::span<const uint8_t>(key.data(), key.size()), true);
  }

  int Count(uint16_t type) const { return static_cast<int>(std::count(requests.begin(), requests.end(), type)); }

  std::vector<uint16_t> requests;
  std::vector<uint32_t> refreshLifetimes;

 private:
  ServerScript script_;
};

struct Harness {
  explicit Harness(ServerScript script) : server(std::move(script)) {
    client.emplace(
        *StunAddress::FromIp("127.0.0.1", 3478), kUser, kPassword,
        [this](const StunAddress&, std::span<const uint8_t> bytes) {
          outbox.emplace_back(bytes.begin(), bytes.end());
        },
        [this](uint8_t* out, size_t n) {
          for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(++counter);
        });
  }
  // Delivers every queued request to the server and its answers back, until quiet.
  void Exchange(uint64_t now) {
    for (int round = 0; round < 8 && !outbox.empty(); ++round) {
      auto sent = std::move(outbox);
      outbox.clear();
      for (const auto& bytes : sent) {
        auto answer = server.Answer(bytes);
        std::optional<TurnClient::Inbound> inbound;
        if (!answer.empty()) client->OnDatagram(answer, now, inbound);
      }
    }
  }
  ScriptedServer server;
  std::optional<TurnClient> client;
  std::vector<std::vector<uint8_t>> outbox;
  uint32_t counter = 0;
};

TEST(TurnClient, LifetimeZeroIsNoAllocation) {
  Harness h(ServerScript{.grantedLifetime = 0});
  h.client->Start(1000);
  h.Exchange(1000);
  EXPECT_EQ(h.client->GetState(), TurnClient::State::Failed);
  for (int i = 0; i < 10000; ++i) {
    h.client->OnTimer(1000);
    h.Exchange(1000);
  }
  for (uint64_t now = 1000; now <= 11000; ++now) {
    h.client->OnTimer(now);
    h.Exchange(now);
  }
  EXPECT_EQ(h.server.Count(kTurnRefreshRequest), 0);
}

TEST(TurnClient, ShortLifetimesNeverRefreshInALoop) {
  struct Case {
    uint32_t lifetime;
    int most;  // Refresh requests in 10 s
  };
  for (const Case& c : {Case{1, 6}, Case{3, 6}, Case{6, 4}, Case{600, 0}}) {
    SCOPED_TRACE(c.lifetime);
    Harness h(ServerScript{.grantedLifetime = c.lifetime});
    h.client->Start(1000);
    h.Exchange(1000);
    ASSERT_EQ(h.client->GetState(), TurnClient::State::Allocated);
    // A fixed clock, ticked as often as a busy agent would: at most one Refresh.
    for (int i = 0; i < 10000; ++i) {
      h.client->OnTimer(1000 + 2000);
      h.Exchange(1000 + 2000);
    }
    EXPECT_LE(h.server.Count(kTurnRefreshRequest), 1);
    for (uint64_t now = 3000; now <= 11000; ++now) {
      h.client->OnTimer(now);
      h.Exchange(now);
    }
    EXPECT_LE(h.server.Count(kTurnRefreshRequest), c.most);
    for (uint32_t lifetime : h.server.refreshLifetimes) EXPECT_EQ(lifetime, c.lifetime);
    EXPECT_EQ(h.client->GetState(), TurnClient::State::Allocated);
  }
}

TEST(TurnClient, UnsignedSuccessIsIgnored) {
  Harness h(ServerScript{.grantedLifetime = 600, .signSuccess = false});
  h.client->Start(0);
  h.Exchange(0);
  EXPECT_EQ(h.client->GetState(), TurnClient::State::Allocating);
  EXPECT_FALSE(h.client->Relayed());
  // The request stays pending: it is sent again and, unanswered, finally fails.
  for (uint64_t now = 0; now < 60000; now += 50) h.client->OnTimer(now);
  EXPECT_EQ(h.client->GetState(), TurnClient::State::Failed);
}

TEST(TurnClient, SuccessWithoutRelayedAddressFails) {
  Harness h(ServerScript{.grantedLifetime = 600, .relayedAddress = false});
  h.client->Start(0);
  h.Exchange(0);
  EXPECT_EQ(h.client->GetState(), TurnClient::State::Failed);
}

TEST(TurnClient, OversizedRealmIsRefused) {
  struct Case {
    size_t realmBytes;
    TurnClient::State expected;
  };
  for (const Case& c : {Case{763, TurnClient::State::Allocated}, Case{764, TurnClient::State::Failed},
                        Case{65000, TurnClient::State::Failed}}) {
    SCOPED_TRACE(c.realmBytes);
    Harness h(ServerScript{.grantedLifetime = 600, .realm = std::string(c.realmBytes, 'r')});
    h.client->Start(0);
    h.Exchange(0);
    // An accepted realm is only ours to key with when the scripted server keys the same way.
    if (c.expected == TurnClient::State::Failed) {
      EXPECT_EQ(h.client->GetState(), TurnClient::State::Failed);
      EXPECT_EQ(h.server.Count(kTurnAllocateRequest), 1);  // no authenticated retry
    } else {
      EXPECT_EQ(h.server.Count(kTurnAllocateRequest), 2);
    }
  }
}

}  // namespace
}  // namespace tavro::connect
