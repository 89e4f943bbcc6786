// A failing random source or code computation refuses pairing; it never yields a
// PIN or a code that someone could guess or match.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/otp.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "core/secure_channel.h"
#include "support/device_client.h"
#include "support/handshake_run.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

const std::vector<uint8_t> kSecret = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};

TEST(RandomPinTest, FailingRandomSourceGivesNoPinAndAnError) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"host.log"));
  const uint32_t pin = RandomPin([](uint8_t*, size_t) { return false; });
  EXPECT_EQ(pin, 0u);  // "no PIN": PIN pairing is refused
  EXPECT_NE(log.Text().find("ERROR No random numbers for the pairing PIN"), std::string::npos);
}

TEST(RandomPinTest, DrawsAgainAboveTheLastWholeRange) {
  // First a value in the biased top range, then 0 and 899999 as raw draws.
  std::vector<uint32_t> draws = {0xFFFFFFFFu, 0, 899999};
  size_t next = 0;
  const RandomSource source = [&](uint8_t* out, size_t n) {
    EXPECT_EQ(n, 4u);
    std::memcpy(out, &draws[next++], 4);
    return true;
  };
  EXPECT_EQ(RandomPin(source), 100000u);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(RandomPin(source), 999999u);
  for (int i = 0; i < 200; ++i) {
    const uint32_t pin = RandomPin();
    ASSERT_GE(pin, 100000u);
    ASSERT_LE(pin, 999999u);
  }
}

class FailClosedCodeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { SetProfileDir(profile.Path()); }
  void TearDown() override { SetProfileDir(L""); }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
};

// The code computation fails (empty) or yields something that is not six digits.
TEST_P(FailClosedCodeTest, FailedAuthenticatorCodeRefusesPairing) {
  const std::string broken = GetParam();
  Pairing pairing(PairingClock::System(), [&](std::span<const uint8_t>, uint64_t) { return broken; });
  ASSERT_TRUE(pairing.Load());
  pairing.SetPolicy({PairingMethod::Authenticator, 0, kSecret, false});

  bool mayPair = true;
  std::string reason;
  EXPECT_FALSE(pairing.ExpectedCode(1, TotpTimeStep(), mayPair, reason));
  EXPECT_FALSE(mayPair);
  EXPECT_EQ(reason, "The PC could not check the authenticator code. Try again.");

  // A device that offers exactly that code over a real connection is not admitted.
  test::DeviceIdentity device;
  test::HandshakeOptions options;
  options.pairing = test::PairingCode{1, TotpTimeStep(), broken};
  const test::HandshakeRun run = test::RunHandshake(pairing, device, options, "192.168.1.30");
  const test::HandshakeOutcome& o = run.device;
  EXPECT_EQ(run.host, 1);
  EXPECT_FALSE(o.hostHello);
  EXPECT_FALSE(o.admissionReceived);
  EXPECT_EQ(o.errorCode, 3);
  EXPECT_EQ(o.errorText, "The PC could not check the authenticator code. Try again.");
  EXPECT_TRUE(pairing.Devices().empty());
  const std::string text = log.Text();
  EXPECT_NE(text.find("ERROR Could not compute the authenticator code - pairing attempt refused"), std::string::npos);
  EXPECT_NE(text.find("WARN  [192.168.1.30] pairing code not accepted: The PC could not check"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BrokenCodes, FailClosedCodeTest, ::testing::Values("", "12345", "12a456"));

TEST(AuthenticatorCodeTest, TheSystemComputationGivesTheHotpCode) {
  EXPECT_EQ(SixDigitAuthenticatorCode(kSecret, 1234), HotpCode(kSecret, 1234, 6));
  EXPECT_EQ(SixDigitAuthenticatorCode(kSecret, 1234).size(), 6u);
}

}  // namespace
}  // namespace kelm
