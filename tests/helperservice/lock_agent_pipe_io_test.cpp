// The lock agent's pipe: frames arrive whole through a reading host, a host that stops
// reading is given up after the write limit, and input bodies above 65536 are refused.
#include "lock_agent_pipe_io.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "core/win_handle.h"
#include "media/pipe_framing.h"

namespace kelm::service {
namespace {

// An agent-side pipe shaped like the agent's (1 MiB out, 64 KiB in) and a host-side client.
struct PipePair {
  WinHandle agent;
  WinHandle host;
};

PipePair MakePipePair() {
  const std::wstring name = L"\\\\.\\pipe\\tavro.test.lock-agent-io." + std::to_wstring(GetCurrentProcessId()) + L"." +
                            std::to_wstring(GetTickCount64());
  PipePair pair;
  pair.agent.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                    1048576, 65536, 0, nullptr));
  EXPECT_TRUE(pair.agent) << GetLastError();
  pair.host.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr));
  EXPECT_TRUE(pair.host) << GetLastError();
  return pair;
}

// A picture with a row pitch wider than its rows, as a mapped staging texture has.
std::vector<uint8_t> Picture(uint32_t width, uint32_t height, size_t pitch) {
  std::vector<uint8_t> rows(pitch * height, 0xEE);
  for (uint32_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < size_t{width} * 4; ++x) rows[pitch * y + x] = static_cast<uint8_t>(x * 7 + y * 13);
  }
  return rows;
}

TEST(LockAgentPipeIoTest, BodyCarriesTheSizeThenTheRowsWithoutPadding) {
  const uint32_t width = 3, height = 2;
  const size_t pitch = 16;  // 12 bytes of pixels and 4 of padding per row
  const std::vector<uint8_t> rows = Picture(width, height, pitch);
  std::vector<uint8_t> body;
  BuildLockFrameBody(width, height, rows.data(), pitch, body);
  ASSERT_EQ(body.size(), 8u + 24u);
  EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 8), (std::vector<uint8_t>{3, 0, 0, 0, 2, 0, 0, 0}));
  for (uint32_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < 12; ++x) EXPECT_EQ(body[8 + 12 * y + x], rows[pitch * y + x]) << y << "," << x;
  }
  const std::optional<LockFrameSize> parsed = ParseLockFrame(body);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->width, width);
  EXPECT_EQ(parsed->height, height);
}

TEST(LockAgentPipeIoTest, AFullHdFrameReachesAReadingHost) {
  PipePair pipes = MakePipePair();
  const uint32_t width = 1920, height = 1080;
  const std::vector<uint8_t> rows = Picture(width, height, 1920 * 4 + 64);
  std::vector<uint8_t> body;
  BuildLockFrameBody(width, height, rows.data(), 1920 * 4 + 64, body);
  uint8_t type = 0;
  std::vector<uint8_t> received;
  bool read = false;
  std::thread host([&] { read = ReadPipeMessage(pipes.host.Get(), type, received, kPipeMaxBody, nullptr); });
  std::mutex writeMutex;
  EXPECT_TRUE(WriteLockScreenFrame(pipes.agent.Get(), body, writeMutex, nullptr));
  host.join();
  ASSERT_TRUE(read);
  EXPECT_EQ(type, static_cast<uint8_t>(PipeMessageType::LockScreenFrame));
  EXPECT_TRUE(received == body);
}

TEST(LockAgentPipeIoTest, AHostThatStopsReadingIsGivenUpAfterTheLimit) {
  PipePair pipes = MakePipePair();
  std::vector<uint8_t> body;
  const std::vector<uint8_t> rows = Picture(1920, 1080, 1920 * 4);
  BuildLockFrameBody(1920, 1080, rows.data(), 1920 * 4, body);
  std::mutex writeMutex;
  const uint64_t start = GetTickCount64();
  EXPECT_FALSE(WriteLockScreenFrame(pipes.agent.Get(), body, writeMutex, nullptr));
  const uint64_t spent = GetTickCount64() - start;
  EXPECT_GE(spent, kLockFrameWriteLimitMs - 100);
  EXPECT_LT(spent, kLockFrameWriteLimitMs + 1000);
  // The write mutex is free again for the next host.
  EXPECT_TRUE(writeMutex.try_lock());
  writeMutex.unlock();
}

TEST(LockAgentPipeIoTest, InputUpToSixtyFourKiBIsReadAndLargerIsRefused) {
  for (const size_t size : {size_t{1}, size_t{65536}, size_t{65537}}) {
    PipePair pipes = MakePipePair();
    std::vector<uint8_t> input(size, 12);
    bool written = false;
    std::thread host([&] {
      written = WritePipeMessage(pipes.host.Get(), static_cast<uint8_t>(PipeMessageType::Input), input, {}, nullptr,
                                 3000);
    });
    uint8_t type = 0;
    std::vector<uint8_t> body;
    const bool read = ReadLockAgentMessage(pipes.agent.Get(), type, body, nullptr);
    if (!read) pipes.agent.Reset();  // a refused header leaves the rest unread: let the writer end
    host.join();
    if (size <= kLockAgentInputLimit) {
      EXPECT_TRUE(read) << size;
      EXPECT_TRUE(written) << size;
      EXPECT_EQ(type, static_cast<uint8_t>(PipeMessageType::Input));
      EXPECT_EQ(body.size(), size);
    } else {
      EXPECT_FALSE(read) << size;
      EXPECT_TRUE(body.empty());
    }
  }
}

}  // namespace
}  // namespace kelm::service
