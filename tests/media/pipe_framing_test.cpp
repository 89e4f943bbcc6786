// Whole pipe messages over real overlapped named pipes: header checks before allocation,
// large and piecemeal bodies, broken writers, exact written bytes and the stop event.
#include "media/pipe_framing.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/crypto.h"
#include "support/test_pipe.h"

namespace kelm {
namespace {

using test::MakeTestPipe;
using test::RawPipeReadSome;
using test::RawPipeWrite;

std::vector<uint8_t> HeaderBytes(uint32_t length, uint8_t type) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 24), type};
}

// The commit charge: PagefileUsage, which Windows reports equal to PrivateUsage and Wine
// fills alone (its PrivateUsage stays 0).
size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;
}

struct StopEvent {
  WinHandle handle{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE Get() const { return handle.Get(); }
};

TEST(PipeFramingTest, BadLengthsFailTheRead) {
  for (const uint32_t length : {0u, 0x1000000Au, 0xFFFFFFFFu}) {
    test::TestPipe pipe = MakeTestPipe();
    ASSERT_TRUE(pipe.server);
    // Only the header is sent: a reader that tried to read the body would block.
    ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), HeaderBytes(length, 1)));
    uint8_t type = 0;
    std::vector<uint8_t> body{1, 2, 3};
    EXPECT_FALSE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, nullptr)) << length;
    EXPECT_TRUE(body.empty());
  }
}

TEST(PipeFramingTest, CallersLimitFailsBeforeAnyAllocation) {
  // The measure itself must see a body of this size, or the check below proves nothing.
  {
    const size_t before = PrivateBytes();
    std::vector<uint8_t> control(64 << 20, 1);
    ASSERT_GT(PrivateBytes(), before + (32 << 20)) << "private bytes do not follow allocations here";
  }
  test::TestPipe pipe = MakeTestPipe();
  ASSERT_TRUE(pipe.server);
  ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), HeaderBytes(0x10000009, 3)));
  const size_t before = PrivateBytes();
  uint8_t type = 0;
  std::vector<uint8_t> body;
  EXPECT_FALSE(ReadPipeMessage(pipe.client.Get(), type, body, 1024, nullptr));
  EXPECT_LT(PrivateBytes(), before + (1 << 20));

  // Within the limit the same reader takes the message.
  ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), HeaderBytes(1025, 3)));
  ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), std::vector<uint8_t>(1024, 7)));
  ASSERT_TRUE(ReadPipeMessage(pipe.client.Get(), type, body, 1024, nullptr));
  EXPECT_EQ(type, 3);
  EXPECT_EQ(body, std::vector<uint8_t>(1024, 7));
}

TEST(PipeFramingTest, LargestBodyRoundTrips) {
  test::TestPipe pipe = MakeTestPipe(1 << 20);
  ASSERT_TRUE(pipe.server);
  std::vector<uint8_t> sent(size_t{256} << 20);
  uint32_t x = 0x12345678;
  for (size_t i = 0; i < sent.size(); i += 4) {
    x = x * 1664525 + 1013904223;
    std::memcpy(&sent[i], &x, 4);
  }
  const std::vector<uint8_t> head(sent.begin(), sent.begin() + 8);
  const std::span<const uint8_t> rest(sent.data() + 8, sent.size() - 8);
  bool written = false;
  std::thread writer([&] { written = WritePipeMessage(pipe.server.Get(), 1, head, rest, nullptr); });
  uint8_t type = 0;
  std::vector<uint8_t> body;
  const bool read = ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, nullptr);
  writer.join();
  ASSERT_TRUE(written);
  ASSERT_TRUE(read);
  EXPECT_EQ(type, 1);
  ASSERT_EQ(body.size(), sent.size());
  EXPECT_EQ(Sha256(body), Sha256(sent));
}

TEST(PipeFramingTest, BodyInOneBytePiecesArrivesWhole) {
  test::TestPipe pipe = MakeTestPipe();
  ASSERT_TRUE(pipe.server);
  std::vector<uint8_t> message = HeaderBytes(301, 2);
  for (int i = 0; i < 300; ++i) message.push_back(static_cast<uint8_t>(i * 7));
  std::thread writer([&] {
    for (size_t i = 0; i < message.size(); ++i) {
      RawPipeWrite(pipe.server.Get(), {&message[i], 1});
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  uint8_t type = 0;
  std::vector<uint8_t> body;
  ASSERT_TRUE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, nullptr));
  writer.join();
  EXPECT_EQ(type, 2);
  EXPECT_EQ(body, std::vector<uint8_t>(message.begin() + 5, message.end()));
}

TEST(PipeFramingTest, WriterClosingMidBodyFailsTheRead) {
  test::TestPipe pipe = MakeTestPipe();
  ASSERT_TRUE(pipe.server);
  ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), HeaderBytes(101, 1)));
  ASSERT_TRUE(RawPipeWrite(pipe.server.Get(), std::vector<uint8_t>(50, 9)));
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pipe.server.Reset();
  });
  uint8_t type = 0;
  std::vector<uint8_t> body;
  EXPECT_FALSE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, nullptr));
  closer.join();
  EXPECT_TRUE(body.empty());
}

TEST(PipeFramingTest, WriteSendsExactBytesForEachPartShape) {
  const std::vector<uint8_t> a{0xA1, 0xA2, 0xA3};
  const std::vector<uint8_t> b{0xB1, 0xB2};
  struct Case {
    std::span<const uint8_t> part1;
    std::span<const uint8_t> part2;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {a, b, {6, 0, 0, 0, 4, 0xA1, 0xA2, 0xA3, 0xB1, 0xB2}},
      {a, {}, {4, 0, 0, 0, 4, 0xA1, 0xA2, 0xA3}},
      {{}, b, {3, 0, 0, 0, 4, 0xB1, 0xB2}},
      {{}, {}, {1, 0, 0, 0, 4}},
  };
  for (const Case& c : cases) {
    test::TestPipe pipe = MakeTestPipe();
    ASSERT_TRUE(pipe.server);
    ASSERT_TRUE(WritePipeMessage(pipe.client.Get(), 4, c.part1, c.part2, nullptr));
    pipe.client.Reset();  // the reader below then sees the end after the message
    EXPECT_EQ(RawPipeReadSome(pipe.server.Get(), c.expected.size() + 1), c.expected);
  }
}

TEST(PipeFramingTest, StopEventEndsAReadOnASilentPeer) {
  test::TestPipe pipe = MakeTestPipe();
  ASSERT_TRUE(pipe.server);
  StopEvent stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetEvent(stop.Get());
  });
  const auto start = std::chrono::steady_clock::now();
  uint8_t type = 0;
  std::vector<uint8_t> body;
  EXPECT_FALSE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, stop.Get()));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

  // Set before a read starts (a stop between two reads), the read fails at once and
  // leaves nothing pending: the next message is still read whole by another reader.
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, stop.Get()));
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(100));
  ASSERT_TRUE(WritePipeMessage(pipe.server.Get(), 2, std::vector<uint8_t>{5, 6}, {}, nullptr));
  ASSERT_TRUE(ReadPipeMessage(pipe.client.Get(), type, body, kPipeMaxBody, nullptr));
  EXPECT_EQ(body, (std::vector<uint8_t>{5, 6}));
}

TEST(PipeFramingTest, StopEventEndsAWriteThePeerDoesNotRead) {
  test::TestPipe pipe = MakeTestPipe(4096);
  ASSERT_TRUE(pipe.server);
  StopEvent stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetEvent(stop.Get());
  });
  const auto start = std::chrono::steady_clock::now();
  const std::vector<uint8_t> big(8 << 20, 3);
  EXPECT_FALSE(WritePipeMessage(pipe.client.Get(), 2, big, {}, stop.Get()));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(PipeFramingTest, TimeLimitEndsAWriteThePeerDoesNotRead) {
  test::TestPipe pipe = MakeTestPipe(4096);
  ASSERT_TRUE(pipe.server);
  StopEvent stop;
  const std::vector<uint8_t> big(8 << 20, 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WritePipeMessage(pipe.client.Get(), 2, big, {}, stop.Get(), 200));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
  // A message that fits the pipe's buffer is written well within the same limit.
  test::TestPipe roomy = MakeTestPipe(65536);
  ASSERT_TRUE(roomy.server);
  EXPECT_TRUE(WritePipeMessage(roomy.client.Get(), 2, std::vector<uint8_t>(1000, 1), {}, stop.Get(), 200));
}

}  // namespace
}  // namespace kelm
