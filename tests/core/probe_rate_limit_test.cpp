// Discovery answers: a few a second per source, bounded in all.
#include "core/probe_rate_limit.h"

#include <gtest/gtest.h>

namespace kelm {
namespace {

constexpr uint32_t kSource = 0xC0A80114;  // 192.168.1.20

int Answered(ProbeRateLimiter& limiter, uint32_t source, uint64_t nowMs, int probes) {
  int n = 0;
  for (int i = 0; i < probes; ++i) n += limiter.Allow(source, nowMs) ? 1 : 0;
  return n;
}

TEST(ProbeRateLimiterTest, OneSourceGetsAFewAnswersASecond) {
  ProbeRateLimiter limiter;
  EXPECT_EQ(Answered(limiter, kSource, 1000, 100), 3);
  EXPECT_EQ(Answered(limiter, kSource, 1100, 100), 0);   // 0.3 of a token has come back
  EXPECT_EQ(Answered(limiter, kSource, 1334, 100), 1);   // one token after a third of a second
  EXPECT_EQ(Answered(limiter, kSource, 10000, 100), 3);  // never more than the burst
  // Over ten seconds of flooding, about three a second.
  int total = 0;
  for (uint64_t t = 20000; t < 30000; t += 10) total += Answered(limiter, kSource, t, 5);
  EXPECT_GE(total, 30);
  EXPECT_LE(total, 33);
}

TEST(ProbeRateLimiterTest, SourcesAreCountedApartButTheTotalIsBounded) {
  ProbeRateLimiter limiter;
  EXPECT_EQ(Answered(limiter, kSource, 1000, 10), 3);
  EXPECT_EQ(Answered(limiter, kSource + 1, 1000, 10), 3);
  // Many spoofed sources at once: the shared allowance runs out.
  int total = 6;
  for (uint32_t s = 100; s < 200; ++s) total += Answered(limiter, kSource + s, 1000, 1);
  EXPECT_EQ(total, static_cast<int>(ProbeRateLimiter::kTotalPerSecond));
}

TEST(ProbeRateLimiterTest, SourceTableStaysBounded) {
  ProbeRateLimiter limiter;
  for (uint32_t s = 0; s < ProbeRateLimiter::kMaxSources; ++s) limiter.Allow(s, 1000);
  // Full of sources seen within the last second: a new one gets no answer.
  EXPECT_FALSE(limiter.Allow(0x0A000001, 1500));
  // Once they have gone quiet, their entries make room.
  EXPECT_TRUE(limiter.Allow(0x0A000001, 2000));
}

}  // namespace
}  // namespace kelm
