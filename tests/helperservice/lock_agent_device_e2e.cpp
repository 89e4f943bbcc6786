// The lock agent with a device: the installed tavro.exe --console (beside the service that
// lock_agent_e2e.py installed in this prefix) serves the device test client while the
// session counts as locked, so the picture and the input pass through the service's agent.
// Run only by lock_agent_e2e.py: TAVRO_LOCK_AGENT_HOST names the installed tavro.exe and
// TAVRO_LOCK_APP the fake lock app; it sets the prefix-wide lock value.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>

#include "core/clock.h"
#include "core/console_host.h"
#include "core/win_handle.h"
#include "media/bars_window.h"
#include "media/device_recorder.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/input_payloads.h"
#include "support/lock_state.h"
#include "support/input_target_window.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;
using test::CountType;
using test::NthOfType;
using test::Record;

constexpr uint8_t kVideoFrame = 4, kVideoFormat = 5, kTouch = 11, kKey = 12, kText = 13, kPing = 30, kPong = 31,
                  kBye = 40;
constexpr uint32_t kLongWaitMs = 30000;

uint16_t TestPort() { return static_cast<uint16_t>(37000 + GetCurrentProcessId() % 2000); }

std::wstring Env(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
  return n > 0 && n < std::size(value) ? std::wstring(value, n) : std::wstring();
}


// The pid of the newest lock agent the service logged, 0 when none.
uint32_t NewestAgentPid() {
  std::ifstream file(std::filesystem::path(Env(L"ProgramData") + L"\\tavro\\service.log"), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  const std::string log = text.str();
  static const std::regex started(R"(lock agent started \(pid (\d+)\))");
  uint32_t pid = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), started); it != std::sregex_iterator(); ++it) {
    pid = static_cast<uint32_t>(std::stoul((*it)[1].str()));
  }
  return pid;
}

// VideoFrame messages that arrived in [fromMs, toMs).
size_t FramesBetween(const std::vector<Record>& all, uint64_t fromMs, uint64_t toMs) {
  size_t n = 0;
  for (const Record& r : all) n += r.type == kVideoFrame && r.ms >= fromMs && r.ms < toMs ? 1 : 0;
  return n;
}

// Lines of the test window's output that report input (mouse or text).
std::string InputLines(const std::string& out) {
  std::string kept;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("mouse ") || line.starts_with("text ")) kept += line + "\n";
  }
  return kept;
}

// The foreground window's process and title, for failure messages.
std::string ForegroundText() {
  const HWND window = GetForegroundWindow();
  DWORD pid = 0;
  if (window != nullptr) GetWindowThreadProcessId(window, &pid);
  char title[128] = {};
  if (window != nullptr) GetWindowTextA(window, title, sizeof title);
  return "pid " + std::to_string(pid) + " '" + title + "'";
}

bool ProcessHolder(const std::wstring& verb, uint32_t pid) {
  const auto r = test::RunProcess(L"\"" + test::SiblingExe(L"process_holder.exe") + L"\" " + verb + L" " +
                                  std::to_wstring(pid));
  return r.started && r.exitCode == 0;
}

class LockAgentDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::SetPrefixLocked(false));
    ASSERT_FALSE(Env(L"TAVRO_LOCK_AGENT_HOST").empty()) << "run through lock_agent_e2e.py";
  }
  void TearDown() override {
    EXPECT_TRUE(test::SetPrefixLocked(false));
    if (recorder_) {
      Send(kBye, {});
      stream_->Shutdown();
      recorder_->Join();
    }
    if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ConsoleStopEventName(host_.Id()).c_str())) {
      SetEvent(stop);
      CloseHandle(stop);
    }
    uint32_t code = 0;
    EXPECT_TRUE(host_.Wait(20000, code)) << host_.Output();
  }

  // The installed host and a device paired to it, showing the desktop stream.
  void StartHostAndDevice() {
    ASSERT_TRUE(host_.Start(L"\"" + Env(L"TAVRO_LOCK_AGENT_HOST") + L"\" --console --profile \"" +
                                dir_.File(L"profile") + L"\" --pin 012345 --no-adb --no-driver --no-discovery --port " +
                                std::to_wstring(port_),
                            dir_.File(L"host.txt")));
    ASSERT_TRUE(host_.WaitForOutput("Press Ctrl+C to quit.")) << host_.Output();
    stream_ = test::ConnectTcp("127.0.0.1", port_);
    ASSERT_TRUE(stream_);
    client_ = std::make_unique<test::DeviceClient>(*stream_);
    test::DeviceIdentity identity;
    test::HandshakeOptions options;
    options.pairing = test::PairingCode{0, 0, "012345"};
    ASSERT_EQ(client_->Handshake(identity, options).admissionResult, 0) << host_.Output();
    test::HelloFields hello;
    hello.displayMode = 1;
    hello.panelWidth = 1280;
    hello.panelHeight = 800;
    hello.fps = 30;
    ASSERT_TRUE(client_->SendRecord(1, test::BuildHello(hello)));
    uint8_t type = 0;
    Bytes welcome;
    ASSERT_TRUE(client_->ReadRecord(type, welcome));
    ASSERT_TRUE(type == 2 && welcome.size() > 6 && welcome[6] == 0) << host_.Output();
    recorder_ = std::make_unique<test::DeviceRecorder>([this](uint8_t& t, Bytes& p) { return client_->ReadRecord(t, p); },
                                                       [this](uint8_t t, const Bytes& p) { return Send(t, p); });
    ASSERT_TRUE(recorder_->WaitFor(FramesAfter(1, 1), kLongWaitMs)) << host_.Output();
  }

  // Locks the session and waits for `frames` frames of the lock screen stream.
  void LockAndWaitForFrames(size_t frames) {
    ASSERT_TRUE(test::SetPrefixLocked(true));
    ASSERT_TRUE(recorder_->WaitFor(FramesAfter(2, frames), kLongWaitMs)) << host_.Output();
  }

  bool Send(uint8_t type, const Bytes& payload) {
    std::lock_guard lock(sendMutex_);
    return client_->SendRecord(type, payload);
  }
  // A ping answered: the session handled everything sent before it.
  bool RoundTrip() {
    const Bytes ping{++pings_, 0xA5, 0, 0, 0, 0, 0, 0};
    if (!Send(kPing, ping)) return false;
    return recorder_->WaitFor(
        [&](const std::vector<Record>& all) {
          for (const Record& r : all) {
            if (r.type == kPong && r.payload.size() >= 2 && r.payload[0] == ping[0] && r.payload[1] == 0xA5) return true;
          }
          return false;
        },
        5000);
  }

  static std::function<bool(const std::vector<Record>&)> FramesAfter(size_t format, size_t frames) {
    return [=](const std::vector<Record>& all) {
      const size_t at = NthOfType(all, kVideoFormat, format);
      return at < all.size() && CountType(all, kVideoFrame, at) >= frames;
    };
  }

  test::TempDir dir_;
  uint16_t port_ = TestPort();
  test::ChildProcess host_;
  std::unique_ptr<test::TestTcpStream> stream_;
  std::unique_ptr<test::DeviceClient> client_;
  std::mutex sendMutex_;
  std::unique_ptr<test::DeviceRecorder> recorder_;
  uint8_t pings_ = 0;
};

TEST_F(LockAgentDevice, TheLockedScreenReachesTheDeviceAtMostTwentyTimesASecond) {
  test::BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  StartHostAndDevice();
  LockAndWaitForFrames(5);
  auto all = recorder_->All();
  const size_t lockFormat = NthOfType(all, kVideoFormat, 2);
  EXPECT_EQ(all[lockFormat].payload, test::VideoFormatBytes(1280, 720, 0, 1920, 1080));

  // Constant change: the agent sends at most one frame per 50 ms. Under Wine its GDI
  // capture and texture copies share the CPU with the host's software encoder (61 to 65
  // frames in 5 s on a loaded machine), so only half the rate is required here.
  const uint64_t from = NowMicros() / 1000;
  Sleep(5000);
  const size_t changing = FramesBetween(recorder_->All(), from, from + 5000);
  std::printf("lock screen frames in 5 s of constant change: %zu\n", changing);
  EXPECT_GE(changing, 40u);
  EXPECT_LE(changing, 100u);

  // A still screen: at most a few frames once what was in flight has arrived.
  ASSERT_TRUE(bars.Still());
  Sleep(1000);
  const uint64_t stillFrom = NowMicros() / 1000;
  Sleep(3000);
  const size_t still = FramesBetween(recorder_->All(), stillFrom, stillFrom + 3000);
  std::printf("lock screen frames in 3 s of a still screen: %zu\n", still);
  EXPECT_LE(still, 3u);

  ASSERT_TRUE(test::SetPrefixLocked(false));
  EXPECT_TRUE(recorder_->WaitFor(FramesAfter(3, 1), kLongWaitMs)) << host_.Output();
  all = recorder_->All();
  EXPECT_TRUE(test::WriteAnnexBStretch(all, NthOfType(all, kVideoFormat, 2), dir_.File(L"lock.h264")));
}

TEST_F(LockAgentDevice, InputReachesTheLockAppInFrontAndNothingElse) {
  test::InputTargetWindow lockApp;
  ASSERT_TRUE(lockApp.Start(Env(L"TAVRO_LOCK_APP"))) << lockApp.Output();
  StartHostAndDevice();
  LockAndWaitForFrames(1);
  // The lock stream runs, so the host holds the agent's pipe; its input thread reads.
  const LONG cx = (lockApp.edit.left + lockApp.edit.right) / 2, cy = (lockApp.edit.top + lockApp.edit.bottom) / 2;
  const float x = (static_cast<float>(cx) + 0.5f) / 1920.0f, y = (static_cast<float>(cy) + 0.5f) / 1080.0f;
  ASSERT_TRUE(Send(kTouch, test::TouchPayload({{1, 0, x, y}})));
  ASSERT_TRUE(Send(kTouch, test::TouchPayload({})));
  ASSERT_TRUE(lockApp.WaitLine("focus edit", 10000)) << lockApp.Output() << host_.Output();
  long downX = -1, downY = -1;
  const std::string out = lockApp.Output();
  const size_t down = out.find("mouse ldown ");
  ASSERT_NE(down, std::string::npos) << out;
  ASSERT_EQ(std::sscanf(out.c_str() + down, "mouse ldown %ld %ld", &downX, &downY), 2);
  EXPECT_LE(std::abs(downX - cx), 2) << out;
  EXPECT_LE(std::abs(downY - cy), 2) << out;

  // Wine sets its key state from the X server's after a focus change; a Shift injected
  // before that has been read would be undone by it.
  Sleep(500);
  ASSERT_TRUE(Send(kKey, test::KeyPayload(VK_SHIFT, true, false)));
  ASSERT_TRUE(Send(kKey, test::KeyPayload('B', true, false)));
  ASSERT_TRUE(Send(kKey, test::KeyPayload('B', false, false)));
  ASSERT_TRUE(Send(kKey, test::KeyPayload(VK_SHIFT, false, false)));
  ASSERT_TRUE(Send(kText, test::TextPayload("c\xC3\xA9\xF0\x9F\x98\x80")));  // "cé😀"
  EXPECT_TRUE(lockApp.WaitLine("text edit 4263c3a9f09f9880", 10000))
      << lockApp.Output() << "foreground: " << ForegroundText() << "\n" << host_.Output();

  // Another window in front: the agent injects nothing, neither there nor into the lock app.
  test::InputTargetWindow other;
  ASSERT_TRUE(other.Start()) << other.Output();
  Sleep(500);  // past the agent's front-window check interval
  const std::string lockBefore = InputLines(lockApp.Output()), otherBefore = InputLines(other.Output());
  ASSERT_TRUE(Send(kTouch, test::TouchPayload({{1, 0, 0.5f, 0.5f}})));
  ASSERT_TRUE(Send(kTouch, test::TouchPayload({})));
  ASSERT_TRUE(Send(kText, test::TextPayload("zz")));
  ASSERT_TRUE(RoundTrip()) << host_.Output();
  Sleep(1000);
  EXPECT_EQ(InputLines(lockApp.Output()), lockBefore);
  EXPECT_EQ(InputLines(other.Output()), otherBefore);
}

TEST_F(LockAgentDevice, AnAgentWhoseHostStopsReadingEndsSoonAfterTheUnlock) {
  test::BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  StartHostAndDevice();
  LockAndWaitForFrames(10);
  const uint32_t agentPid = NewestAgentPid();
  ASSERT_NE(agentPid, 0u);
  WinHandle agent(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agentPid));
  ASSERT_TRUE(agent);
  ASSERT_TRUE(ProcessHolder(L"suspend", host_.Id()));
  Sleep(1500);  // the pipe's buffer fills and a frame write waits
  EXPECT_EQ(WaitForSingleObject(agent.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(test::SetPrefixLocked(false));
  const uint64_t cleared = NowMicros() / 1000;
  const DWORD waited = WaitForSingleObject(agent.Get(), 5000);
  const uint64_t took = NowMicros() / 1000 - cleared;
  EXPECT_TRUE(ProcessHolder(L"resume", host_.Id()));
  ASSERT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
  std::printf("agent exit after the unlock with its host suspended: %llu ms\n", static_cast<unsigned long long>(took));
  EXPECT_LE(took, 3000u);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(agent.Get(), &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace kelm
