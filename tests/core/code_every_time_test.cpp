// "Code every time": wrong codes from other sources lock the pairing of new keys,
// never a paired device that brings the right code; its own wrong codes still count.
#include <gtest/gtest.h>

#include <format>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/otp.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "support/device_client.h"
#include "support/handshake_run.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::DeviceIdentity;
using test::HandshakeOptions;
using test::HandshakeRun;
using test::PairingCode;

const std::vector<uint8_t> kSecret = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4};
constexpr uint64_t kStep = 60000000;

struct FixedTime {
  uint64_t ms = 5000000;
  uint64_t step = kStep;
};

class CodeEveryTimeTest : public ::testing::TestWithParam<PairingMethod> {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    ASSERT_TRUE(pairing.Load());
    pairing.SetPinAlwaysValid(true);
    // The tablet pairs with the PIN first, then the PC asks for a code every time.
    pairing.SetPolicy({PairingMethod::Pin, 123456, {}, false});
    HandshakeOptions pin;
    pin.pairing = PairingCode{0, 0, "123456"};
    ASSERT_EQ(test::RunHandshake(pairing, tablet, pin, "192.168.1.5").device.admissionResult, 0);
    pairing.SetPolicy({GetParam(), 123456, kSecret, true});
  }
  void TearDown() override { SetProfileDir(L""); }

  static HandshakeOptions Code(uint64_t step, bool right) {
    HandshakeOptions o;
    std::string code = HotpCode(kSecret, step, 6);
    if (!right) code[0] = code[0] == '9' ? '0' : static_cast<char>(code[0] + 1);
    o.pairing = PairingCode{1, step, code};
    return o;
  }
  // Ten wrong codes, each from its own address: pairing new keys is locked.
  void TenWrongCodesFromOthers() {
    for (int i = 0; i < 10; ++i) {
      DeviceIdentity stranger;
      const HandshakeRun run = test::RunHandshake(pairing, stranger, Code(kStep, false), std::format("10.0.0.{}", i + 1));
      ASSERT_EQ(run.host, 1);
      ASSERT_FALSE(run.device.hostProofValid);
    }
    ASSERT_NE(log.Text().find("WARN  Too many wrong pairing codes - pairing new devices is locked for 5 minutes"),
              std::string::npos);
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  std::shared_ptr<FixedTime> time = std::make_shared<FixedTime>();
  Pairing pairing{PairingClock{[t = time] { return t->ms; }, [] { return int64_t{1700000000}; },
                               [t = time] { return t->step; }}};
  DeviceIdentity tablet;
};

TEST_P(CodeEveryTimeTest, WrongCodesFromOthersDoNotStopAPairedDevice) {
  TenWrongCodesFromOthers();
  const HandshakeRun run = test::RunHandshake(pairing, tablet, Code(kStep - 1, true), "192.168.1.5");
  EXPECT_EQ(run.host, 0);
  EXPECT_EQ(run.device.admissionResult, 0) << run.device.errorText << run.device.admissionMessage;
  EXPECT_FALSE(run.device.newlyPaired);
  // The same from a new address.
  time->step += 1;
  EXPECT_EQ(test::RunHandshake(pairing, tablet, Code(time->step, true), "192.168.1.77").device.admissionResult, 0);
}

TEST_P(CodeEveryTimeTest, AnUnpairedKeyIsStillLockedOut) {
  TenWrongCodesFromOthers();
  DeviceIdentity newcomer;
  const HandshakeRun run = test::RunHandshake(pairing, newcomer, Code(kStep, true), "192.168.1.6");
  EXPECT_EQ(run.host, 1);
  EXPECT_EQ(run.device.admissionResult, 10);
  EXPECT_EQ(run.device.admissionMessage, "Too many wrong codes. Try again in 300 seconds.");
  EXPECT_NE(log.Text().find("WARN  [192.168.1.6] pairing attempt rejected (locked out after wrong codes)"),
            std::string::npos);
  EXPECT_EQ(pairing.Devices().size(), 1u);
  // The code it used is used up.
  DeviceIdentity again;
  const HandshakeRun replay = test::RunHandshake(pairing, again, Code(kStep, true), "192.168.1.7");
  EXPECT_EQ(replay.device.errorText, "This authenticator code was already used. Wait for the next code.");
  // Once the lock has run out, a right code pairs a new key again where the method allows it.
  time->ms += 300000;
  const HandshakeRun later = test::RunHandshake(pairing, newcomer, Code(kStep + 1, true), "192.168.1.6");
  EXPECT_EQ(later.device.admissionResult, GetParam() == PairingMethod::Authenticator ? 0 : 10);
}

TEST_P(CodeEveryTimeTest, APairedDevicesOwnWrongCodesAreChargedToItsSource) {
  for (int i = 0; i < 3; ++i) {
    const HandshakeRun run = test::RunHandshake(pairing, tablet, Code(kStep, false), "192.168.1.5");
    EXPECT_EQ(run.host, 1);
  }
  const HandshakeRun blocked = test::RunHandshake(pairing, tablet, Code(kStep, true), "192.168.1.5");
  EXPECT_EQ(blocked.device.errorCode, 1);
  EXPECT_EQ(blocked.device.errorText, "Too many wrong codes. Try again in 30 seconds.");
  time->ms += 30000;
  EXPECT_EQ(test::RunHandshake(pairing, tablet, Code(kStep, true), "192.168.1.5").device.admissionResult, 0);
}

TEST(GlobalLockTest, WithoutCodeEveryTimeTheGlobalLockRefusesBeforeTheHandshake) {
  test::TempDir profile;
  SetProfileDir(profile.Path());
  auto time = std::make_shared<FixedTime>();
  Pairing pairing{PairingClock{[time] { return time->ms; }, [] { return int64_t{1700000000}; },
                               [time] { return time->step; }}};
  ASSERT_TRUE(pairing.Load());
  pairing.SetPolicy({PairingMethod::Authenticator, 0, kSecret, false});
  for (int i = 0; i < 10; ++i) pairing.ChargeAttempt(std::format("10.0.1.{}", i + 1));
  DeviceIdentity device;
  HandshakeOptions right;
  right.pairing = PairingCode{1, kStep, HotpCode(kSecret, kStep, 6)};
  const HandshakeRun run = test::RunHandshake(pairing, device, right, "192.168.1.9");
  EXPECT_EQ(run.device.errorCode, 1);
  EXPECT_EQ(run.device.errorText, "Too many wrong codes. Try again in 300 seconds.");
  EXPECT_FALSE(run.device.hostHello);
  SetProfileDir(L"");
}

INSTANTIATE_TEST_SUITE_P(Methods, CodeEveryTimeTest,
                         ::testing::Values(PairingMethod::Pin, PairingMethod::Authenticator),
                         [](const auto& info) { return info.param == PairingMethod::Pin ? "Pin" : "Authenticator"; });

}  // namespace
}  // namespace kelm
