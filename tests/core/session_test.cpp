// A session driven by the device-side test client over a real loopback connection.
#include "core/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "core/log.h"
#include "core/paths.h"
#include "core/socket.h"
#include "media/stream_context.h"
#include "media/virtual_display_driver.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;
using test::DeviceClient;
using test::DeviceIdentity;
using test::HelloFields;

struct WelcomeView {
  uint16_t version = 0;
  uint8_t status = 0xFF;
  uint8_t useHevc = 0;
  uint16_t fps = 0;
  uint32_t kbps = 0;
  uint8_t displayMode = 0;
  std::string pcName, message;
};

std::optional<WelcomeView> ParseWelcomeBytes(const Bytes& p) {
  if (p.size() < 24 || !std::equal(p.begin(), p.begin() + 4, "KELM")) return std::nullopt;
  WelcomeView w;
  w.version = static_cast<uint16_t>(p[4] | p[5] << 8);
  w.status = p[6];
  w.useHevc = p[7];
  w.fps = static_cast<uint16_t>(p[12] | p[13] << 8);
  w.kbps = p[14] | p[15] << 8 | p[16] << 16 | uint32_t{p[17]} << 24;
  w.displayMode = p[18];
  size_t at = 20;
  auto text = [&](std::string& out) {
    if (at + 2 > p.size()) return;
    const size_t n = p[at] | size_t{p[at + 1]} << 8;
    at += 2;
    out.assign(reinterpret_cast<const char*>(p.data() + at), std::min(n, p.size() - at));
    at += n;
  };
  text(w.pcName);
  text(w.message);
  return w;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    ASSERT_TRUE(pairing.Load());
    pairing.SetPinAlwaysValid(true);
    pairing.SetPolicy({PairingMethod::Pin, 123456, {}, false});
    options.name = "TESTPC";
    options.bitrateKbps = 15000;
  }
  void TearDown() override {
    if (sessionThread.joinable()) {
      session->Stop();
      sessionThread.join();
    }
    SetProfileDir(L"");
  }

  // Starts a session on a fresh connection (or the given one) and pairs (or
  // reconnects) the device.
  void Open(bool pairFirst = true, std::unique_ptr<ByteStream> hostEnd = nullptr,
            std::unique_ptr<test::TestTcpStream> deviceEnd = nullptr) {
    if (!hostEnd) std::tie(hostEnd, deviceEnd) = test::LoopbackPair();
    ASSERT_TRUE(hostEnd && deviceEnd);
    deviceStream = std::move(deviceEnd);
    Session::Callbacks callbacks;
    callbacks.onDeviceClipboard = [this](uint8_t format, std::vector<uint8_t> bytes) {
      clipboard.push_back({format, bytes});
    };
    callbacks.onChanged = [this] { ++changes; };
    callbacks.getUpdateNotice = [this] { return updateNotice; };
    callbacks.getConnectInfo = [] { return msg::ConnectInfo{}; };
    session = std::make_unique<Session>(std::move(hostEnd), "192.168.1.20", Session::Link::Wifi, options, driver,
                                        pairing, std::move(callbacks), parts, timing);
    sessionThread = std::thread([s = session.get()] { s->Run(); });
    client = std::make_unique<DeviceClient>(*deviceStream);
    test::HandshakeOptions ho;
    ho.name = "Handshake name";
    if (pairFirst) ho.pairing = test::PairingCode{0, 0, "123456"};
    ASSERT_EQ(client->Handshake(device, ho).admissionResult, 0);
  }

  std::optional<WelcomeView> SendHello(const HelloFields& fields) {
    EXPECT_TRUE(client->SendRecord(1, test::BuildHello(fields)));
    uint8_t type = 0;
    Bytes payload;
    if (!client->ReadRecord(type, payload) || type != 2) return std::nullopt;
    return ParseWelcomeBytes(payload);
  }

  bool ReadType(uint8_t wanted, Bytes& payload) {
    uint8_t type = 0;
    while (client->ReadRecord(type, payload)) {
      if (type == wanted) return true;
    }
    return false;
  }

  void WaitForEnd() {
    sessionThread.join();
    EXPECT_TRUE(session->Ended());
  }

  // Stop must wake the session's blocked read itself: its read time-outs are seconds,
  // so a session that only ends on a time-out fails the bound.
  void StopAndWaitPromptly() {
    const auto start = std::chrono::steady_clock::now();
    session->Stop();
    WaitForEnd();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }

  std::string LogText() { return log.Text(); }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  Pairing pairing;
  VirtualDisplayDriver driver;
  HostOptions options;
  DeviceIdentity device;
  std::unique_ptr<test::TestTcpStream> deviceStream;
  std::unique_ptr<Session> session;
  std::thread sessionThread;
  std::unique_ptr<DeviceClient> client;
  std::vector<std::pair<uint8_t, Bytes>> clipboard;
  std::atomic<int> changes{0};
  std::string updateNotice;
  Session::Timing timing;
  SessionParts parts;  // none unless a test asks: no capture, injection or audio
};

TEST_F(SessionTest, VersionNegotiation) {
  struct Case {
    uint16_t max, min;
    uint8_t status;
    uint16_t version;
    std::string message;
  };
  const std::vector<Case> cases = {
      {1, 1, 1, 3,
       "This app is too old for tavro on the PC (protocol 1, the PC needs 2 or newer). Update the app on this device."},
      {5, 4, 1, 3,
       "tavro on the PC is too old for this app (protocol 3, the app needs 4 or newer). Update tavro on the PC."},
      {9, 2, 0, 3, ""},
      {2, 0, 0, 2, ""},
  };
  for (const Case& c : cases) {
    Open(pairing.Devices().empty());
    HelloFields f;
    f.versionMax = c.max;
    f.versionMin = c.min;
    const auto w = SendHello(f);
    ASSERT_TRUE(w) << c.max;
    EXPECT_EQ(w->status, c.status) << c.max;
    EXPECT_EQ(w->version, c.version) << c.max;
    EXPECT_EQ(w->message, c.message);
    if (c.status != 0) {
      EXPECT_EQ(w->fps, 60);
      EXPECT_EQ(w->kbps, 0u);
      WaitForEnd();
    } else {
      StopAndWaitPromptly();
    }
  }
  EXPECT_NE(LogText().find("WARN  [192.168.1.20] incompatible protocol versions (app 1..1, PC 2..3)"),
            std::string::npos);
}

TEST_F(SessionTest, FpsAndKbpsClampsAndTheConnectionLine) {
  struct Case {
    uint16_t fps;
    uint32_t kbps;
    uint16_t wantFps;
    uint32_t wantKbps;
  };
  for (const Case& c : {Case{0, 0, 60, 15000}, Case{5, 500, 10, 1000}, Case{500, 300000, 240, 200000}}) {
    Open(pairing.Devices().empty());
    HelloFields f;
    f.fps = c.fps;
    f.kbps = c.kbps;
    const auto w = SendHello(f);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->status, 0);
    EXPECT_EQ(w->fps, c.wantFps);
    EXPECT_EQ(w->kbps, c.wantKbps);
    EXPECT_EQ(w->pcName, "TESTPC");
    EXPECT_EQ(w->displayMode, 1);
    StopAndWaitPromptly();
  }
  EXPECT_NE(LogText().find("INFO  [192.168.1.20] 'Hello tablet' connected via Wi-Fi (1600x1000 panel, 240 dpi, "
                           "mirror mode, 10 fps, 1000 kbps)"),
            std::string::npos);
}

TEST_F(SessionTest, DeviceNameComesFromHelloOrHandshakeAndIsCut) {
  Open();
  HelloFields f;
  f.name = std::string(63, 'x') + "\xc3\xa9" + std::string(35, 'y');  // 100 bytes
  ASSERT_TRUE(SendHello(f));
  EXPECT_EQ(session->DeviceName(), std::string(63, 'x'));
  StopAndWaitPromptly();

  Open(false);
  f.name = "";
  ASSERT_TRUE(SendHello(f));
  EXPECT_EQ(session->DeviceName(), "Handshake name");
}

TEST_F(SessionTest, PingsClipboardGateUnknownTypesAndBye) {
  Open();
  ASSERT_TRUE(SendHello(HelloFields{}));
  Bytes payload;
  ASSERT_TRUE(ReadType(33, payload));  // relay details follow the Welcome
  EXPECT_EQ(payload[0], 0);

  ASSERT_TRUE(client->SendRecord(25, {0, 'h', 'i'}));  // feature bit 0 not set: ignored
  ASSERT_TRUE(client->SendRecord(99, {1, 2, 3}));      // unknown type
  ASSERT_TRUE(client->SendRecord(26, {1}));
  ASSERT_TRUE(client->SendRecord(25, {0, 'o', 'k'}));
  for (uint8_t i = 0; i < 10; ++i) {
    ASSERT_TRUE(client->SendRecord(30, {i, 0, 0, 0, 0, 0, 0, 0x80}));
    ASSERT_TRUE(ReadType(31, payload));
    ASSERT_EQ(payload.size(), 16u);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 8), (Bytes{i, 0, 0, 0, 0, 0, 0, 0x80}));
  }
  ASSERT_TRUE(client->SendRecord(40, {}));
  WaitForEnd();
  ASSERT_EQ(clipboard.size(), 1u);
  EXPECT_EQ(clipboard[0].second, Bytes({'o', 'k'}));
  EXPECT_NE(LogText().find("INFO  [192.168.1.20] disconnected"), std::string::npos);
  EXPECT_GT(changes.load(), 0);
}

// The host's own socket, counting the writes made on it.
class CountingStream final : public ByteStream {
 public:
  explicit CountingStream(std::unique_ptr<ByteStream> inner) : inner_(std::move(inner)) {}
  bool ReadExact(void* buffer, size_t n) override { return inner_->ReadExact(buffer, n); }
  bool Write(const void* data, size_t n) override {
    ++writes;
    return inner_->Write(data, n);
  }
  void SetReadTimeout(uint32_t ms) override { inner_->SetReadTimeout(ms); }
  void SetSendTimeout(uint32_t ms) override { inner_->SetSendTimeout(ms); }
  void Shutdown() override { inner_->Shutdown(); }
  size_t BufferedBytes() const override { return inner_->BufferedBytes(); }
  size_t PeekBuffered(void* out, size_t n) const override { return inner_->PeekBuffered(out, n); }
  std::atomic<int> writes{0};

 private:
  std::unique_ptr<ByteStream> inner_;
};

TEST_F(SessionTest, PingsThatArriveTogetherAreAnsweredTogetherAndALoneOneAtOnce) {
  SocketSlot listener{INVALID_SOCKET};
  const uint16_t port = test::FreeLoopbackPort();
  ASSERT_TRUE(ListenTcp(listener, port, true));
  auto deviceEnd = test::ConnectTcp("127.0.0.1", port);
  AcceptedConnection accepted = AcceptConnection(listener.load());
  CloseListenSocket(listener);
  ASSERT_TRUE(deviceEnd && accepted.socket.Valid());
  auto counting = std::make_unique<CountingStream>(std::make_unique<Socket>(std::move(accepted.socket)));
  CountingStream& host = *counting;
  Open(true, std::move(counting), std::move(deviceEnd));
  ASSERT_TRUE(SendHello(HelloFields{}));
  Bytes payload;
  ASSERT_TRUE(ReadType(33, payload));
  auto ping = [](uint8_t i) { return Bytes{i, 0, 0, 0, 0, 0, 0, 0x80}; };

  constexpr uint8_t kBurst = 64;
  Bytes burst;
  for (uint8_t i = 0; i < kBurst; ++i) {
    const Bytes record = client->SealRecord(30, ping(i));
    burst.insert(burst.end(), record.begin(), record.end());
  }
  const int before = host.writes.load();
  ASSERT_TRUE(deviceStream->Write(burst.data(), burst.size()));
  for (uint8_t i = 0; i < kBurst; ++i) {
    ASSERT_TRUE(ReadType(31, payload)) << int(i);
    ASSERT_EQ(Bytes(payload.begin(), payload.begin() + 8), ping(i));
  }
  // However the burst was cut on its way in, its answers took a few writes, not 64.
  EXPECT_LE(host.writes.load() - before, 8);

  // A lone ping is answered at once, not held for a record that is not coming.
  deviceStream->SetReadTimeout(1000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->SendRecord(30, ping(100)));
  ASSERT_TRUE(ReadType(31, payload));
  EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 8), ping(100));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_TRUE(client->SendRecord(40, {}));
  WaitForEnd();
}

TEST_F(SessionTest, SilentDeviceIsDroppedButAPausedOneIsNot) {
  Open();
  ASSERT_TRUE(SendHello(HelloFields{}));
  ASSERT_TRUE(client->SendRecord(32, {1}));
  ASSERT_TRUE(client->SendRecord(32, {1}));  // no second log line
  std::this_thread::sleep_for(std::chrono::seconds(8));
  EXPECT_FALSE(session->Ended());
  ASSERT_TRUE(client->SendRecord(32, {0}));
  const auto resumed = std::chrono::steady_clock::now();
  sessionThread.join();
  const auto silentFor = std::chrono::steady_clock::now() - resumed;
  EXPECT_GE(silentFor, std::chrono::milliseconds(5500));
  EXPECT_LT(silentFor, std::chrono::milliseconds(9000));
  const std::string log = LogText();
  const std::string pausedLine = "[192.168.1.20] video paused (device in the background)";
  const size_t first = log.find(pausedLine);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("video paused", first + pausedLine.size()), std::string::npos);
  EXPECT_NE(log.find("[192.168.1.20] video resumed"), std::string::npos);
}

TEST_F(SessionTest, PausedSessionOutlivesTheRunningTimeoutAndEndsAtThePausedOne) {
  // 6 s and 30 s, scaled down twenty times.
  timing.runningMs = 300;
  timing.pausedMs = 1500;
  Open();
  ASSERT_TRUE(SendHello(HelloFields{}));
  ASSERT_TRUE(client->SendRecord(32, {1}));
  const auto pausedAt = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // "20 s" of silence
  EXPECT_FALSE(session->Ended());
  sessionThread.join();
  const auto silentFor = std::chrono::steady_clock::now() - pausedAt;
  EXPECT_GE(silentFor, std::chrono::milliseconds(1400));
  EXPECT_LT(silentFor, std::chrono::milliseconds(3000));
  EXPECT_NE(LogText().find("INFO  [192.168.1.20] disconnected"), std::string::npos);

  // Without the pause the same silence ends the session at the running time-out.
  Open(false);
  ASSERT_TRUE(SendHello(HelloFields{}));
  const auto helloAt = std::chrono::steady_clock::now();
  sessionThread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - helloAt, std::chrono::milliseconds(1000));
}

TEST_F(SessionTest, RemovedDeviceIsRefusedAtTheWelcome) {
  Open();
  pairing.RemoveDevice(pairing.Devices()[0].id);
  const auto w = SendHello(HelloFields{});
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 4);
  EXPECT_EQ(w->message, "This device was removed on the PC. Pair it again.");
  WaitForEnd();
}

TEST_F(SessionTest, PendingUpdateRefusesAtTheHello) {
  updateNotice = "Update tavro on the PC first.";
  Open();
  const auto w = SendHello(HelloFields{});
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 4);
  EXPECT_EQ(w->message, "Update tavro on the PC first.");
  EXPECT_EQ(w->kbps, 0u);
  WaitForEnd();
}

TEST_F(SessionTest, ServicesAreBuiltFromTheGivenPartsAndStoppedWithTheSession) {
  std::mutex mutex;
  std::optional<StreamSetup> seen;
  std::atomic<bool> videoEnded{false};
  parts.streamContext = [&](StreamSetup setup) {
    std::lock_guard lock(mutex);
    seen = setup;
    return std::make_unique<StreamContext>(std::move(setup));
  };
  parts.video = [&](StreamContext&) {
    VideoThread thread;
    thread.Start([&videoEnded](std::stop_token stop) {
      while (!stop.stop_requested()) Sleep(5);
      videoEnded = true;
    });
    return thread;
  };
  Open();
  HelloFields f;
  f.fps = 30;
  f.kbps = 5000;
  ASSERT_TRUE(SendHello(f));
  Bytes payload;
  ASSERT_TRUE(ReadType(33, payload));  // the services start before the first record is read
  {
    std::lock_guard lock(mutex);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->label, "192.168.1.20");
    EXPECT_EQ(seen->deviceName, "Hello tablet");
    EXPECT_EQ(seen->fps, 30u);
    EXPECT_EQ(seen->kbps, 5000u);
    EXPECT_EQ(seen->hello.kbps, 5000u);
    EXPECT_FALSE(seen->remote);
    EXPECT_FALSE(seen->input.setTargetRect);  // no input part: the video thread has no way into it
    EXPECT_FALSE(seen->input.takePendingTap);
    EXPECT_FALSE(seen->input.caretVerdict);
  }
  EXPECT_FALSE(videoEnded);
  StopAndWaitPromptly();
  EXPECT_TRUE(videoEnded);  // joined in the teardown, before the session counts as ended
}

}  // namespace
}  // namespace kelm
