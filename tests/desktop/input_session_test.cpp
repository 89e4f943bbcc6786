// A session with a real input router (recording backend, scripted text fields), driven
// by the device-side test client: input reaches the injector on the mirrored display,
// message 8 reaches the device, and teardown never waits on a blocked keyboard message.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "core/paths.h"
#include "core/session.h"
#include "desktop/input_router.h"
#include "media/virtual_display_driver.h"
#include "support/device_client.h"
#include "support/input_payloads.h"
#include "support/log_capture.h"
#include "support/recording_input_backend.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;

constexpr uint8_t kPen = 10, kTouch = 11, kKey = 12, kText = 13, kPointer = 15;
const RECT kField{800, 500, 1100, 530};

class ScriptedTextFields final : public TextFieldSource {
 public:
  int32_t Subscribe(TextFieldCallback callback) override {
    std::lock_guard lock(mutex_);
    callbacks_[nextId_] = std::move(callback);
    return nextId_++;
  }
  void Unsubscribe(int32_t id) override {
    std::lock_guard lock(mutex_);
    callbacks_.erase(id);
  }
  void Report(bool active, RECT rect) {
    std::lock_guard lock(mutex_);
    for (auto& [id, callback] : callbacks_) callback(active, rect, false);
  }

 private:
  std::mutex mutex_;
  std::map<int32_t, TextFieldCallback> callbacks_;
  int32_t nextId_ = 1;
};

// The host's end of the connection, whose writes can be made to hang like those to a
// device that stopped reading; only shutting the stream releases them.
class GateStream final : public ByteStream {
 public:
  explicit GateStream(std::unique_ptr<ByteStream> inner) : inner_(std::move(inner)) {}
  bool ReadExact(void* buffer, size_t n) override { return inner_->ReadExact(buffer, n); }
  bool Write(const void* data, size_t n) override {
    std::unique_lock lock(mutex_);
    if (block_) {
      ++blocked_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return shut_; });
      return false;
    }
    lock.unlock();
    return inner_->Write(data, n);
  }
  void SetReadTimeout(uint32_t ms) override { inner_->SetReadTimeout(ms); }
  void SetSendTimeout(uint32_t ms) override { inner_->SetSendTimeout(ms); }
  void Shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shut_ = true;
    }
    changed_.notify_all();
    inner_->Shutdown();
  }
  void BlockWrites() {
    std::lock_guard lock(mutex_);
    block_ = true;
  }
  bool WaitForBlockedWrite(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocked_ > 0; });
  }

 private:
  std::unique_ptr<ByteStream> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool block_ = false;
  bool shut_ = false;
  int blocked_ = 0;
};

class InputSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    ASSERT_TRUE(pairing.Load());
    pairing.SetPinAlwaysValid(true);
    pairing.SetPolicy({PairingMethod::Pin, 123456, {}, false});
    options.name = "TESTPC";
    parts.input = [this](const std::string& label) {
      auto router = std::make_unique<InputRouter>(label, backend, fields, [this] { return now.load(); });
      // Far from any display: the session must replace it with the mirrored display.
      router->Injector().SetTargetRect(RECT{0, 0, 100, 100});
      this->router = router.get();
      return router;
    };
  }
  void TearDown() override {
    if (sessionThread.joinable()) {
      session->Stop();
      sessionThread.join();
    }
    SetProfileDir(L"");
  }

  // Connects, pairs, says Hello and reads the Welcome.
  void Connect() {
    auto [hostEnd, deviceEnd] = test::LoopbackPair();
    ASSERT_TRUE(hostEnd && deviceEnd);
    deviceStream = std::move(deviceEnd);
    auto gated = std::make_unique<GateStream>(std::move(hostEnd));
    gate = gated.get();
    session = std::make_unique<Session>(std::move(gated), "192.168.1.30", Session::Link::Wifi, options, driver,
                                        pairing, Session::Callbacks{}, parts);
    sessionThread = std::thread([s = session.get()] { s->Run(); });
    client = std::make_unique<test::DeviceClient>(*deviceStream);
    test::HandshakeOptions ho;
    ho.pairing = test::PairingCode{0, 0, "123456"};
    ASSERT_EQ(client->Handshake(device, ho).admissionResult, 0);
    ASSERT_TRUE(client->SendRecord(1, test::BuildHello(test::HelloFields{})));
    uint8_t type = 0;
    Bytes payload;
    ASSERT_TRUE(client->ReadRecord(type, payload));
    ASSERT_EQ(type, 2);
    ASSERT_EQ(payload.at(6), 0);
  }
  // A ping answered means every message sent before it was handled.
  void RoundTrip() {
    static uint8_t n = 0;
    ++n;
    ASSERT_TRUE(client->SendRecord(30, {n, 0, 0, 0, 0, 0, 0, 0}));
    Bytes payload;
    ASSERT_TRUE(ReadType(31, payload));
    ASSERT_EQ(payload.at(0), n);
  }
  // Reads until a record of `wanted` type; every message 8 on the way is kept.
  bool ReadType(uint8_t wanted, Bytes& payload) {
    uint8_t type = 0;
    while (client->ReadRecord(type, payload)) {
      if (type == 8) keyboard.push_back(payload);
      if (type == wanted) return true;
    }
    return false;
  }
  void Send(uint8_t type, const Bytes& payload) { ASSERT_TRUE(client->SendRecord(type, payload)); }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  Pairing pairing;
  VirtualDisplayDriver driver;
  HostOptions options;
  test::DeviceIdentity device;
  test::RecordingInputBackend backend{true};
  ScriptedTextFields fields;
  std::atomic<uint64_t> now{700000};
  SessionParts parts;
  InputRouter* router = nullptr;
  GateStream* gate = nullptr;
  std::unique_ptr<test::TestTcpStream> deviceStream;
  std::unique_ptr<Session> session;
  std::thread sessionThread;
  std::unique_ptr<test::DeviceClient> client;
  std::vector<Bytes> keyboard;
};

TEST_F(InputSessionTest, PointerDevicesAreMadeOnlyAfterTheWelcome) {
  // 100 connections that never finish the handshake: half close at once, half stop
  // inside the first frame.
  for (int i = 0; i < 100; ++i) {
    auto [hostEnd, deviceEnd] = test::LoopbackPair();
    ASSERT_TRUE(hostEnd && deviceEnd);
    Session s(std::move(hostEnd), "192.168.1.31", Session::Link::Wifi, options, driver, pairing,
              Session::Callbacks{}, parts);
    std::thread run([&s] { s.Run(); });
    if (i % 2 == 1) {
      const Bytes partial = {100, 0, 0, 0, 50, 1, 2};
      deviceEnd->Write(partial.data(), partial.size());
    }
    deviceEnd.reset();
    run.join();
  }
  EXPECT_EQ(backend.Creations(), 0);
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_NO_FATAL_FAILURE(RoundTrip());
  EXPECT_EQ(backend.Creations(), 2);  // the pen and the touch device, once
}

TEST_F(InputSessionTest, InputReachesTheInjectorOnTheMirroredDisplay) {
  Connect();
  const RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  Send(kTouch, test::TouchPayload({{3, 0, 0.5f, 0.5f}}));
  Send(kTouch, test::TouchPayload({}));
  Send(kPen, test::PenPayload({{0x01, 0.25f, 0.25f}}));
  Send(kKey, test::KeyPayload('Q', true, false));
  Send(kText, test::TextPayload("hi"));
  Send(kPointer, test::PointerPayload(1, 1, 0.5f, 0.5f));
  RoundTrip();
  EXPECT_EQ(session->LastInputTick(), now.load());

  ASSERT_EQ(backend.injections.size(), 3u);
  const POINT touch = backend.injections[0].info.at(0).touchInfo.pointerInfo.ptPixelLocation;
  EXPECT_EQ(touch.x, screen.right / 2);
  EXPECT_EQ(touch.y, screen.bottom / 2);
  const POINT pen = backend.injections[2].info.at(0).penInfo.pointerInfo.ptPixelLocation;
  EXPECT_EQ(pen.x, screen.right / 4);
  EXPECT_EQ(pen.y, screen.bottom / 4);
  ASSERT_EQ(backend.sendCalls.size(), 3u);  // the key, the text and the right button
  EXPECT_EQ(backend.sendCalls[0].at(0).ki.wVk, 'Q');
  EXPECT_EQ(backend.sendCalls[1].size(), 4u);
  EXPECT_NE(backend.sendCalls[2].at(0).mi.dwFlags & MOUSEEVENTF_RIGHTDOWN, 0u);

  // The text field reported soon after the touch opens the device keyboard, and closes it.
  fields.Report(true, kField);
  fields.Report(false, kField);
  RoundTrip();
  ASSERT_EQ(keyboard.size(), 2u);
  EXPECT_EQ(keyboard[0], Bytes{1});
  EXPECT_EQ(keyboard[1], Bytes{0});

  // Bye ends the session: the right button and the key held on the PC are released.
  backend.Clear();
  Send(40, {});
  sessionThread.join();
  EXPECT_TRUE(session->Ended());
  const auto mouse = backend.MouseInputs();
  ASSERT_FALSE(mouse.empty());
  EXPECT_NE(mouse.back().dwFlags & MOUSEEVENTF_RIGHTUP, 0u);
  ASSERT_FALSE(backend.sendCalls.empty());
  EXPECT_EQ(backend.sendCalls[0].at(0).ki.wVk, 'Q');
  EXPECT_NE(backend.sendCalls[0].at(0).ki.dwFlags & KEYEVENTF_KEYUP, 0u);
}

TEST_F(InputSessionTest, TeardownDoesNotWaitForAKeyboardMessageStuckInSending) {
  Connect();
  Send(kTouch, test::TouchPayload({{1, 0, 0.5f, 0.5f}}));
  RoundTrip();
  gate->BlockWrites();
  // The detector's report runs under its lock and blocks sending message 8.
  std::thread detector([&] { fields.Report(true, kField); });
  ASSERT_TRUE(gate->WaitForBlockedWrite(std::chrono::seconds(5)));

  const auto start = std::chrono::steady_clock::now();
  Send(40, {});
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ended = session->Ended();
  }
  EXPECT_TRUE(ended) << "the session's teardown hung";
  if (!ended) session->Stop();  // shutting the stream frees the stuck send
  sessionThread.join();
  detector.join();
}

}  // namespace
}  // namespace kelm
