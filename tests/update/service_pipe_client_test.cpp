// AskServiceToInstall against pipe servers of the test's own, which speak the framing
// with plain blocking ReadFile/WriteFile (no code shared with the client).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/text.h"
#include "core/win_handle.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "update/test_pipe_server.h"
#include "update/service_pipe_client.h"

namespace kelm::test {
namespace {

using namespace std::chrono_literals;
using update::ServiceRequestResult;
using Clock = std::chrono::steady_clock;

std::wstring UniquePipeName() {
  static std::atomic<int> next{0};
  return L"\\\\.\\pipe\\tavro.test.service." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(next++);
}

update::ServicePipeSettings Settings(const std::wstring& name, uint64_t waitMs = 120000,
                                     const std::atomic<bool>* stop = nullptr) {
  return {name, waitMs, stop};
}

TEST(ServicePipeClientTest, NoServiceIsResultThreeAtOnce) {
  std::string error;
  const auto start = Clock::now();
  EXPECT_EQ(update::AskServiceToInstall("stable", "1.2.0", error, Settings(UniquePipeName())),
            ServiceRequestResult::NoUsableService);
  EXPECT_LT(Clock::now() - start, 100ms);
}

TEST(ServicePipeClientTest, AnImpostorPipeNeverHearsTheRequest) {
  TempDir dir;
  LogCapture log(dir.File(L"host.log"));
  const std::wstring name = UniquePipeName();
  TestPipeServer server(name, false, [](HANDLE pipe, TestPipeServer::Seen& seen) {
    TestPipeServer::WaitForClose(pipe, seen);
  });
  ASSERT_TRUE(server.Ok());
  std::string error;
  EXPECT_EQ(update::AskServiceToInstall("stable", "1.2.0", error, Settings(name)),
            ServiceRequestResult::NoUsableService);
  EXPECT_EQ(server.Result().bytesBeforeClose, 0u);
  const std::string text = log.Text();
  const std::string line = "Update: ignoring " + WideToUtf8(name) + " (not created by the tavro service)";
  const size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find(line, at + 1), std::string::npos);
  EXPECT_NE(text.find("WARN"), std::string::npos);
}

struct ReplyCase {
  std::string reply;
  uint8_t type;
  ServiceRequestResult result;
  const char* error;
};

TEST(ServicePipeClientTest, TheServiceGetsOneRequestAndEveryReplyMapsToAResult) {
  using R = ServiceRequestResult;
  const ReplyCase cases[] = {
      {R"({"ok":true})", 4, R::Accepted, ""},
      {R"({"ok":false})", 4, R::Refused, "the service refused the update"},
      {R"({"ok":false,"error":"x","fallback":true})", 4, R::RefusedFallback, "x"},
      {R"({"ok":"yes"})", 4, R::NoUsableService, ""},
      {R"({"ok":false,"error":5})", 4, R::NoUsableService, ""},
      {R"({"ok":false,"fallback":"true"})", 4, R::NoUsableService, ""},
      {R"([{"ok":true}])", 4, R::NoUsableService, ""},
      {"not json", 4, R::NoUsableService, ""},
      {R"({"ok":true})", 3, R::NoUsableService, ""},
      {R"({"ok":true,"p":")" + std::string(1025 - 18, 'x') + "\"}", 4, R::NoUsableService, ""},
  };
  ASSERT_EQ(cases[9].reply.size(), 1025u);
  for (const auto& c : cases) {
    const std::wstring name = UniquePipeName();
    TestPipeServer server(name, true, [&](HANDLE pipe, TestPipeServer::Seen& seen) {
      if (TestPipeServer::ReadRequest(pipe, seen)) WriteMessage(pipe, c.type, c.reply);
      TestPipeServer::WaitForClose(pipe, seen);
    });
    ASSERT_TRUE(server.Ok());
    std::string error;
    EXPECT_EQ(update::AskServiceToInstall("stable", "1.2.0", error, Settings(name)), c.result) << c.reply;
    if (c.result == R::Refused || c.result == R::RefusedFallback) {
      EXPECT_EQ(error, c.error) << c.reply;
    }
    const auto& seen = server.Result();
    EXPECT_EQ(seen.type, 3u);
    EXPECT_EQ(seen.body, R"({"channel":"stable","version":"1.2.0"})");
    EXPECT_EQ(seen.bytesBeforeClose, 0u);
  }
}

TEST(ServicePipeClientTest, SilenceEndsAtTheWatchdogAndAStopSooner) {
  for (const bool stopEarly : {false, true}) {
    const std::wstring name = UniquePipeName();
    TestPipeServer server(name, true, [](HANDLE pipe, TestPipeServer::Seen& seen) {
      TestPipeServer::ReadRequest(pipe, seen);
      TestPipeServer::WaitForClose(pipe, seen);
    });
    ASSERT_TRUE(server.Ok());
    std::atomic<bool> stop{false};
    Clock::time_point stoppedAt = Clock::now() + 1h;
    std::thread stopper([&] {
      if (!stopEarly) return;
      std::this_thread::sleep_for(300ms);
      stoppedAt = Clock::now();
      stop = true;
    });
    std::string error;
    const auto start = Clock::now();
    EXPECT_EQ(update::AskServiceToInstall("stable", "1.2.0", error, Settings(name, stopEarly ? 60000 : 1500, &stop)),
              ServiceRequestResult::NoUsableService);
    const auto end = Clock::now();
    stopper.join();
    EXPECT_TRUE(server.Result().gotRequest);
    if (stopEarly) {
      EXPECT_LT(end - stoppedAt, 1s);
    } else {
      EXPECT_GE(end - start, 1450ms);
      EXPECT_LT(end - start, 3s);
    }
  }
}

}  // namespace
}  // namespace kelm::test
