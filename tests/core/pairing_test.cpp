#include "core/pairing.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "core/encoding.h"
#include "core/log.h"
#include "core/otp.h"
#include "core/paths.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

struct FakeTime {
  uint64_t ms = 1000000;
  int64_t unix = 1700000000;
  uint64_t step = 56666666;
};

PairingClock ClockOf(const std::shared_ptr<FakeTime>& t) {
  return PairingClock{[t] { return t->ms; }, [t] { return t->unix; }, [t] { return t->step; }};
}

DeviceKey KeyNumber(uint8_t n) {
  DeviceKey key{};
  key[0] = 0x04;
  for (size_t i = 1; i < key.size(); ++i) key[i] = static_cast<uint8_t>(n + i);
  return key;
}

const std::vector<uint8_t> kSecret = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                      '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};

class PairingTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProfileDir(profile.Path()); }
  void TearDown() override { SetProfileDir(L""); }

  std::unique_ptr<Pairing> NewStore() { return std::make_unique<Pairing>(ClockOf(time)); }
  Json FileJson() { return Json::parse(test::ReadFileBytes(profile.File(L"devices.json"))); }

  test::TempDir profile;
  std::shared_ptr<FakeTime> time = std::make_shared<FakeTime>();
  std::unique_ptr<Pairing> store = NewStore();
};

TEST_F(PairingTest, PinIsSixDigitsWhileTheWindowIsOpen) {
  store->SetPolicy({PairingMethod::Pin, 4321, {}, false});
  bool mayPair = true;
  std::string reason;
  EXPECT_FALSE(store->ExpectedCode(0, 0, mayPair, reason));
  EXPECT_FALSE(mayPair);
  EXPECT_EQ(reason, "Open tavro on the PC to pair with its PIN (the PIN works while the tavro window is open).");

  store->NotePcWindowOpen();
  time->ms += 300000;
  EXPECT_EQ(store->ExpectedCode(0, 0, mayPair, reason), "004321");
  EXPECT_TRUE(mayPair);
  time->ms += 1;
  EXPECT_FALSE(store->ExpectedCode(0, 0, mayPair, reason));

  store->SetPinAlwaysValid(true);
  EXPECT_EQ(store->ExpectedCode(0, 0, mayPair, reason), "004321");
}

TEST_F(PairingTest, ReasonsForEveryRefusal) {
  struct Case {
    PairingPolicy policy;
    uint8_t kind;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{PairingMethod::Authenticator, 0, kSecret, false}, 0,
       "This PC pairs new devices with an authenticator app code, not a PIN."},
      {{PairingMethod::Off, 5, {}, false}, 0, "Pairing new devices is turned off on this PC."},
      {{PairingMethod::Pin, 0, {}, false}, 0, "Pairing new devices is turned off on this PC."},
      {{PairingMethod::Pin, 5, kSecret, false}, 1, "This PC pairs new devices with a PIN, not an authenticator code."},
      {{PairingMethod::Off, 0, kSecret, false}, 1, "Pairing new devices is turned off on this PC."},
      {{PairingMethod::Authenticator, 0, {}, false}, 1, "Pairing new devices is turned off on this PC."},
      {{PairingMethod::Pin, 5, {}, false}, 7, "Unknown pairing code type."},
  };
  store->SetPinAlwaysValid(true);
  for (const Case& c : cases) {
    store->SetPolicy(c.policy);
    bool mayPair = true;
    std::string reason;
    EXPECT_FALSE(store->ExpectedCode(c.kind, time->step, mayPair, reason)) << c.reason;
    EXPECT_FALSE(mayPair);
    EXPECT_EQ(reason, c.reason);
  }
}

TEST_F(PairingTest, AuthenticatorStepsAndReplayGuardSurviveReload) {
  store->SetPolicy({PairingMethod::Authenticator, 0, kSecret, false});
  bool mayPair = false;
  std::string reason;
  const uint64_t s = time->step;
  EXPECT_FALSE(store->ExpectedCode(1, s + 2, mayPair, reason));
  EXPECT_EQ(reason, "The authenticator code has expired. Check that the time on this device and the PC is correct.");
  EXPECT_FALSE(store->ExpectedCode(1, s - 2, mayPair, reason));

  const auto code = store->ExpectedCode(1, s - 1, mayPair, reason);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, HotpCode(kSecret, s - 1, 6));
  EXPECT_TRUE(mayPair);
  store->NoteAuthenticatorStepUsed(1, s - 1);
  EXPECT_FALSE(store->ExpectedCode(1, s - 1, mayPair, reason));
  EXPECT_EQ(reason, "This authenticator code was already used. Wait for the next code.");

  auto reloaded = NewStore();
  reloaded->Load();
  reloaded->SetPolicy({PairingMethod::Authenticator, 0, kSecret, false});
  EXPECT_FALSE(reloaded->ExpectedCode(1, s - 1, mayPair, reason));
  EXPECT_EQ(reason, "This authenticator code was already used. Wait for the next code.");
  EXPECT_TRUE(reloaded->ExpectedCode(1, s, mayPair, reason));
  EXPECT_EQ(FileJson()["lastAuthenticatorStep"].get<uint64_t>(), s - 1);
}

TEST_F(PairingTest, CodeEveryTimeAsksForCodeButPairsNothingNew) {
  store->SetPolicy({PairingMethod::Pin, 123456, kSecret, true});
  bool mayPair = true;
  std::string reason;
  EXPECT_TRUE(store->ExpectedCode(1, time->step, mayPair, reason));
  EXPECT_FALSE(mayPair);
}

TEST_F(PairingTest, SourceBlocksDoubleUpToAnHour) {
  // The block after the k-th charge: none for the first two, then 30 s doubling
  // up to an hour.
  const std::vector<uint64_t> blocks = {0, 0, 30000, 60000, 120000, 240000, 480000, 960000, 1920000,
                                        3600000, 3600000, 3600000};
  for (size_t k = 0; k < blocks.size(); ++k) {
    EXPECT_EQ(store->ChargeAttempt("192.0.2.7"), 0u) << k;
    if (blocks[k] != 0) {
      EXPECT_EQ(store->ChargeAttempt("192.0.2.7"), blocks[k]) << k;  // blocked: not charged
      time->ms += blocks[k] - 1;
      EXPECT_EQ(store->ChargeAttempt("192.0.2.7"), 1u) << k;
      time->ms += 1;
    }
  }
  EXPECT_EQ(store->ChargeAttempt("192.0.2.8"), 0u);
}

TEST_F(PairingTest, AddressesOfOneSlash64ShareAnEntry) {
  EXPECT_EQ(PairingSourceKey("2001:db8:1:2::5"), "2001:0db8:0001:0002::/64");
  EXPECT_EQ(PairingSourceKey("2001:db8:1:2::9"), PairingSourceKey("2001:db8:1:2::5"));
  EXPECT_EQ(PairingSourceKey("::ffff:192.0.2.1"), "::ffff:192.0.2.1");
  EXPECT_EQ(PairingSourceKey("192.0.2.1"), "192.0.2.1");
  EXPECT_EQ(PairingSourceKey("not:an:address::x"), "not:an:address::x");
  store->ChargeAttempt("2001:db8:1:2::5");
  store->ChargeAttempt("2001:db8:1:2::9");
  store->ChargeAttempt("2001:db8:1:2::5");
  EXPECT_EQ(store->ChargeAttempt("2001:db8:1:2::9"), 30000u);
}

TEST_F(PairingTest, GlobalLockGrowsAndAnAcceptedCodeResetsIt) {
  std::vector<std::string> paused;
  store->SetPausedCallback([&](const std::string& text) { paused.push_back(text); });
  auto tenFromDifferentSources = [&](int round) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(store->ChargeAttempt(std::format("198.51.{}.{}", round, i)), 0u);
    }
  };
  tenFromDifferentSources(1);
  EXPECT_EQ(store->ChargeAttempt("203.0.113.1"), 5u * 60000);
  ASSERT_EQ(paused.size(), 1u);
  EXPECT_EQ(paused[0], "Someone entered several wrong pairing codes. Pairing new devices is paused for 5 minutes.");

  time->ms += 5 * 60000;
  tenFromDifferentSources(2);
  EXPECT_EQ(store->ChargeAttempt("203.0.113.1"), 10u * 60000);

  time->ms += 10 * 60000;
  EXPECT_EQ(store->ChargeAttempt("203.0.113.2"), 0u);
  store->NoteCodeAccepted("203.0.113.2");
  // The queue was cleared by the lock and holds one attempt; a second accept on an
  // empty queue must be harmless.
  store->NoteCodeAccepted("203.0.113.2");
  tenFromDifferentSources(3);
  EXPECT_EQ(store->ChargeAttempt("203.0.113.1"), 5u * 60000);
}

TEST_F(PairingTest, AttemptsOlderThanTenMinutesDoNotCount) {
  for (int i = 0; i < 9; ++i) store->ChargeAttempt(std::format("198.51.100.{}", i));
  time->ms += 600001;
  EXPECT_EQ(store->ChargeAttempt("198.51.100.50"), 0u);
  EXPECT_EQ(store->ChargeAttempt("198.51.100.51"), 0u);
}

TEST_F(PairingTest, DevicesAreSavedSortedAndReloaded) {
  int changes = 0;
  store->SetChangedCallback([&] { ++changes; });
  store->AddDevice(KeyNumber(1), "Pixel");
  time->unix += 100;
  store->AddDevice(KeyNumber(1), "Renamed");
  EXPECT_EQ(changes, 2);
  std::vector<PairedDevice> devices = store->Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].name, "Renamed");
  EXPECT_EQ(devices[0].pairedAt, 1700000000);
  EXPECT_EQ(devices[0].lastSeen, 1700000100);
  EXPECT_EQ(devices[0].id.size(), 16u);

  const std::string text = test::ReadFileBytes(profile.File(L"devices.json"));
  EXPECT_EQ(text.find("{\n  \"devices\": [\n    {\n      \"key\": "), 0u) << text;
  EXPECT_LT(text.find("\"lastSeen\""), text.find("\"name\""));
  EXPECT_LT(text.find("\"name\""), text.find("\"pairedAt\""));
  EXPECT_FALSE(test::FileExists(profile.File(L"devices.json.tmp")));

  auto reloaded = NewStore();
  reloaded->Load();
  ASSERT_EQ(reloaded->Devices().size(), 1u);
  EXPECT_TRUE(reloaded->IsPaired(KeyNumber(1)));
  EXPECT_EQ(reloaded->Devices()[0].id, devices[0].id);
  EXPECT_TRUE(reloaded->RemoveDevice(devices[0].id));
  EXPECT_FALSE(reloaded->RemoveDevice(devices[0].id));
  EXPECT_FALSE(reloaded->IsPaired(KeyNumber(1)));
}

TEST_F(PairingTest, SixtyFifthDeviceReplacesTheLeastRecentlySeen) {
  for (uint8_t i = 0; i < 64; ++i) {
    time->unix = 1000 + i;
    store->AddDevice(KeyNumber(i), "d");
  }
  time->unix = 5000;
  store->TouchLastSeen(KeyNumber(0));
  store->AddDevice(KeyNumber(200), "new");
  EXPECT_EQ(store->Devices().size(), 64u);
  EXPECT_TRUE(store->IsPaired(KeyNumber(0)));
  EXPECT_FALSE(store->IsPaired(KeyNumber(1)));
  EXPECT_TRUE(store->IsPaired(KeyNumber(200)));
}

TEST_F(PairingTest, NamesAreCutAtCharactersAndCleaned) {
  const std::string seventy(70, 'n');
  store->AddDevice(KeyNumber(1), seventy);
  // 63 ASCII bytes and a two-byte character: the character does not fit.
  store->AddDevice(KeyNumber(2), std::string(63, 'a') + "\xc3\xa9" + "tail");
  store->AddDevice(KeyNumber(3), "bad\xff\xfe name");
  store->AddDevice(KeyNumber(4), "");
  const std::vector<PairedDevice> d = store->Devices();
  EXPECT_EQ(d[0].name, std::string(64, 'n'));
  EXPECT_EQ(d[1].name, std::string(63, 'a'));
  EXPECT_EQ(d[2].name, "bad\xEF\xBF\xBD\xEF\xBF\xBD name");
  EXPECT_EQ(d[3].name, "Device");
  EXPECT_EQ(FileJson()["devices"].size(), 4u);
}

TEST_F(PairingTest, LoadSkipsBadKeysAndStopsAtAWrongType) {
  const std::string good = Base64Encode(KeyNumber(1));
  const std::string good2 = Base64Encode(KeyNumber(2));
  const std::string shortKey = Base64Encode(std::vector<uint8_t>(33, 4));
  const Json doc = {{"devices",
                     {{{"key", shortKey}, {"name", "short"}},
                      {{"key", good}, {"name", "ok"}, {"pairedAt", 5}},
                      {{"key", good2}, {"name", 17}},
                      {{"key", Base64Encode(KeyNumber(3))}, {"name", "never read"}}}},
                    {"lastAuthenticatorStep", 9}};
  ASSERT_TRUE(test::WriteFileBytes(profile.File(L"devices.json"), doc.dump()));
  ASSERT_TRUE(OpenLogFile(profile.File(L"test.log")));
  store->Load();
  CloseLogFile();
  EXPECT_NE(test::ReadFileBytes(profile.File(L"test.log")).find("WARN  Could not read the paired devices list: "),
            std::string::npos);
  const std::vector<PairedDevice> d = store->Devices();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].name, "ok");
  EXPECT_EQ(d[0].pairedAt, 5);
  EXPECT_EQ(d[0].lastSeen, 0);
}

TEST_F(PairingTest, FailedSaveIsLoggedAndNotThrown) {
  test::LogCapture log{profile.File(L"pairing.log")};
  store->AddDevice(KeyNumber(1), "First");
  ASSERT_EQ(FileJson()["devices"].size(), 1u);
  // A folder where the save writes its temporary file: the save cannot happen.
  ASSERT_TRUE(CreateDirectoryW(profile.File(L"devices.json.tmp").c_str(), nullptr));
  EXPECT_NO_THROW(store->AddDevice(KeyNumber(2), "Second"));
  EXPECT_EQ(store->Devices().size(), 2u);  // kept in memory
  EXPECT_EQ(FileJson()["devices"].size(), 1u);  // the old file stays whole
  EXPECT_NE(log.Text().find("WARN  Could not save the paired devices list"), std::string::npos);
}

}  // namespace
}  // namespace kelm
