// The relay client's pure rules: reconnect delays, request refusals, the announced
// phone list, the ICE entry it uses, peer texts and the warning throttle.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "connect/reconnect_backoff.h"
#include "connect/relay_request_rules.h"

namespace kelm {
namespace {

constexpr double kLowest = 0.0;
constexpr double kHighest = 0.999999999;

TEST(ReconnectBackoffTest, WholeScheduleStaysInItsBandsAndStopsGrowingAtTheTop) {
  // After repeated failures: 800..1200, 1600..2400, ... up to 48000..72000, never beyond.
  const std::vector<uint32_t> bases = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
  ReconnectBackoff low, high;
  for (size_t i = 0; i < bases.size(); ++i) {
    const uint32_t shortest = low.Next(0, kLowest);
    const uint32_t longest = high.Next(0, kHighest);
    EXPECT_EQ(shortest, bases[i] * 8 / 10) << "attempt " << i;
    EXPECT_GE(longest, bases[i] * 12 / 10 - 1) << "attempt " << i;
    EXPECT_LT(longest, bases[i] * 12 / 10) << "attempt " << i;
  }
  for (int i = 0; i < 1000; ++i) {
    const uint32_t d = high.Next(0, static_cast<double>(i) / 1000);
    ASSERT_GE(d, 48000u);
    ASSERT_LT(d, 72000u);
  }
}

TEST(ReconnectBackoffTest, OneMinuteOnlineStartsOverAndShorterDoesNot) {
  ReconnectBackoff b;
  for (int i = 0; i < 5; ++i) b.Next(0, 0.5);
  EXPECT_EQ(b.BaseMs(), 32000u);
  EXPECT_EQ(b.Next(59999, kLowest), 25600u);  // not long enough: keeps growing
  EXPECT_EQ(b.Next(60000, kLowest), 800u);    // a minute online: the first band again
  EXPECT_EQ(b.Next(0, kLowest), 1600u);
  EXPECT_EQ(b.Next(3600000, kHighest), 1199u);
}

TEST(ReconnectBackoffTest, DelayIsBaseTimesAFactorFromPointEightToOnePointTwo) {
  EXPECT_EQ(BackoffDelayMs(1000, 0.0), 800u);
  EXPECT_EQ(BackoffDelayMs(1000, 0.5), 1000u);
  EXPECT_EQ(BackoffDelayMs(1000, 1.0), 1199u);  // the upper end is never reached
  EXPECT_EQ(BackoffDelayMs(60000, 0.25), 54000u);
}

TEST(RelayRequestRulesTest, FirstApplyingRuleDecides) {
  struct Case {
    bool enabled, stopping, paired;
    size_t accepted, running;
    const char* expected;  // nullptr: accepted
  };
  const Case cases[] = {
      {true, false, true, 0, 0, nullptr},
      {true, false, true, 19, 3, nullptr},
      {false, false, true, 0, 0, "disabled"},
      {true, true, true, 0, 0, "disabled"},
      {false, false, false, 25, 9, "disabled"},
      {true, false, false, 0, 0, "not-paired"},
      {true, false, false, 20, 4, "not-paired"},  // unknown phone even when rate-limited
      {true, false, true, 20, 0, "rate-limited"},
      {true, false, true, 20, 4, "rate-limited"},
      {true, false, true, 19, 4, "busy"},
  };
  for (const Case& c : cases) {
    const auto refusal = RelayRequestRefusal(c.enabled, c.stopping, c.paired, c.accepted, c.running);
    if (c.expected == nullptr) {
      EXPECT_FALSE(refusal.has_value()) << *refusal;
    } else {
      ASSERT_TRUE(refusal.has_value()) << c.expected;
      EXPECT_EQ(*refusal, c.expected);
    }
  }
}

std::string Id(int n) {
  std::string id(64, '0');
  const std::string digits = std::to_string(n);
  std::copy(digits.begin(), digits.end(), id.end() - static_cast<ptrdiff_t>(digits.size()));
  return id;
}

TEST(RelayRequestRulesTest, PhoneListKeepsTheSixtyFourMostRecentlySeenSortedAndUnique) {
  std::vector<PhoneSeen> phones;
  for (int i = 0; i < 65; ++i) phones.push_back({1000 + ((i * 37) % 65), Id(i)});  // last seen all different
  const auto oldest = std::min_element(phones.begin(), phones.end(),
                                       [](const PhoneSeen& a, const PhoneSeen& b) { return a.lastSeen < b.lastSeen; });
  const std::string dropped = oldest->id;
  const std::vector<std::string> list = RelayPhoneList(phones);
  ASSERT_EQ(list.size(), 64u);
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  EXPECT_EQ(std::find(list.begin(), list.end(), dropped), list.end());

  const std::vector<std::string> twice = RelayPhoneList({{5, Id(3)}, {9, Id(1)}, {7, Id(3)}, {0, Id(2)}});
  EXPECT_EQ(twice, (std::vector<std::string>{Id(1), Id(2), Id(3)}));
  EXPECT_TRUE(RelayPhoneList({}).empty());
}

TEST(RelayRequestRulesTest, StunEntryIsTheFirstStunUrl) {
  const std::vector<std::string> turnFirst = {"turn:127.0.0.1:3478?transport=udp", "stun:127.0.0.1:3479",
                                              "stun:127.0.0.1:3480"};
  EXPECT_EQ(FirstStunEntry(turnFirst), "stun:127.0.0.1:3479");
  const std::vector<std::string> onlyTurn = {"turn:127.0.0.1:3478", "turns:127.0.0.1:5349"};
  EXPECT_EQ(FirstStunEntry(onlyTurn), "");
  EXPECT_EQ(FirstStunEntry({}), "");
}

TEST(RelayRequestRulesTest, PathKindPeerTextAndLabel) {
  const IceCandidatePair direct{"host", "127.0.0.1 40000", "srflx", "127.0.0.1 40001"};
  const IceCandidatePair viaTurn{"relay", "127.0.0.1 40000", "host", "127.0.0.1 40001"};
  const IceCandidatePair remoteRelay{"host", "127.0.0.1 40000", "relay", "127.0.0.1 40002"};
  EXPECT_EQ(RelayPathKind(direct), "direct");
  EXPECT_EQ(RelayPathKind(viaTurn), "relayed");
  EXPECT_EQ(RelayPathKind(remoteRelay), "relayed");
  EXPECT_EQ(RelayPathKind(std::nullopt), "direct");
  EXPECT_EQ(RelayPeerText("0123456789abcdef", direct), "connect 0123456789abcdef 127.0.0.1 40001 (srflx)");
  EXPECT_EQ(RelayPeerText("0123456789abcdef", std::nullopt), "connect 0123456789abcdef ");
  EXPECT_EQ(RelayLabel(Id(7)), "0000000000000000");
  EXPECT_EQ(RelayLabel("abc"), "abc");
}

TEST(RelayRequestRulesTest, WaitUrlDropsTrailingSlashes) {
  EXPECT_EQ(MakeWaitUrl("wss://relay.example//", "ab"), "wss://relay.example/v1/pcs/ab/wait");
  EXPECT_EQ(MakeWaitUrl("ws://127.0.0.1:9/base", "cd"), "ws://127.0.0.1:9/base/v1/pcs/cd/wait");
}

TEST(RelayRequestRulesTest, ThrottleLetsOneLinePerKeyAndWindowThrough) {
  LogThrottle t(10000);
  uint64_t held = 0;
  EXPECT_TRUE(t.Allow("busy", 0, held));
  EXPECT_EQ(held, 0u);
  for (uint64_t ms = 1; ms < 10000; ms += 100) EXPECT_FALSE(t.Allow("busy", ms, held));
  EXPECT_TRUE(t.Allow("not-paired", 500, held));  // its own key
  EXPECT_TRUE(t.Allow("busy", 10000, held));
  EXPECT_EQ(held, 100u);
  EXPECT_FALSE(t.Allow("busy", 10001, held));
}

}  // namespace
}  // namespace kelm
