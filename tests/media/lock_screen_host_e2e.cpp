// The real tavro.exe --console with the fake lock agent as a program of its own and this
// program as the device, in a Wine prefix of its own (it sets the prefix-wide lock value):
// lock, the lock screen's frames, unlock, the desktop stream again. Run only through the
// native decoder check, which decodes the lock stream it writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/console_host.h"
#include "device_recorder.h"
#include "media/session_lock.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/lock_state.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;
using test::CountType;
using test::NthOfType;
using test::Record;

constexpr uint8_t kVideoFrame = 4, kVideoFormat = 5, kCursorPosition = 7, kBye = 40;

uint16_t TestPort() { return static_cast<uint16_t>(35000 + GetCurrentProcessId() % 2000); }


TEST(LockScreenHost, LockShowsTheAgentsScreenAndUnlockTheDesktop) {
  ASSERT_TRUE(test::SetPrefixLocked(false));
  test::TempDir dir;
  test::ChildProcess agent;
  ASSERT_TRUE(agent.Start(L"\"" + test::SiblingExe(L"fake_lock_agent.exe") + L"\" --session " +
                              std::to_wstring(OwnSessionId()),
                          dir.File(L"agent.txt")));
  ASSERT_TRUE(agent.WaitForOutput("ready")) << agent.Output();

  const uint16_t port = TestPort();
  test::ChildProcess host;
  ASSERT_TRUE(host.Start(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                             dir.File(L"profile") + L"\" --pin 012345 --no-adb --no-driver --no-discovery --port " +
                             std::to_wstring(port),
                         dir.File(L"host.txt")));
  ASSERT_TRUE(host.WaitForOutput("Press Ctrl+C to quit.")) << host.Output();

  auto stream = test::ConnectTcp("127.0.0.1", port);
  ASSERT_TRUE(stream);
  test::DeviceClient client(*stream);
  test::DeviceIdentity identity;
  test::HandshakeOptions options;
  options.pairing = test::PairingCode{0, 0, "012345"};
  ASSERT_EQ(client.Handshake(identity, options).admissionResult, 0) << host.Output();
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.panelWidth = 1280;
  hello.panelHeight = 800;
  hello.fps = 30;
  ASSERT_TRUE(client.SendRecord(1, test::BuildHello(hello)));
  uint8_t type = 0;
  Bytes welcome;
  ASSERT_TRUE(client.ReadRecord(type, welcome));
  ASSERT_TRUE(type == 2 && welcome.size() > 6 && welcome[6] == 0) << host.Output();

  std::mutex sendMutex;
  test::DeviceRecorder recorder([&](uint8_t& t, Bytes& p) { return client.ReadRecord(t, p); },
                                [&](uint8_t t, const Bytes& p) {
                                  std::lock_guard lock(sendMutex);
                                  return client.SendRecord(t, p);
                                });
  const auto framesAfter = [&](size_t format, size_t frames) {
    return [=](const std::vector<Record>& all) {
      const size_t at = NthOfType(all, kVideoFormat, format);
      return at < all.size() && CountType(all, kVideoFrame, at) >= frames;
    };
  };
  ASSERT_TRUE(recorder.WaitFor(framesAfter(1, 1), 60000)) << host.Output();

  ASSERT_TRUE(test::SetPrefixLocked(true));
  EXPECT_TRUE(host.WaitForOutput("] the PC is locked", 5000)) << host.Output();
  EXPECT_TRUE(host.WaitForOutput("] showing the lock screen", 5000)) << host.Output();
  EXPECT_TRUE(agent.WaitForOutput("connected", 5000)) << agent.Output();
  ASSERT_TRUE(recorder.WaitFor(framesAfter(2, 15), 60000)) << host.Output();

  ASSERT_TRUE(test::SetPrefixLocked(false));
  EXPECT_TRUE(host.WaitForOutput("] the PC was unlocked", 5000)) << host.Output();
  EXPECT_TRUE(recorder.WaitFor(framesAfter(3, 1), 60000)) << host.Output();
  {
    std::lock_guard lock(sendMutex);
    client.SendRecord(kBye, {});
  }
  recorder.Join();

  if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ConsoleStopEventName(host.Id()).c_str())) {
    SetEvent(stop);
    CloseHandle(stop);
  }
  uint32_t code = 0;
  EXPECT_TRUE(host.Wait(20000, code)) << host.Output();
  EXPECT_EQ(code, 0u);

  const auto all = recorder.All();
  const size_t lockFormat = NthOfType(all, kVideoFormat, 2);
  ASSERT_LT(lockFormat + 1, all.size());
  EXPECT_EQ(all[lockFormat].payload, test::VideoFormatBytes(1280, 720, 0, 1920, 1080));
  EXPECT_EQ(all[lockFormat + 1].type, kCursorPosition);
  // The desktop stream again, as before the lock.
  EXPECT_EQ(all[NthOfType(all, kVideoFormat, 3)].payload, all[NthOfType(all, kVideoFormat, 1)].payload);
  EXPECT_TRUE(test::WriteAnnexBStretch(all, lockFormat, dir.File(L"lock.h264")));
  const std::string log = host.Output();
  for (const char* line : {"] the PC is locked", "] showing the lock screen", "] streaming the lock screen 1280x720 (source 1920x1080)",
                           "] the PC was unlocked"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace kelm
