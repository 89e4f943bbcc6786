// The host's handshake and records, driven by the device-side test client over a
// real loopback connection.
#include "core/secure_channel.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "core/log.h"
#include "core/otp.h"
#include "core/paths.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;
using test::DeviceClient;
using test::DeviceIdentity;
using test::HandshakeOptions;
using test::HandshakeOutcome;
using test::PairingCode;

const std::vector<uint8_t> kSecret = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

class SecureChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    ASSERT_TRUE(pairing.Load());
    pairing.SetPinAlwaysValid(true);
    pairing.SetPolicy({PairingMethod::Pin, 123456, {}, false});
  }
  void TearDown() override {
    SetProfileDir(L"");
  }

  // One connection: the host accepts on a thread while the device runs `device`.
  template <typename DeviceSide>
  int Connect(DeviceSide device, bool relay = false, const std::string& peer = "192.168.1.20") {
    auto [hostEnd, deviceEnd] = test::LoopbackPair();
    EXPECT_TRUE(hostEnd && deviceEnd);
    channel = std::make_unique<SecureChannel>();
    result = HandshakeResult{};
    std::future<int> host = std::async(std::launch::async, [&, h = hostEnd.get()] {
      const int r = static_cast<int>(channel->Accept(*h, peer, pairing, relay, result));
      if (r != 0) h->Shutdown();  // the host closes the session after a refusal
      return r;
    });
    DeviceClient client(*deviceEnd);
    device(client, *deviceEnd);
    deviceEnd->Shutdown();
    const int r = host.get();
    hostStream = std::move(hostEnd);
    return r;
  }

  HandshakeOutcome Run(const HandshakeOptions& options, int& hostResult, bool relay = false,
                       const std::string& peer = "192.168.1.20") {
    HandshakeOutcome outcome;
    hostResult = Connect([&](DeviceClient& c, ByteStream&) { outcome = c.Handshake(device, options); }, relay, peer);
    return outcome;
  }

  std::string LogText() { return log.Text(); }

  static HandshakeOptions WithPin(const std::string& pin) {
    HandshakeOptions o;
    o.pairing = PairingCode{0, 0, pin};
    return o;
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  Pairing pairing;
  DeviceIdentity device;
  std::unique_ptr<SecureChannel> channel;
  std::unique_ptr<test::TestTcpStream> hostStream;
  HandshakeResult result;
};

TEST_F(SecureChannelTest, PinPairingThenReconnectWithoutCode) {
  int host = -1;
  HandshakeOutcome o = Run(WithPin("123456"), host);
  EXPECT_TRUE(o.hostProofValid);
  ASSERT_TRUE(o.admissionReceived);
  EXPECT_EQ(o.admissionResult, 0);
  EXPECT_TRUE(o.newlyPaired);
  EXPECT_EQ(o.pairingMethod, 0);
  EXPECT_EQ(o.admissionMessage, "");
  EXPECT_EQ(host, 0);
  EXPECT_TRUE(result.newlyPaired && result.pairingAttempted);
  EXPECT_EQ(result.deviceName, "Test tablet");
  EXPECT_EQ(Bytes(o.hostIdentityKey), Bytes(pairing.Identity().PublicKey().begin(), pairing.Identity().PublicKey().end()));
  ASSERT_EQ(pairing.Devices().size(), 1u);
  EXPECT_EQ(pairing.Devices()[0].id, result.deviceId);
  EXPECT_NE(test::ReadFileBytes(profile.File(L"devices.json")).find("Test tablet"), std::string::npos);
  EXPECT_NE(LogText().find("INFO  [192.168.1.20] paired new device 'Test tablet' (" + result.deviceId + ")"),
            std::string::npos);

  o = Run(HandshakeOptions{}, host);
  EXPECT_EQ(host, 0);
  EXPECT_EQ(o.admissionResult, 0);
  EXPECT_FALSE(o.newlyPaired);
  EXPECT_FALSE(result.pairingAttempted);
}

TEST_F(SecureChannelTest, UnpairedDeviceWithoutCodeIsNotAdmitted) {
  struct Case {
    PairingMethod method;
    bool relay;
    std::string message;
  };
  for (const Case& c : {Case{PairingMethod::Pin, false, "This device isn't paired with this PC yet."},
                        Case{PairingMethod::Off, false,
                             "This device isn't paired with this PC, and pairing new devices is turned off."},
                        Case{PairingMethod::Pin, true,
                             "This device isn't paired with this PC. Pair it once over USB or the same Wi-Fi."}}) {
    pairing.SetPolicy({c.method, 123456, {}, false});
    int host = -1;
    const HandshakeOutcome o = Run(HandshakeOptions{}, host, c.relay);
    EXPECT_EQ(host, 1);
    ASSERT_TRUE(o.admissionReceived) << c.message;
    EXPECT_EQ(o.admissionResult, 10);
    EXPECT_EQ(o.pairingMethod, static_cast<uint8_t>(c.method));
    EXPECT_EQ(o.admissionMessage, c.message);
  }
  EXPECT_NE(LogText().find("not admitted: This device isn't paired with this PC yet."), std::string::npos);
  EXPECT_TRUE(pairing.Devices().empty());
}

TEST_F(SecureChannelTest, PairingOverTheRelayIsRefusedAfterARightCode) {
  int host = -1;
  const HandshakeOutcome o = Run(WithPin("123456"), host, true);
  EXPECT_EQ(o.admissionResult, 10);
  EXPECT_EQ(o.admissionMessage, "This device isn't paired with this PC. Pair it once over USB or the same Wi-Fi.");
  EXPECT_TRUE(pairing.Devices().empty());
}

TEST_F(SecureChannelTest, CodeEveryTimeAsksPairedDevicesForTheCode) {
  int host = -1;
  Run(WithPin("123456"), host);
  ASSERT_EQ(host, 0);
  pairing.SetPolicy({PairingMethod::Pin, 123456, kSecret, true});
  HandshakeOutcome o = Run(HandshakeOptions{}, host);
  EXPECT_EQ(o.admissionResult, 11);
  EXPECT_EQ(o.admissionMessage, "This PC asks for an authenticator code on every connection.");

  // With the authenticator code the paired device is admitted.
  const uint64_t step = TotpTimeStep();
  HandshakeOptions withCode;
  withCode.pairing = PairingCode{1, step, HotpCode(kSecret, step, 6)};
  o = Run(withCode, host);
  EXPECT_EQ(o.admissionResult, 0);
  EXPECT_FALSE(o.newlyPaired);

  // A new device with a right code cannot pair: the method is PIN.
  DeviceIdentity other;
  HandshakeOutcome fresh;
  withCode.pairing = PairingCode{1, step + 1, HotpCode(kSecret, step + 1, 6)};
  Connect([&](DeviceClient& c, ByteStream&) { fresh = c.Handshake(other, withCode); });
  EXPECT_EQ(fresh.admissionResult, 10);
  EXPECT_EQ(fresh.admissionMessage, "Pairing new devices is turned off on this PC.");
}

TEST_F(SecureChannelTest, AuthenticatorCodePairsWhenThatIsTheMethod) {
  pairing.SetPolicy({PairingMethod::Authenticator, 0, kSecret, false});
  const uint64_t step = TotpTimeStep();
  HandshakeOptions o;
  o.pairing = PairingCode{1, step, HotpCode(kSecret, step, 6)};
  int host = -1;
  HandshakeOutcome outcome = Run(o, host);
  EXPECT_EQ(host, 0);
  EXPECT_EQ(outcome.admissionResult, 0);
  EXPECT_TRUE(outcome.newlyPaired);
  EXPECT_EQ(outcome.pairingMethod, 1);
  // The same code again is a replay.
  DeviceIdentity other;
  Connect([&](DeviceClient& c, ByteStream&) { outcome = c.Handshake(other, o); });
  EXPECT_EQ(outcome.errorCode, 3);
  EXPECT_EQ(outcome.errorText, "This authenticator code was already used. Wait for the next code.");
}

TEST_F(SecureChannelTest, WrongPinsAreChargedAndThenLockedOut) {
  for (int i = 0; i < 3; ++i) {
    int host = -1;
    const HandshakeOutcome o = Run(WithPin("654321"), host);
    EXPECT_TRUE(o.hostHello);
    EXPECT_FALSE(o.hostProofValid);  // different keys: the proof does not open
    EXPECT_FALSE(o.admissionReceived);
    EXPECT_EQ(host, 1);
  }
  EXPECT_NE(LogText().find("WARN  [192.168.1.20] pairing failed (wrong code?)"), std::string::npos);
  int host = -1;
  const HandshakeOutcome o = Run(WithPin("123456"), host);
  EXPECT_EQ(host, 1);
  EXPECT_EQ(o.errorCode, 1);
  EXPECT_EQ(o.errorText, "Too many wrong codes. Try again in 30 seconds.");
  EXPECT_NE(LogText().find("pairing attempt rejected (locked out after wrong codes)"), std::string::npos);
  EXPECT_TRUE(pairing.Devices().empty());
  // Another source is not blocked.
  EXPECT_EQ(Run(WithPin("123456"), host, false, "192.168.1.21").admissionResult, 0);
}

TEST_F(SecureChannelTest, DeviceNamesAreLoggedSanitisedOnOneLine) {
  // U+2028, NEL, a right-to-left override and an invalid byte, then a forged line.
  const std::string tricky = "Tab\xE2\x80\xA8" "2026-01-01 INFO  forged\xC2\x85\xE2\x80\xAE\xFF" "end";
  HandshakeOptions named;
  named.name = tricky;
  int host = -1;
  HandshakeOutcome o = Run(named, host);  // not paired: the "not admitted" line
  EXPECT_EQ(o.admissionResult, 10);
  named.pairing = PairingCode{0, 0, "123456"};
  o = Run(named, host);  // the "paired new device" line
  ASSERT_EQ(o.admissionResult, 0);
  // As stored: the invalid byte is U+FFFD; then the unsafe characters become '?'.
  const std::string shown = "Tab?2026-01-01 INFO  forged??\xEF\xBF\xBD" "end";
  const std::string text = LogText();
  EXPECT_NE(text.find("INFO  [192.168.1.20] '" + shown + "' (" + result.deviceId +
                      ") not admitted: This device isn't paired with this PC yet.\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("INFO  [192.168.1.20] paired new device '" + shown + "' (" + result.deviceId + ")\r\n"),
            std::string::npos)
      << text;
  for (const char* bad : {"\xE2\x80\xA8", "\xC2\x85", "\xE2\x80\xAE", "\xFF"}) {
    EXPECT_EQ(text.find(bad), std::string::npos);
  }

  // The name is logged in its stored form: cut at a character boundary.
  DeviceIdentity other;
  HandshakeOptions longName;
  longName.name = std::string(63, 'a') + "\xE2\x80\xAE" + "tail";
  Connect([&](DeviceClient& c, ByteStream&) { o = c.Handshake(other, longName); });
  EXPECT_NE(LogText().find("'" + std::string(63, 'a') + "' (" + result.deviceId + ") not admitted"),
            std::string::npos);
}

TEST_F(SecureChannelTest, ErrorRepliesForRefusedPairing) {
  pairing.SetPolicy({PairingMethod::Off, 0, {}, false});
  int host = -1;
  HandshakeOutcome o = Run(WithPin("123456"), host);
  EXPECT_EQ(o.errorCode, 2);
  EXPECT_EQ(o.errorText, "Pairing new devices is turned off on this PC.");
  HandshakeOptions authenticator;
  authenticator.pairing = PairingCode{1, TotpTimeStep(), "000000"};
  o = Run(authenticator, host);
  EXPECT_EQ(o.errorCode, 3);
  EXPECT_NE(LogText().find("pairing code not accepted: Pairing new devices is turned off on this PC."),
            std::string::npos);

  HandshakeOptions v2;
  v2.version = 2;
  o = Run(v2, host);
  EXPECT_EQ(host, 1);
  EXPECT_EQ(o.errorCode, 4);
  EXPECT_EQ(o.errorText, "This version of the tavro app doesn't match the PC. Update both.");
}

TEST_F(SecureChannelTest, LegacyFirstFrameGetsTheLegacyReply) {
  uint8_t type = 0;
  Bytes body;
  const int host = Connect([&](DeviceClient& c, ByteStream&) {
    c.SendPlainFrame(1, {'K', 'E', 'L', 'M'});
    c.ReadPlainFrame(type, body);
  });
  EXPECT_EQ(host, 2);
  EXPECT_EQ(type, 2);
  ASSERT_GE(body.size(), 22u);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + 8), (Bytes{'K', 'E', 'L', 'M', 3, 0, 1, 0}));
  const std::string text(body.begin(), body.end());
  EXPECT_NE(text.find("This version of tavro on the PC needs the latest tavro app. Update the app on this device "
                      "and connect again."),
            std::string::npos);
}

TEST_F(SecureChannelTest, MalformedFirstFramesFailSilently) {
  const std::vector<Bytes> frames = {
      {0, 0, 0, 0},                      // length 0
      {0x01, 0x10, 0, 0},                // length 4097
      [] { Bytes f = {100, 0, 0, 0, 50, 1, 0}; f.resize(4 + 100); return f; }(),  // 100 bytes, no pairing flag
      {1, 0, 0, 0, 9},                   // unknown type
  };
  for (const Bytes& f : frames) {
    Bytes reply;
    uint8_t type = 0;
    bool gotReply = true;
    const int host = Connect([&](DeviceClient& c, ByteStream&) {
      c.SendRaw(f);
      gotReply = c.ReadPlainFrame(type, reply);
    });
    EXPECT_EQ(host, 3);
    EXPECT_FALSE(gotReply);
  }
}

// Host side for record tests: accept, then echo each record's type and size back
// until a read fails; reports how many records it opened.
struct EchoHost {
  std::vector<std::pair<uint8_t, size_t>> received;
  void Serve(SecureChannel& channel, ByteStream& stream) {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    while (channel.ReadRecord(stream, type, payload, 300000)) {
      received.emplace_back(type, payload.size());
      const uint8_t size[1] = {static_cast<uint8_t>(payload.size() & 0xFF)};
      channel.WriteRecord(stream, static_cast<uint8_t>(type + 1), size, 1);
    }
  }
};

TEST_F(SecureChannelTest, RecordsTravelBothWaysAndReplaysEndTheSession) {
  int host = -1;
  Run(WithPin("123456"), host);
  ASSERT_EQ(host, 0);

  struct Case {
    std::string what;
    std::function<void(DeviceClient&)> device;
    std::vector<std::pair<uint8_t, size_t>> expected;
  };
  const std::vector<Case> cases = {
      {"empty and large payloads",
       [](DeviceClient& c) {
         uint8_t type = 0;
         Bytes payload;
         ASSERT_TRUE(c.SendRecord(30, {}));
         ASSERT_TRUE(c.ReadRecord(type, payload));
         EXPECT_EQ(type, 31);
         ASSERT_TRUE(c.SendRecord(17, Bytes(200001, 0x5A)));
         ASSERT_TRUE(c.ReadRecord(type, payload));
         EXPECT_EQ(payload, Bytes({0x41}));
       },
       {{30, 0}, {17, 200001}}},
      {"a record of length 16 is refused",
       [](DeviceClient& c) { c.SendRaw({16, 0, 0, 0}); },
       {}},
      {"a record over the caller's limit is refused",
       [](DeviceClient& c) { c.SendRecord(17, Bytes(300001, 1)); },
       {}},
  };
  for (const Case& c : cases) {
    auto [hostEnd, deviceEnd] = test::LoopbackPair();
    ASSERT_TRUE(hostEnd && deviceEnd);
    SecureChannel hostChannel;
    EchoHost echo;
    std::thread hostThread([&, h = hostEnd.get()] {
      HandshakeResult r;
      if (hostChannel.Accept(*h, "192.168.1.20", pairing, false, r) == AcceptResult::Admitted) echo.Serve(hostChannel, *h);
    });
    DeviceClient client(*deviceEnd);
    ASSERT_EQ(client.Handshake(device, HandshakeOptions{}).admissionResult, 0) << c.what;
    c.device(client);
    deviceEnd->Shutdown();
    hostThread.join();
    EXPECT_EQ(echo.received, c.expected) << c.what;
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("WARN  invalid record length 16"), std::string::npos);
  EXPECT_NE(log.find("WARN  invalid record length 300018"), std::string::npos);
}

TEST_F(SecureChannelTest, ReplayedRecordFailsAuthentication) {
  int host = -1;
  Run(WithPin("123456"), host);
  auto [hostEnd, deviceEnd] = test::LoopbackPair();
  ASSERT_TRUE(hostEnd && deviceEnd);
  // The device's writes pass through this tap so the test can send one twice.
  struct Tap : ByteStream {
    ByteStream& inner;
    Bytes last;
    explicit Tap(ByteStream& s) : inner(s) {}
    bool ReadExact(void* d, size_t n) override { return inner.ReadExact(d, n); }
    bool Write(const void* d, size_t n) override {
      last.assign(static_cast<const uint8_t*>(d), static_cast<const uint8_t*>(d) + n);
      return inner.Write(d, n);
    }
    void SetReadTimeout(uint32_t ms) override { inner.SetReadTimeout(ms); }
    void Shutdown() override { inner.Shutdown(); }
  } tap(*deviceEnd);
  SecureChannel hostChannel;
  EchoHost echo;
  std::thread hostThread([&, h = hostEnd.get()] {
    HandshakeResult r;
    if (hostChannel.Accept(*h, "192.168.1.20", pairing, false, r) == AcceptResult::Admitted) echo.Serve(hostChannel, *h);
  });
  DeviceClient client(tap);
  ASSERT_EQ(client.Handshake(device, HandshakeOptions{}).admissionResult, 0);
  ASSERT_TRUE(client.SendRecord(30, {1, 2, 3}));
  const Bytes copy = tap.last;
  uint8_t type = 0;
  Bytes payload;
  ASSERT_TRUE(client.ReadRecord(type, payload));
  client.SendRaw(copy);
  hostThread.join();
  deviceEnd->Shutdown();
  EXPECT_EQ(echo.received.size(), 1u);
  EXPECT_NE(LogText().find("WARN  record authentication failed - closing the connection"), std::string::npos);
}

}  // namespace
}  // namespace kelm
