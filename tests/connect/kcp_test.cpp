// Unit tests of the ARQ control block: wire header, segmenting, results, probing, clock wrap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "connect/kcp.h"
#include "kcp_link.h"

namespace tavro::connect::test {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  std::mt19937 rng(seed);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (uint32_t{d[at + 3]} << 24);
}

// Splits captured datagrams into segments: (cmd, payload length).
std::vector<std::pair<uint8_t, uint32_t>> Segments(const Capture& capture) {
  std::vector<std::pair<uint8_t, uint32_t>> out;
  for (const auto& d : capture.datagrams) {
    for (size_t at = 0; at + kKcpOverhead <= d.size();) {
      uint32_t len = Le32(d, at + 20);
      out.emplace_back(d[at + 4], len);
      at += kKcpOverhead + len;
    }
  }
  return out;
}

TEST(Kcp, FirstPushCarriesTheClassicHeader) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  ASSERT_EQ(ikcp_send(kcp.get(), "hello", 5), 0);
  ikcp_update(kcp.get(), 0x01020304);
  ASSERT_EQ(capture.datagrams.size(), 1u);
  const std::vector<uint8_t> expected = {
      0x31, 0x63, 0x76, 0x74,  // conversation "tvc1", little-endian
      0x51, 0x00, 0x00, 0x04,  // PUSH, fragment 0, window 1024
      0x04, 0x03, 0x02, 0x01,  // timestamp
      0x00, 0x00, 0x00, 0x00,  // sequence number
      0x00, 0x00, 0x00, 0x00,  // unacknowledged
      0x05, 0x00, 0x00, 0x00,  // length
      'h',  'e',  'l',  'l',  'o'};
  EXPECT_EQ(capture.datagrams[0], expected);
}

TEST(Kcp, NothingLeavesBeforeTheFirstUpdate) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  ASSERT_EQ(ikcp_send(kcp.get(), "abc", 3), 0);
  ikcp_flush(kcp.get());
  EXPECT_TRUE(capture.datagrams.empty());
  EXPECT_EQ(ikcp_check(kcp.get(), 500), 500u);  // not yet updated: due at once
  ikcp_update(kcp.get(), 500);
  EXPECT_EQ(capture.datagrams.size(), 1u);
}

TEST(Kcp, StreamModeMergesSmallWritesMessageModeDoesNot) {
  Capture streamCapture, messageCapture;
  KcpPtr stream = MakeStreamKcp(&streamCapture, CaptureOutput, true);
  KcpPtr message = MakeStreamKcp(&messageCapture, CaptureOutput, false);
  for (ikcpcb* kcp : {stream.get(), message.get()}) {
    ASSERT_EQ(ikcp_send(kcp, "0123456789", 10), 0);
    ASSERT_EQ(ikcp_send(kcp, "abcdefghijklmnopqrst", 20), 0);
  }
  EXPECT_EQ(ikcp_waitsnd(stream.get()), 1);
  EXPECT_EQ(ikcp_waitsnd(message.get()), 2);
  ikcp_update(stream.get(), 0);
  auto segs = Segments(streamCapture);
  ASSERT_EQ(segs.size(), 1u);
  EXPECT_EQ(segs[0], (std::pair<uint8_t, uint32_t>{kKcpCmdPush, 30u}));
}

TEST(Kcp, SixtyFourKibIsFiftySixSegments) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  auto data = Pattern(65536, 1);
  ASSERT_EQ(ikcp_send(kcp.get(), reinterpret_cast<const char*>(data.data()), 65536), 0);
  EXPECT_EQ(ikcp_waitsnd(kcp.get()), 56);
  ikcp_update(kcp.get(), 0);
  auto segs = Segments(capture);
  ASSERT_EQ(segs.size(), 56u);
  for (size_t i = 0; i + 1 < segs.size(); ++i) EXPECT_EQ(segs[i].second, 1176u);
  EXPECT_EQ(segs.back().second, 65536u - 55u * 1176u);
  for (const auto& d : capture.datagrams) EXPECT_LE(d.size(), 1200u);
}

TEST(Kcp, TooManyFragmentsAreRefused) {
  struct Case {
    bool stream;
    int length;
    int result;
  } cases[] = {
      {false, 127 * 1176, 0},
      {false, 127 * 1176 + 1, kKcpSendTooManyFragments},
      {true, 128 * 1176, kKcpSendTooManyFragments},
      {false, -1, kKcpSendBadLength},
  };
  for (const auto& c : cases) {
    Capture capture;
    KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput, c.stream);
    std::vector<char> data(c.length > 0 ? c.length : 1);
    EXPECT_EQ(ikcp_send(kcp.get(), data.data(), c.length), c.result) << c.length;
    EXPECT_EQ(ikcp_waitsnd(kcp.get()), c.result == 0 ? 127 : 0) << c.length;
  }
}

TEST(Kcp, WaitsndCountsUntilAcknowledged) {
  SimulatedLink link(1000, 0.0, 5, 7);
  auto data = Pattern(10 * 1176, 2);
  ASSERT_EQ(ikcp_send(link.A(), reinterpret_cast<const char*>(data.data()), 10 * 1176), 0);
  EXPECT_EQ(ikcp_waitsnd(link.A()), 10);
  link.Step();
  EXPECT_EQ(ikcp_waitsnd(link.A()), 10);  // sent, not yet acknowledged
  for (int i = 0; i < 40; ++i) link.Step();
  EXPECT_EQ(ikcp_waitsnd(link.A()), 0);
}

// An acknowledgement's echoed time stamp comes from the peer. One far in the past must
// not overflow the round-trip smoothing, and the time-out stays within its bound.
TEST(Kcp, ForgedAckTimeStampsKeepTheTimeOutBounded) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  const uint32_t now = 2000000000;
  for (uint32_t sn = 0; sn < 3; ++sn) {
    const char byte = 'x';
    ASSERT_EQ(ikcp_send(kcp.get(), &byte, 1), 0);
    ikcp_update(kcp.get(), now + sn * 100);
    std::vector<uint8_t> ack(kKcpOverhead, 0);
    const uint32_t fields[] = {kTestConv, 0, 0, 0, sn, 0};  // ts 0: 2e9 ms ago
    std::memcpy(ack.data(), &fields[0], 4);
    ack[4] = 82;  // ACK
    ack[6] = 0;
    ack[7] = 4;  // window 1024
    std::memcpy(ack.data() + 12, &fields[4], 4);
    ASSERT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(ack.data()), static_cast<long>(ack.size())), 0);
    EXPECT_GE(kcp->rx_rto, kcp->rx_minrto) << sn;
    EXPECT_LE(kcp->rx_rto, 60000) << sn;
  }
  EXPECT_EQ(ikcp_waitsnd(kcp.get()), 0);
}

TEST(Kcp, RecvResults) {
  // Message mode so that sizes and fragments are visible.
  SimulatedLink link(0, 0.0, 1, 3, false);
  char buf[4000];
  EXPECT_EQ(ikcp_recv(link.B(), buf, sizeof buf), kKcpRecvEmpty);
  auto msg = Pattern(100, 4);
  ASSERT_EQ(ikcp_send(link.A(), reinterpret_cast<const char*>(msg.data()), 100), 0);
  for (int i = 0; i < 5; ++i) link.Step();
  EXPECT_EQ(ikcp_recv(link.B(), buf, 50), kKcpRecvBufferTooSmall);
  ASSERT_EQ(ikcp_recv(link.B(), buf, sizeof buf), 100);  // still there after "too small"
  EXPECT_EQ(std::memcmp(buf, msg.data(), 100), 0);
  EXPECT_EQ(ikcp_recv(link.B(), buf, sizeof buf), kKcpRecvEmpty);

  // A three-fragment message whose last fragment is still missing is incomplete.
  auto big = Pattern(3000, 5);
  // Deliver only the first two fragments at first.
  Capture capture;
  KcpPtr sender = MakeStreamKcp(&capture, CaptureOutput, false);
  ASSERT_EQ(ikcp_send(sender.get(), reinterpret_cast<const char*>(big.data()), 3000), 0);
  ikcp_update(sender.get(), link.Now());
  ASSERT_EQ(capture.datagrams.size(), 3u);
  KcpPtr receiver = MakeStreamKcp(&capture, CaptureOutput, false);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ikcp_input(receiver.get(), reinterpret_cast<const char*>(capture.datagrams[i].data()),
                         static_cast<long>(capture.datagrams[i].size())),
              0);
  }
  EXPECT_EQ(ikcp_recv(receiver.get(), buf, sizeof buf), kKcpRecvIncomplete);
  ASSERT_EQ(ikcp_input(receiver.get(), reinterpret_cast<const char*>(capture.datagrams[2].data()),
                       static_cast<long>(capture.datagrams[2].size())),
            0);
  ASSERT_EQ(ikcp_recv(receiver.get(), buf, sizeof buf), 3000);
  EXPECT_EQ(std::memcmp(buf, big.data(), 3000), 0);
}

TEST(Kcp, InputRefusesGarbage) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  std::vector<uint8_t> good(24 + 3, 0);
  good[0] = 0x31, good[1] = 0x63, good[2] = 0x76, good[3] = 0x74, good[4] = kKcpCmdPush;
  good[6] = 0x00, good[7] = 0x04, good[20] = 3;
  auto wrongConv = good;
  wrongConv[0] = 0x32;
  auto badCmd = good;
  badCmd[4] = 85;
  auto truncated = good;
  truncated.pop_back();
  struct Case {
    std::vector<uint8_t> bytes;
    int result;
  } cases[] = {{std::vector<uint8_t>(good.begin(), good.begin() + 23), kKcpInputShort},
               {wrongConv, kKcpInputShort},
               {badCmd, kKcpInputBadCommand},
               {truncated, kKcpInputTruncated}};
  for (const auto& c : cases) {
    EXPECT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(c.bytes.data()),
                         static_cast<long>(c.bytes.size())),
              c.result);
  }
  char buf[16];
  EXPECT_EQ(ikcp_recv(kcp.get(), buf, sizeof buf), kKcpRecvEmpty);
  EXPECT_EQ(ikcp_input(kcp.get(), nullptr, 0), kKcpInputShort);
  ASSERT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(good.data()),
                       static_cast<long>(good.size())),
            0);
  EXPECT_EQ(ikcp_recv(kcp.get(), buf, sizeof buf), 3);
}

// One PUSH segment of the given length and sequence number.
std::vector<uint8_t> Push(uint32_t sn, size_t length) {
  std::vector<uint8_t> d(kKcpOverhead + length, 0x5A);
  // conv, (cmd, frg, wnd), ts, sn, una, len
  const uint32_t fields[] = {kTestConv, 0, 0, sn, 0, static_cast<uint32_t>(length)};
  for (size_t i = 0; i < 6; ++i) {
    if (i == 1) continue;  // cmd, frg, wnd set below
    for (int b = 0; b < 4; ++b) d[i * 4 + b] = static_cast<uint8_t>(fields[i] >> (8 * b));
  }
  d[4] = kKcpCmdPush;
  d[6] = 0x00, d[7] = 0x04;
  return d;
}

size_t HeldBytes(const ikcpcb* kcp) {
  size_t held = 0;
  for (const auto& seg : kcp->rcv_buf) held += seg.data.capacity();
  for (const auto& seg : kcp->rcv_queue) held += seg.data.capacity();
  return held;
}

TEST(Kcp, SegmentsLongerThanTheMssAreDroppedUnacknowledged) {
  Capture capture;
  KcpPtr kcp = MakeStreamKcp(&capture, CaptureOutput);
  ikcp_update(kcp.get(), 0);
  // 1023 out-of-order segments of 60 KB: sequence 0 never comes, so all would wait.
  for (uint32_t sn = 1; sn <= 1023; ++sn) {
    const auto d = Push(sn, 60000);
    ASSERT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(d.data()), static_cast<long>(d.size())), 0);
  }
  EXPECT_LT(HeldBytes(kcp.get()), 2u << 20);
  EXPECT_TRUE(kcp->acklist.empty());
  // At the MSS they are kept and acknowledged as ever.
  for (uint32_t sn = 1; sn <= 1023; ++sn) {
    const auto d = Push(sn, kcp->mss);
    ASSERT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(d.data()), static_cast<long>(d.size())), 0);
  }
  EXPECT_EQ(kcp->rcv_buf.size(), 1023u);
  EXPECT_LT(HeldBytes(kcp.get()), 2u << 20);
  EXPECT_EQ(kcp->acklist.size(), 1023u);
  const auto first = Push(0, kcp->mss + 1);
  ASSERT_EQ(ikcp_input(kcp.get(), reinterpret_cast<const char*>(first.data()), static_cast<long>(first.size())), 0);
  char buf[2048];
  EXPECT_EQ(ikcp_recv(kcp.get(), buf, sizeof buf), kKcpRecvEmpty);
}

TEST(Kcp, ZeroWindowIsProbedAndReopened) {
  SimulatedLink link(0, 0.0, 5, 9);
  ikcp_wndsize(link.B(), 1024, 128);
  // More than the receiver's window, and the receiver does not read.
  const size_t total = 200 * 1176;
  auto data = Pattern(total, 6);
  for (size_t at = 0; at < total; at += 65536) {
    int piece = static_cast<int>(std::min<size_t>(65536, total - at));
    ASSERT_EQ(ikcp_send(link.A(), reinterpret_cast<const char*>(data.data() + at), piece), 0);
  }
  for (int i = 0; i < 200; ++i) link.Step();
  EXPECT_EQ(link.A()->rmt_wnd, 0u);
  EXPECT_EQ(ikcp_waitsnd(link.A()), 72);
  auto count = [&](int side, uint8_t cmd) {
    const auto& c = link.Commands(side);
    return std::count(c.begin(), c.end(), cmd);
  };
  EXPECT_EQ(count(0, kKcpCmdWask), 0);
  for (int i = 0; i < 7100; ++i) link.Step();
  EXPECT_GE(count(0, kKcpCmdWask), 1);  // a probe after about 7 s
  EXPECT_GE(count(1, kKcpCmdWins), 1);  // answered, still closed
  EXPECT_EQ(ikcp_waitsnd(link.A()), 72);

  std::vector<uint8_t> received;
  char buf[65536];
  auto drain = [&] {
    int n;
    while ((n = ikcp_recv(link.B(), buf, sizeof buf)) > 0) received.insert(received.end(), buf, buf + n);
  };
  drain();
  auto winsBefore = count(1, kKcpCmdWins);
  // The first announcement of the reopened window is lost; it is repeated, so the sender
  // resumes at once instead of after its next probe (10.5 s later).
  link.SetDropAll(0, true);
  for (int i = 0; i < 15; ++i) link.Step();
  link.SetDropAll(0, false);
  for (int i = 0; i < 300 && received.size() < total; ++i) {
    link.Step();
    drain();
  }
  EXPECT_GT(count(1, kKcpCmdWins), winsBefore);  // the reopened window is announced at once
  ASSERT_EQ(received.size(), total);
  EXPECT_EQ(received, data);
}

TEST(Kcp, TransferAcrossTheClockWrapWithLoss) {
  const uint32_t start = 0xFFFFFFFFu - 5000u + 1u;  // 5 s before the 32-bit wrap
  SimulatedLink link(start, 0.05, 10, 11);
  const size_t total = 4 * 1024 * 1024;
  auto toB = Pattern(total, 7);
  auto toA = Pattern(total, 8);
  std::vector<uint8_t> gotB, gotA;
  size_t sentB = 0, sentA = 0;
  char buf[65536];
  uint64_t steps = 0;
  bool crossedWrap = false;
  // Paced writers (4 KiB per 10 ms) so that the transfer spans the wrap.
  while ((gotB.size() < total || gotA.size() < total) && steps < 60000) {
    if (steps % 10 == 0) {
      size_t piece = 4096;
      if (sentB < total) {
        ASSERT_EQ(ikcp_send(link.A(), reinterpret_cast<const char*>(toB.data() + sentB),
                            static_cast<int>(std::min(piece, total - sentB))),
                  0);
        sentB += std::min(piece, total - sentB);
      }
      if (sentA < total) {
        ASSERT_EQ(ikcp_send(link.B(), reinterpret_cast<const char*>(toA.data() + sentA),
                            static_cast<int>(std::min(piece, total - sentA))),
                  0);
        sentA += std::min(piece, total - sentA);
      }
    }
    uint32_t before = link.Now();
    link.Step();
    if (link.Now() < before) crossedWrap = true;
    ++steps;
    int n;
    while ((n = ikcp_recv(link.B(), buf, sizeof buf)) > 0) gotB.insert(gotB.end(), buf, buf + n);
    while ((n = ikcp_recv(link.A(), buf, sizeof buf)) > 0) gotA.insert(gotA.end(), buf, buf + n);
  }
  EXPECT_TRUE(crossedWrap);
  EXPECT_GT(link.Dropped(), 100u);
  ASSERT_EQ(gotB.size(), total);
  ASSERT_EQ(gotA.size(), total);
  EXPECT_TRUE(gotB == toB);
  EXPECT_TRUE(gotA == toA);
  // Writing takes 10.24 s; the tail must not stall after it.
  EXPECT_LT(steps, 10240u + 3000u);
}

}  // namespace
}  // namespace tavro::connect::test
