// AskServiceToInstall against pipe servers of the test's own, which speak the framing
// with plain blocking ReadFile/WriteFile (no code shared with the client).
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/text.h"
#include "core/win_handle.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
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

bool ReadAll(HANDLE pipe, void* data, DWORD size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, p, size, &got, nullptr) || got == 0) return false;
    p += got;
    size -= got;
  }
  return true;
}

void WriteMessage(HANDLE pipe, uint8_t type, const std::string& body) {
  const uint32_t length = static_cast<uint32_t>(body.size() + 1);
  std::string bytes(reinterpret_cast<const char*>(&length), 4);
  bytes += static_cast<char>(type);
  bytes += body;
  DWORD written = 0;
  WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(pipe);
}

// One pipe instance served once on its own thread: `owner` "SY" makes LocalSystem its
// owner, empty leaves the default descriptor (an impostor's pipe).
class TestPipeServer {
 public:
  struct Seen {
    uint8_t type = 0;
    std::string body;
    bool gotRequest = false;
    DWORD bytesBeforeClose = 0;
  };
  using Behaviour = std::function<void(HANDLE pipe, Seen& seen)>;

  TestPipeServer(const std::wstring& name, bool systemOwned, Behaviour behaviour) : name_(name) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (systemOwned) {
      ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                           nullptr);
      attributes.lpSecurityDescriptor = descriptor;
    }
    pipe_.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                 systemOwned ? &attributes : nullptr));
    if (descriptor != nullptr) LocalFree(descriptor);
    thread_ = std::thread([this, behaviour] {
      if (!ConnectNamedPipe(pipe_.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      behaviour(pipe_.Get(), seen_);
    });
  }
  ~TestPipeServer() {
    if (thread_.joinable()) thread_.join();
  }
  bool Ok() const { return static_cast<bool>(pipe_); }
  const Seen& Result() {
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

  // Reads one request; false when the client sent none.
  static bool ReadRequest(HANDLE pipe, Seen& seen) {
    uint8_t header[5];
    if (!ReadAll(pipe, header, 5)) return false;
    uint32_t length = 0;
    memcpy(&length, header, 4);
    seen.type = header[4];
    seen.body.resize(length - 1);
    seen.gotRequest = seen.body.empty() || ReadAll(pipe, seen.body.data(), length - 1);
    return seen.gotRequest;
  }
  // Waits until the client closes its end.
  static void WaitForClose(HANDLE pipe, Seen& seen) {
    char c;
    DWORD got = 0;
    while (ReadFile(pipe, &c, 1, &got, nullptr) && got != 0) seen.bytesBeforeClose += got;
  }

 private:
  std::wstring name_;
  WinHandle pipe_;
  Seen seen_;
  std::thread thread_;
};

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
