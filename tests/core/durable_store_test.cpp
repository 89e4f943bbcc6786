// The paired-device and settings files: flushed before they replace the old file,
// and no pairing lost when two host processes share one profile.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "core/durable_file.h"
#include "core/encoding.h"
#include "core/file_lock.h"
#include "core/log.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "core/settings.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/recording_file_calls.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

using test::RecordingFileCalls;

DeviceKey KeyNumber(unsigned n) {
  DeviceKey key{};
  key[0] = 0x04;
  for (size_t i = 1; i < key.size(); ++i) key[i] = static_cast<uint8_t>(n * 7 + i);
  return key;
}

class DurableStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProfileDir(profile.Path()); }
  void TearDown() override { SetProfileDir(L""); }

  test::TempDir profile;
};

TEST_F(DurableStoreTest, DevicesFileIsFlushedBeforeItReplacesTheOldOne) {
  Pairing store;
  RecordingFileCalls recorder;
  {
    ScopedFileCalls scoped(recorder);
    store.AddDevice(KeyNumber(1), "Tablet");
  }
  EXPECT_EQ(recorder.calls, (std::vector<std::wstring>{L"create devices.json.tmp", L"write", L"flush", L"close",
                                                        L"move devices.json.tmp devices.json"}));
  EXPECT_NE(test::ReadFileBytes(profile.File(L"devices.json")).find("Tablet"), std::string::npos);
}

TEST_F(DurableStoreTest, SettingsFileIsFlushedBeforeItReplacesTheOldOne) {
  RecordingFileCalls recorder;
  Settings settings;
  settings.bitrateMbps = 42;
  {
    ScopedFileCalls scoped(recorder);
    ASSERT_TRUE(SaveSettings(settings));
  }
  EXPECT_EQ(recorder.calls, (std::vector<std::wstring>{L"create settings.json.tmp", L"write", L"flush", L"close",
                                                        L"move settings.json.tmp settings.json"}));
  EXPECT_EQ(LoadSettings().bitrateMbps, 42u);
}

TEST_F(DurableStoreTest, AFailedFlushLeavesTheOldFileAndNoTemporary) {
  test::LogCapture log(profile.File(L"host.log"));
  Pairing store;
  store.AddDevice(KeyNumber(1), "Kept");
  const std::string before = test::ReadFileBytes(profile.File(L"devices.json"));
  RecordingFileCalls recorder;
  recorder.failFlush = true;
  {
    ScopedFileCalls scoped(recorder);
    store.AddDevice(KeyNumber(2), "Lost");
  }
  EXPECT_EQ(recorder.calls, (std::vector<std::wstring>{L"create devices.json.tmp", L"write", L"flush", L"close",
                                                        L"delete devices.json.tmp"}));
  EXPECT_EQ(test::ReadFileBytes(profile.File(L"devices.json")), before);
  EXPECT_EQ(GetFileAttributesW(profile.File(L"devices.json.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(log.Text().find("WARN  Could not save the paired devices list\r\n"), std::string::npos);
}

TEST_F(DurableStoreTest, TwoStoresOnOneProfileKeepEachOthersDevices) {
  Pairing first;
  Pairing second;
  first.AddDevice(KeyNumber(1), "one");
  second.AddDevice(KeyNumber(2), "two");  // re-reads the file: "one" stays
  first.AddDevice(KeyNumber(3), "three");
  second.RemoveDevice(KeyFingerprint(KeyNumber(1)));
  Pairing reader;
  ASSERT_TRUE(reader.Load());
  std::set<std::string> names;
  for (const PairedDevice& d : reader.Devices()) names.insert(d.name);
  EXPECT_EQ(names, (std::set<std::string>{"two", "three"}));
}

TEST_F(DurableStoreTest, ProcessesAddingDevicesAtOnceKeepEveryDevice) {
  constexpr unsigned kProcesses = 3;
  constexpr unsigned kEach = 15;
  std::vector<std::unique_ptr<test::ChildProcess>> writers;
  for (unsigned p = 0; p < kProcesses; ++p) {
    auto writer = std::make_unique<test::ChildProcess>();
    const std::wstring line = L"\"" + test::SiblingExe(L"pairing_writer.exe") + L"\" \"" + profile.Path() + L"\" " +
                              std::to_wstring(100 + p * kEach) + L" " + std::to_wstring(kEach);
    ASSERT_TRUE(writer->Start(line, profile.File(L"writer" + std::to_wstring(p) + L".txt")));
    writers.push_back(std::move(writer));
  }
  for (auto& writer : writers) {
    uint32_t code = 0xFFFF;
    ASSERT_TRUE(writer->Wait(60000, code));
    EXPECT_EQ(code, 0u) << writer->Output();
  }
  const Json doc = Json::parse(test::ReadFileBytes(profile.File(L"devices.json")));
  std::set<std::string> keys;
  for (const Json& d : doc["devices"]) keys.insert(d["key"].get<std::string>());
  std::set<std::string> expected;
  for (unsigned n = 100; n < 100 + kProcesses * kEach; ++n) expected.insert(Base64Encode(KeyNumber(n)));
  EXPECT_EQ(keys, expected);
}

TEST(FileLockTest, OneHolderAtATimeAndOneNamePerFile) {
  EXPECT_EQ(FileLock::MutexName(L"C:\\Users\\A\\devices.json"), FileLock::MutexName(L"c:\\users\\a\\DEVICES.json"));
  EXPECT_NE(FileLock::MutexName(L"C:\\Users\\A\\devices.json"), FileLock::MutexName(L"C:\\Users\\B\\devices.json"));
  const std::wstring path = L"C:\\lock-test\\" + std::to_wstring(GetCurrentProcessId());
  FileLock held(path);
  ASSERT_TRUE(held.held());
  bool second = true;
  std::thread other([&] { second = FileLock(path, 200).held(); });
  other.join();
  EXPECT_FALSE(second);  // another thread (as another process would) waits and gives up
}

}  // namespace
}  // namespace kelm
