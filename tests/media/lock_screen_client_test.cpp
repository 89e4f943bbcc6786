// The lock-screen pipe client against real pipes: the trust check, the bytes of an input
// message, frames through the reader, and Close against silent or racing peers.
#include "media/lock_screen_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "media/pipe_message.h"
#include "media/session_lock.h"
#include "support/fake_lock_agent.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_pipe.h"
#include "support/wait_until.h"

namespace kelm::lockscreen {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

LockScreenClient::Options NamedClient(const std::wstring& name) {
  LockScreenClient::Options options;
  options.pipeName = name;
  return options;
}

std::vector<uint8_t> FrameMessage(uint32_t width, uint32_t height, size_t pixelBytes, uint8_t fill) {
  const uint32_t length = static_cast<uint32_t>(1 + 8 + pixelBytes);
  std::vector<uint8_t> m(5 + 8 + pixelBytes, fill);
  std::memcpy(m.data(), &length, 4);
  m[4] = 1;
  std::memcpy(m.data() + 5, &width, 4);
  std::memcpy(m.data() + 9, &height, 4);
  return m;
}

TEST(LockScreenClientTest, PipeNameCarriesTheSession) {
  EXPECT_EQ(LockScreenPipeName(1), L"\\\\.\\pipe\\tavro.LockScreen.1");
  EXPECT_EQ(LockScreenPipeName(4294967295u), L"\\\\.\\pipe\\tavro.LockScreen.4294967295");
}

TEST(LockScreenClientTest, SendInputWritesOneTypeTwoMessage) {
  const std::wstring name = test::UniqueTestPipeName();
  WinHandle server = test::CreateLockPipeServer(name, true);
  ASSERT_TRUE(server);
  LockScreenClient client(NamedClient(name));
  ASSERT_EQ(client.Connect(), LockScreenClient::ConnectResult::Connected);
  const uint8_t text[5] = {'h', 'e', 'l', 'l', 'o'};
  client.SendInput(13, text, sizeof text);
  client.SendInput(12, nullptr, 0);
  EXPECT_EQ(test::RawPipeReadSome(server.Get(), 11),
            (std::vector<uint8_t>{0x07, 0x00, 0x00, 0x00, 0x02, 0x0D, 'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(test::RawPipeReadSome(server.Get(), 6), (std::vector<uint8_t>{0x02, 0x00, 0x00, 0x00, 0x02, 0x0C}));
  client.Close();
  EXPECT_FALSE(client.Connected());
  // Dropped while closed: the server sees only the end of the pipe.
  client.SendInput(13, text, sizeof text);
  EXPECT_TRUE(test::RawPipeReadSome(server.Get(), 1).empty());
}

TEST(LockScreenClientTest, IgnoredFramesLeaveThePipeOpenAndTheNextGoodOneIsTaken) {
  const std::wstring name = test::UniqueTestPipeName();
  WinHandle server = test::CreateLockPipeServer(name, true);
  ASSERT_TRUE(server);
  LockScreenClient client(NamedClient(name));
  ASSERT_EQ(client.Connect(), LockScreenClient::ConnectResult::Connected);
  std::vector<uint8_t> bad;
  for (const auto& m : {FrameMessage(100, 100, 100 * 100 * 4 + 1, 1), FrameMessage(8193, 1, 8193 * 4, 2),
                        FrameMessage(100, 0, 0, 3), FrameMessage(0x40000000, 4, 0, 4)}) {
    bad.insert(bad.end(), m.begin(), m.end());
  }
  const std::vector<uint8_t> shortBody{4, 0, 0, 0, 1, 9, 9, 9};  // a 3-byte type 1 body
  bad.insert(bad.end(), shortBody.begin(), shortBody.end());
  const std::vector<uint8_t> otherType{3, 0, 0, 0, 7, 1, 2};  // not a frame at all
  bad.insert(bad.end(), otherType.begin(), otherType.end());
  ASSERT_TRUE(test::RawPipeWrite(server.Get(), bad));
  Sleep(100);
  std::vector<uint8_t> pixels;
  uint32_t width = 0, height = 0;
  EXPECT_FALSE(client.TakeFrame(pixels, width, height));
  EXPECT_TRUE(client.Connected());

  ASSERT_TRUE(test::RawPipeWrite(server.Get(), FrameMessage(100, 100, 100 * 100 * 4, 0x77)));
  ASSERT_TRUE(test::WaitUntil([&] { return client.TakeFrame(pixels, width, height); }));
  EXPECT_EQ(width, 100u);
  EXPECT_EQ(height, 100u);
  ASSERT_EQ(pixels.size(), 8u + 100 * 100 * 4);
  EXPECT_EQ(std::vector<uint8_t>(pixels.begin(), pixels.begin() + 8), (std::vector<uint8_t>{100, 0, 0, 0, 100, 0, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 8, pixels.end()), std::vector<uint8_t>(100 * 100 * 4, 0x77));
  EXPECT_FALSE(client.TakeFrame(pixels, width, height)) << "a frame is taken once";

  // A header the framing refuses ends the reader.
  ASSERT_TRUE(test::RawPipeWrite(server.Get(), std::vector<uint8_t>{0x0A, 0, 0, 0x10, 1}));
  EXPECT_TRUE(test::WaitUntil([&] { return !client.Connected(); }, 2000ms));
}

TEST(LockScreenClientTest, NoPipeIsNotAnError) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"none.log"));
  LockScreenClient client(NamedClient(test::UniqueTestPipeName()));
  EXPECT_EQ(client.Connect(), LockScreenClient::ConnectResult::NoPipe);
  EXPECT_TRUE(log.Text().empty());
}

// Connects, retrying while the agent has not yet taken its pipe back after the last host.
bool ConnectSoon(LockScreenClient& client) {
  return test::WaitUntil([&] { return client.Connect() == LockScreenClient::ConnectResult::Connected; }, 5000ms);
}

TEST(LockScreenClientTest, CloseWithASilentServerReturnsAtOnce) {
  test::FakeLockAgent agent;
  test::FakeLockAgent::Options options;
  options.pipeName = test::UniqueTestPipeName();
  options.silent = true;
  ASSERT_TRUE(agent.Start(options));
  LockScreenClient client(NamedClient(options.pipeName));
  std::mt19937 random(32);
  std::uniform_int_distribution<int> delayMs(0, 5);
  Clock::duration worst{};
  for (int round = 0; round < 500; ++round) {
    ASSERT_TRUE(ConnectSoon(client)) << "round " << round;
    Sleep(static_cast<DWORD>(delayMs(random)));
    const auto start = Clock::now();
    client.Close();
    worst = std::max(worst, Clock::now() - start);
    ASSERT_LT(Clock::now() - start, 200ms) << "round " << round;
  }
  std::printf("slowest Close: %lld us\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(worst).count()));
}

TEST(LockScreenClientTest, CloseEndsAWriteToAnAgentThatStoppedReading) {
  test::FakeLockAgent agent;
  test::FakeLockAgent::Options options;
  options.pipeName = test::UniqueTestPipeName();
  options.silent = true;
  options.reading = false;
  ASSERT_TRUE(agent.Start(options));
  auto client = std::make_shared<LockScreenClient>(NamedClient(options.pipeName));
  ASSERT_EQ(client->Connect(), LockScreenClient::ConnectResult::Connected);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    const std::vector<uint8_t> payload(4000, 0x41);
    while (sending) client->SendInput(13, payload.data(), payload.size());
  });
  Sleep(300);  // long enough to fill the agent's 64 KiB
  const auto start = Clock::now();
  client->Close();
  EXPECT_LT(Clock::now() - start, 200ms);
  sending = false;
  sender.join();
}

// Eight threads write input while a ninth connects and closes: every message an agent
// receives is whole, and none was sent after the Close that ended its connection.
TEST(LockScreenClientTest, InputRacingConnectAndCloseArrivesWholeAndInItsConnection) {
  test::FakeLockAgent agent;
  test::FakeLockAgent::Options options;
  options.pipeName = test::UniqueTestPipeName();
  options.silent = true;
  ASSERT_TRUE(agent.Start(options));
  LockScreenClient client(NamedClient(options.pipeName));
  std::atomic<int> closesDone{0};
  std::atomic<bool> sending{true};
  std::vector<std::thread> senders;
  for (int t = 0; t < 8; ++t) {
    senders.emplace_back([&, t] {
      uint32_t n = 0;
      while (sending) {
        // payload: sender, running number, and the Closes finished before this call.
        uint8_t payload[12];
        const uint32_t stamp = static_cast<uint32_t>(closesDone.load());
        const uint32_t sender = static_cast<uint32_t>(t);
        std::memcpy(payload, &sender, 4);
        std::memcpy(payload + 4, &n, 4);
        std::memcpy(payload + 8, &stamp, 4);
        client.SendInput(12, payload, sizeof payload);
        ++n;
        std::this_thread::yield();
      }
    });
  }
  for (int round = 1; round <= 1000; ++round) {
    ASSERT_TRUE(ConnectSoon(client)) << "round " << round;
    if (round % 3 == 0) Sleep(1);
    client.Close();
    closesDone = round;
  }
  sending = false;
  for (std::thread& t : senders) t.join();
  // The agent reads what was written before the last Close.
  Sleep(200);
  const auto inputs = agent.InputsByConnection();
  ASSERT_GT(inputs.size(), 100u) << "the senders hardly ever got through";
  EXPECT_TRUE(agent.OtherTypes().empty());
  for (const auto& input : inputs) {
    ASSERT_EQ(input.body.size(), 13u) << "a message arrived cut or mixed";
    ASSERT_EQ(input.body[0], 12);
    uint32_t sender = 0, stamp = 0;
    std::memcpy(&sender, input.body.data() + 1, 4);
    std::memcpy(&stamp, input.body.data() + 9, 4);
    ASSERT_LT(sender, 8u);
    // Sent after Close number `stamp` returned, so on a later connection only.
    ASSERT_LT(static_cast<int>(stamp), input.connection) << "a message arrived on a connection already closed";
  }
}

}  // namespace
}  // namespace kelm::lockscreen
