// Tests of the ICE stream that need no peer: configuration, refused offers, reads, writes
// and closing from other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connect/connect_stream.h"
#include "connect/ice_stream.h"
#include "connect/juice.h"

namespace tavro::connect {
namespace {

std::mutex g_logMu;
std::vector<std::pair<int, std::string>> g_log;

void CaptureLog(int level, const char* text) {
  std::lock_guard lock(g_logMu);
  g_log.emplace_back(level, text);
}

IceStream::Config LoopbackConfig(IceTestSettings& test) {
  test.loopbackOnly = true;
  IceStream::Config config;
  config.test = &test;
  return config;
}

TEST(IceStream, InvalidStunServerIsLoggedAndRefused) {
  SetIceLogCallback(CaptureLog);
  IceTestSettings test;
  auto config = LoopbackConfig(test);
  config.stunServer = "stun:host:0";
  EXPECT_EQ(IceStream::Create(config), nullptr);
  {
    std::lock_guard lock(g_logMu);
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log.back(), (std::pair<int, std::string>{3, "ICE: invalid STUN server 'stun:host:0'"}));
  }
  config.stunServer = "stun:127.0.0.1";
  EXPECT_NE(IceStream::Create(config), nullptr);
  config.stunServer = "[::1]:3478";
  EXPECT_NE(IceStream::Create(config), nullptr);
  SetIceLogCallback(nullptr);
}

TEST(IceStream, AddTurnServer) {
  auto t = IceStream::AddTurnServer("turn:127.0.0.1:3479?transport=udp", "user", "secret");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->host, "127.0.0.1");
  EXPECT_EQ(t->port, 3479);
  EXPECT_FALSE(IceStream::AddTurnServer("turn:127.0.0.1?transport=tcp", "user", "secret"));
  EXPECT_FALSE(IceStream::AddTurnServer("turns:127.0.0.1", "user", "secret"));
  EXPECT_FALSE(IceStream::AddTurnServer("turn:127.0.0.1", "", "secret"));
  EXPECT_FALSE(IceStream::AddTurnServer("turn:127.0.0.1", "user", std::string(513, 'x')));
}

TEST(IceStream, BadOffersGetNoAnswer) {
  IceTestSettings test;
  const std::string good = "a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n";
  std::string withNul = good;
  withNul[3] = '\0';
  std::string tooLong = good + std::string(4097 - good.size(), 'x');
  for (const std::string& offer : {std::string(), withNul, tooLong, std::string("a=ice-ufrag:abcd\r\n")}) {
    auto stream = IceStream::Create(LoopbackConfig(test));
    ASSERT_TRUE(stream);
    EXPECT_FALSE(stream->Answer(offer, 1000)) << offer.size();
  }
  auto stream = IceStream::Create(LoopbackConfig(test));
  auto answer = stream->Answer(good, 1000);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->find("a=ice-ufrag:"), std::string::npos);
  EXPECT_NE(answer->find(" 127.0.0.1 "), std::string::npos);
  EXPECT_NE(answer->find("a=end-of-candidates"), std::string::npos);
}

TEST(IceStream, LocalDescriptionIsRefusedRatherThanCut) {
  IceTestSettings test;
  test.loopbackOnly = true;
  juice_config_t config;
  config.test = &test;
  juice_agent_t* agent = juice_create(&config);
  ASSERT_NE(agent, nullptr);
  ASSERT_EQ(juice_gather_candidates(agent), JUICE_ERR_SUCCESS);
  char small[40];
  std::memset(small, 'z', sizeof small);
  EXPECT_EQ(juice_get_local_description(agent, small, sizeof small), JUICE_ERR_TOO_SMALL);
  EXPECT_EQ(small[0], 'z');
  char big[4096];
  EXPECT_EQ(juice_get_local_description(agent, big, sizeof big), JUICE_ERR_SUCCESS);
  juice_destroy(agent);
}

// A PC with many network adapters announces one candidate per address; once the answer
// would no longer fit its 4096 bytes, no answer is given (never one cut short), at once.
TEST(IceStream, AnswerThatWouldExceedItsLimitIsNotGiven) {
  const std::string offer = "a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n";
  auto answerWith = [&](int adapters) {
    IceTestSettings test;
    for (int i = 0; i < adapters; ++i) {
      test.extraHostAddresses.push_back("10.77." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250));
    }
    auto stream = IceStream::Create(LoopbackConfig(test));
    EXPECT_TRUE(stream);
    auto start = std::chrono::steady_clock::now();
    auto answer = stream ? stream->Answer(offer, 5000) : std::nullopt;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << adapters;
    if (stream) EXPECT_FALSE(stream->WaitConnected(0));
    return answer;
  };
  // A few adapters: every address is in the answer, so the size is what decides below.
  auto small = answerWith(5);
  ASSERT_TRUE(small);
  EXPECT_NE(small->find(" 10.77.0.5 "), std::string::npos);
  EXPECT_LT(small->size(), 4096u);
  // The answer grows by one line per adapter: 100 lines are well past 4096 bytes.
  auto fewer = answerWith(4);
  ASSERT_TRUE(fewer);
  ASSERT_GT(small->size(), fewer->size());
  ASSERT_GT((small->size() - fewer->size()) * 100, 4096u);
  EXPECT_FALSE(answerWith(100));
}

TEST(IceStream, ReadWriteAndCloseResults) {
  IceTestSettings test;
  auto stream = IceStream::Create(LoopbackConfig(test));
  ASSERT_TRUE(stream);
  char buf[16];
  EXPECT_EQ(stream->Read(buf, 0, 0), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stream->Read(buf, sizeof buf, 0), -1);
  EXPECT_EQ(stream->Read(buf, sizeof buf, 50), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(stream->Write(buf, 0));
  EXPECT_FALSE(stream->WaitConnected(50));
  stream->Close();
  stream->Close();
  EXPECT_EQ(stream->Read(buf, sizeof buf, -1), 0);
  EXPECT_FALSE(stream->Write("x", 1));
  EXPECT_FALSE(stream->WaitConnected(5000));
}

TEST(IceStream, ConnectStreamReadExact) {
  IceTestSettings test;
  kelm::ConnectStream cs(IceStream::Create(LoopbackConfig(test)));
  char buf[8];
  EXPECT_TRUE(cs.ReadExact(buf, 0));
  cs.SetReadTimeout(100);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(cs.ReadExact(buf, sizeof buf));  // times out
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  cs.SetReadTimeout(0);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cs.Shutdown();
  });
  EXPECT_FALSE(cs.ReadExact(buf, sizeof buf));  // no limit: only the shutdown ends it
  closer.join();
  EXPECT_FALSE(cs.Write("x", 1));
}

TEST(IceStream, WritersReaderAndCloseFromAnotherThread) {
  std::mt19937 rng(17);
  for (int round = 0; round < 200; ++round) {
    IceTestSettings test;
    auto stream = IceStream::Create(LoopbackConfig(test));
    ASSERT_TRUE(stream);
    IceStream* s = stream.get();
    std::vector<std::future<bool>> tasks;
    std::vector<uint8_t> data(256 * 1024, 0x5a);
    for (int w = 0; w < 8; ++w) {
      // Nothing is connected, so the send queue fills and the writers wait for the close.
      tasks.push_back(std::async(std::launch::async, [s, &data] {
        for (int i = 0; i < 40; ++i) {
          if (!s->Write(data.data(), data.size())) return true;
        }
        return true;
      }));
    }
    tasks.push_back(std::async(std::launch::async, [s] {
      char buf[4096];
      while (s->Read(buf, sizeof buf, -1) > 0) {
      }
      return true;
    }));
    int delayMs = static_cast<int>(rng() % 6);
    tasks.push_back(std::async(std::launch::async, [s, delayMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      s->Close();
      return true;
    }));
    for (auto& t : tasks) {
      ASSERT_EQ(t.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "round " << round;
      EXPECT_TRUE(t.get());
    }
    auto start = std::chrono::steady_clock::now();
    stream.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

}  // namespace
}  // namespace tavro::connect
