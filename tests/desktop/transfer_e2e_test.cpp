// File transfer end to end: the host service in this process (and the real
// tavro.exe --console) with devices over loopback TCP, files checked on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "core/console_host.h"
#include "core/crypto.h"
#include "core/host_service.h"
#include "core/log.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "core/session.h"
#include "core/session_parts.h"
#include "core/text.h"
#include "desktop/file_transfer.h"
#include "media/virtual_display_driver.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/device_files.h"
#include "support/device_messages.h"
#include "support/log_capture.h"
#include "support/paired_device.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;
constexpr size_t kMiB = 1 << 20;

// Downloads\tavro is shared by every test of a run: names carry this process and time.
std::string Tag() {
  static int n = 0;
  return std::to_string(GetCurrentProcessId()) + "x" + std::to_string(GetTickCount64() % 100000000) + "x" +
         std::to_string(++n);
}

std::string RandomContent(size_t n, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = random();
    for (size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

Digest32 Hash(const std::string& s) { return Sha256({reinterpret_cast<const uint8_t*>(s.data()), s.size()}); }

// Removes the listed files at the end of a test, whatever happened.
struct Cleanup {
  std::vector<std::wstring> paths;
  ~Cleanup() {
    for (const auto& p : paths) {
      DeleteFileW(p.c_str());
      DeleteFileW((p + L".part").c_str());
    }
  }
};

using Device = test::PinPairedDevice;

class TransferEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    host.SetPinAlwaysValid(true);
    host.SetOnTransfer([this](const std::string& device, const TransferEvent& e) {
      {
        std::lock_guard lock(mutex);
        events.push_back({device, e});
      }
      cv.notify_all();
    });
    options.port = static_cast<uint16_t>(37000 + GetCurrentProcessId() % 2000);
    options.name = "XFER";
    options.pin = 123456;
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    ASSERT_TRUE(host.Start(options));
    ASSERT_TRUE(device.Connect(options.port, test::kTestPin));
    for (int i = 0; i < 200 && host.GetStatus().sessions.empty(); ++i) Sleep(25);
    ASSERT_EQ(host.GetStatus().sessions.size(), 1u);
  }
  void TearDown() override {
    host.Shutdown();
    SetProfileDir(L"");
  }
  bool WaitForEvents(size_t n) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return events.size() >= n; });
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  HostService host;
  HostOptions options;
  Device device;
  const std::wstring folder = TransferFolder();
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::string, TransferEvent>> events;
};

TEST_F(TransferEndToEndTest, FiveMiBFromTheDeviceArriveIdentical) {
  const std::string name = "e2e-" + Tag() + ".bin";
  const std::wstring path = folder + L"\\" + Utf8ToWide(name);
  Cleanup cleanup{{path}};
  const std::string content = RandomContent(5 * kMiB, 5);
  ASSERT_TRUE(test::SendFileFromDevice(*device.client, 1, name, content));
  std::vector<test::FileAckView> acks;
  const auto final = test::WaitForFinalAck(*device.client, 1, &acks);
  ASSERT_TRUE(final);
  EXPECT_EQ(final->count, content.size());
  EXPECT_EQ(final->flags, test::kAckFlagSaved);
  EXPECT_EQ(final->payloadSize, 13u);
  ASSERT_EQ(acks.size(), 81u);  // one every 64 KiB, then the final one
  for (size_t i = 0; i + 1 < acks.size(); ++i) EXPECT_EQ(acks[i].count, (i + 1) * 65536);

  ASSERT_TRUE(WaitForEvents(1));
  const auto [deviceName, e] = events[0];
  EXPECT_EQ(deviceName, "Hello tablet");
  EXPECT_EQ(e.result, 0u);
  EXPECT_EQ(e.direction, 1);
  EXPECT_EQ(e.name, name);
  EXPECT_EQ(e.path, path);
  EXPECT_EQ(e.size, content.size());
  EXPECT_EQ(Hash(test::ReadFileBytes(path)), Hash(content));
  EXPECT_FALSE(test::FileExists(path + L".part"));
  EXPECT_EQ(host.GetStatus().sessions[0].transferText, "");
}

TEST_F(TransferEndToEndTest, HostileNamesLandInsideTheFolderUnderSafeNames) {
  const std::string tag = Tag();
  struct Case {
    std::string sent, saved;
  };
  const std::vector<Case> cases = {
      {"..\\..\\evil-" + tag + ".txt", "evil-" + tag + ".txt"},
      {"../evil2-" + tag + ".txt", "evil2-" + tag + ".txt"},
      {"nul ." + tag, "_nul ." + tag},
      {"COM5." + tag + ".txt", "_COM5." + tag + ".txt"},
      {"con." + tag + ".txt", "_con." + tag + ".txt"},
      {"C:x-" + tag + ".txt", "C_x-" + tag + ".txt"},
  };
  Cleanup cleanup;
  for (const Case& c : cases) cleanup.paths.push_back(folder + L"\\" + Utf8ToWide(c.saved));
  for (uint32_t i = 0; i < cases.size(); ++i) {
    const std::string content = "content of " + cases[i].sent;
    ASSERT_TRUE(test::SendFileFromDevice(*device.client, i + 1, cases[i].sent, content));
    const auto final = test::WaitForFinalAck(*device.client, i + 1);
    ASSERT_TRUE(final) << cases[i].sent;
    EXPECT_EQ(final->flags, test::kAckFlagSaved) << cases[i].sent;
    EXPECT_EQ(test::ReadFileBytes(cleanup.paths[i]), content) << cases[i].sent;
  }
  ASSERT_TRUE(WaitForEvents(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(events[i].second.result, 0u);
    EXPECT_EQ(events[i].second.path, cleanup.paths[i]);
  }
  // Nothing beside Downloads\tavro: not in Downloads, its parent or the working folder.
  const std::wstring downloads = folder.substr(0, folder.rfind(L'\\'));
  const std::wstring parent = downloads.substr(0, downloads.rfind(L'\\'));
  wchar_t cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  for (const std::wstring& place : {downloads, parent, std::wstring(cwd)}) {
    for (const std::string& evil : {"evil-" + tag + ".txt", "evil2-" + tag + ".txt", "x-" + tag + ".txt"}) {
      EXPECT_FALSE(test::FileExists(place + L"\\" + Utf8ToWide(evil))) << WideToUtf8(place);
    }
  }
}

TEST_F(TransferEndToEndTest, FilesFromThePcArriveOneAtATime) {
  test::TempDir source;
  const std::string tag = Tag();
  const std::string first = RandomContent(300000, 1);
  const std::string second = RandomContent(70000, 2);
  const std::wstring a = source.File(Utf8ToWide("first-" + tag + ".bin"));
  const std::wstring b = source.File(Utf8ToWide("second-" + tag + ".bin"));
  ASSERT_TRUE(test::WriteFileBytes(a, first));
  ASSERT_TRUE(test::WriteFileBytes(b, second));
  EXPECT_EQ(host.SendFiles(0, {a, b}), "Hello tablet");

  const auto one = test::ReceiveFileOnDevice(*device.client);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->id, 1u);
  EXPECT_EQ(one->name, "first-" + tag + ".bin");
  EXPECT_EQ(one->size, first.size());
  EXPECT_EQ(one->endStatus, 0);
  EXPECT_LE(one->largestPiece, 4u + 32768u);
  EXPECT_FALSE(one->otherBeginDuringFile);
  EXPECT_EQ(Hash(one->data), Hash(first));
  const auto two = test::ReceiveFileOnDevice(*device.client);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->id, 2u);
  EXPECT_EQ(two->name, "second-" + tag + ".bin");
  EXPECT_EQ(two->endStatus, 0);
  EXPECT_LE(two->largestPiece, 4u + 32768u);
  EXPECT_EQ(Hash(two->data), Hash(second));

  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(events[0].second.path, a);
  EXPECT_EQ(events[1].second.path, b);
  for (const auto& [name, e] : events) {
    EXPECT_EQ(name, "Hello tablet");
    EXPECT_EQ(e.result, 0u);
    EXPECT_EQ(e.direction, 0);
  }
}

TEST_F(TransferEndToEndTest, ADisconnectMidReceiveLeavesNoPart) {
  const std::string name = "cut-" + Tag() + ".bin";
  const std::wstring path = folder + L"\\" + Utf8ToWide(name);
  Cleanup cleanup{{path}};
  const std::string content = RandomContent(100000, 7);
  ASSERT_TRUE(device.client->SendRecord(test::kFileBegin, test::FileBeginBytes(1, kMiB, name)));
  ASSERT_TRUE(device.client->SendRecord(test::kFileData, test::FileDataBytes(1, content.data(), content.size())));
  for (int i = 0; i < 200 && host.GetStatus().sessions[0].transferText.empty(); ++i) Sleep(25);
  EXPECT_EQ(host.GetStatus().sessions[0].transferText, "Receiving " + name + " \xC2\xB7 9 %");
  EXPECT_TRUE(test::FileExists(path + L".part"));
  device.stream.reset();  // the device goes away
  for (int i = 0; i < 200 && !host.GetStatus().sessions.empty(); ++i) Sleep(25);
  ASSERT_TRUE(host.GetStatus().sessions.empty());
  EXPECT_FALSE(test::FileExists(path + L".part"));
  EXPECT_FALSE(test::FileExists(path));
  std::lock_guard lock(mutex);
  EXPECT_TRUE(events.empty());
}

TEST_F(TransferEndToEndTest, SendingToAStoppedSessionReportsNoDevice) {
  test::TempDir source;
  const std::wstring file = source.File(L"late.bin");
  ASSERT_TRUE(test::WriteFileBytes(file, "late"));
  const uint64_t id = host.GetStatus().sessions[0].id;
  ASSERT_TRUE(host.Disconnect(id));
  // Stopped but perhaps not yet ended: the files are refused, not silently dropped.
  EXPECT_EQ(host.SendFiles(id, {file}), "");
  EXPECT_EQ(host.SendFiles(0, {file}), "");
  std::lock_guard lock(mutex);
  EXPECT_TRUE(events.empty());
}

// Whoever sees the session turn ready can hand it files at once: the first change
// callback after the Welcome already finds the transfer part.
TEST(TransferSessionTest, TheTransferPartExistsWhenTheSessionTurnsReady) {
  test::TempDir profile;
  SetProfileDir(profile.Path());
  Pairing pairing;
  ASSERT_TRUE(pairing.Load());
  pairing.SetPinAlwaysValid(true);
  pairing.SetPolicy({PairingMethod::Pin, 123456, {}, false});
  VirtualDisplayDriver driver;
  HostOptions options;
  options.name = "READY";
  const std::wstring file = profile.File(L"ready.bin");
  ASSERT_TRUE(test::WriteFileBytes(file, "ready"));
  auto [hostEnd, deviceEnd] = test::LoopbackPair();
  ASSERT_TRUE(hostEnd && deviceEnd);
  SessionParts parts;
  parts.fileTransfer = DefaultSessionParts().fileTransfer;
  std::atomic<int> takenWhenReady{-1};
  std::atomic<Session*> watched{nullptr};
  Session::Callbacks callbacks;
  callbacks.onChanged = [&] {
    Session* s = watched.load();
    if (s && s->Ready() && takenWhenReady.load() == -1) takenWhenReady = s->SendFiles({file}) ? 1 : 0;
  };
  auto session = std::make_unique<Session>(std::move(hostEnd), "127.0.0.1", Session::Link::Usb, options, driver,
                                           pairing, callbacks, parts);
  watched = session.get();
  std::thread run([&] { session->Run(); });
  test::DeviceClient client(*deviceEnd);
  test::HandshakeOptions ho;
  ho.pairing = test::PairingCode{0, 0, test::kTestPin};
  ASSERT_EQ(client.Handshake(test::DeviceIdentity(), ho).admissionResult, 0);
  ASSERT_TRUE(client.SendRecord(test::dev::kHello, test::BuildHello({})));
  const auto received = test::ReceiveFileOnDevice(client);
  EXPECT_EQ(takenWhenReady.load(), 1);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->name, "ready.bin");
  EXPECT_EQ(received->data, "ready");
  client.SendRecord(test::dev::kBye, {});
  run.join();
  session.reset();
  SetProfileDir(L"");
}

// The real program: one file and one hostile name from a paired device.
TEST(TransferConsoleTest, ReceivesIntoDownloads) {
  test::TempDir profile;
  const uint16_t port = static_cast<uint16_t>(39000 + GetCurrentProcessId() % 2000);
  test::ChildProcess host;
  const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                            profile.File(L"p") + L"\" --pin 135790 --no-adb --no-driver --no-discovery --port " +
                            std::to_wstring(port);
  ASSERT_TRUE(host.Start(line, profile.File(L"out.txt")));
  ASSERT_TRUE(host.WaitForOutput("Press Ctrl+C to quit.")) << host.Output();

  const std::wstring folder = TransferFolder();
  const std::string tag = Tag();
  const std::string plain = "console-" + tag + ".txt";
  const std::string hostile = "..\\con." + tag + ".txt";
  const std::wstring plainPath = folder + L"\\" + Utf8ToWide(plain);
  const std::wstring hostilePath = folder + L"\\" + Utf8ToWide("_con." + tag + ".txt");
  Cleanup cleanup{{plainPath, hostilePath}};
  {
    Device device;
    ASSERT_TRUE(device.Connect(port, "135790"));
    ASSERT_TRUE(test::SendFileFromDevice(*device.client, 7, plain, "plain content"));
    auto ack = test::WaitForFinalAck(*device.client, 7);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->flags, test::kAckFlagSaved);
    ASSERT_TRUE(test::SendFileFromDevice(*device.client, 8, hostile, "hostile content"));
    ack = test::WaitForFinalAck(*device.client, 8);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->flags, test::kAckFlagSaved);
    ASSERT_TRUE(device.client->SendRecord(test::dev::kBye, {}));
  }
  EXPECT_EQ(test::ReadFileBytes(plainPath), "plain content");
  EXPECT_EQ(test::ReadFileBytes(hostilePath), "hostile content");
  EXPECT_TRUE(host.WaitForOutput("Received " + WideToUtf8(plainPath))) << host.Output();
  EXPECT_TRUE(host.WaitForOutput("Received " + WideToUtf8(hostilePath))) << host.Output();

  HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ConsoleStopEventName(host.Id()).c_str());
  ASSERT_NE(stop, nullptr);
  SetEvent(stop);
  CloseHandle(stop);
  uint32_t code = 0xFFFF;
  EXPECT_TRUE(host.Wait(20000, code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace kelm
