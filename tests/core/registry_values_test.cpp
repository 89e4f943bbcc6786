// Registry values through RegKey: reads bounded by the caller, strings cut at their first
// terminator, writes and deletes, checked against the registry's own calls.
#include "core/registry_values.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kelm {
namespace {

class RegistryValuesTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }

  // Written with the registry's own call, not the helper under test.
  void Put(const wchar_t* name, DWORD type, const void* data, size_t size) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), name, type, data, static_cast<DWORD>(size)),
              ERROR_SUCCESS);
  }
  std::vector<uint8_t> Stored(const wchar_t* name, DWORD& type) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, path_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return {};
    }
    std::vector<uint8_t> bytes(size);
    RegGetValueW(HKEY_CURRENT_USER, path_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, bytes.data(), &size);
    bytes.resize(size);
    return bytes;
  }

  const std::wstring path_ = L"Software\\tavro-registry-values-test-" + std::to_wstring(GetCurrentProcessId());
};

TEST_F(RegistryValuesTest, OpenFindsOnlyAnExistingKeyCreateMakesIt) {
  EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, path_, KEY_QUERY_VALUE));
  EXPECT_TRUE(CreateRegKey(HKEY_CURRENT_USER, path_, KEY_SET_VALUE));
  EXPECT_TRUE(OpenRegKey(HKEY_CURRENT_USER, path_, KEY_QUERY_VALUE));
}

TEST_F(RegistryValuesTest, ReadsAreBoundedByTheCallersLimit) {
  const DWORD number = 0x01020304;
  Put(L"n", REG_DWORD, &number, sizeof number);
  const std::vector<uint8_t> big(300, 7);
  Put(L"big", REG_BINARY, big.data(), big.size());
  const RegKey key = OpenRegKey(HKEY_CURRENT_USER, path_, KEY_QUERY_VALUE);
  ASSERT_TRUE(key);

  struct Case {
    const wchar_t* name;
    DWORD limit;
    LSTATUS status;
    DWORD type, size;
    size_t bytes;
  };
  for (const Case& c : {Case{L"n", 4, ERROR_SUCCESS, REG_DWORD, 4, 4}, Case{L"n", 3, ERROR_SUCCESS, REG_DWORD, 4, 0},
                        Case{L"big", 300, ERROR_SUCCESS, REG_BINARY, 300, 300},
                        Case{L"big", 299, ERROR_SUCCESS, REG_BINARY, 300, 0},
                        Case{L"big", kAnyRegValueSize, ERROR_SUCCESS, REG_BINARY, 300, 300},
                        Case{L"missing", 100, ERROR_FILE_NOT_FOUND, REG_NONE, 0, 0}}) {
    RegValue value;
    EXPECT_EQ(ReadRegValue(key, c.name, c.limit, value), c.status) << c.limit;
    EXPECT_EQ(value.type, c.type) << c.limit;
    EXPECT_EQ(value.size, c.size) << c.limit;
    EXPECT_EQ(value.bytes.size(), c.bytes) << c.limit;
  }
  RegValue value;
  ASSERT_EQ(ReadRegValue(key, L"n", 4, value), ERROR_SUCCESS);
  EXPECT_EQ(value.bytes, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(ReadRegValue(RegKey{}, L"n", 4, value), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryValuesTest, StringsEndAtTheirFirstTerminatorAndNeedNone) {
  const wchar_t twoParts[] = L"ab\0cd";  // with the final terminator: 6 characters
  Put(L"parts", REG_SZ, twoParts, sizeof twoParts);
  const wchar_t bare[] = {L'x', L'y', L'z'};  // no terminator at all
  Put(L"bare", REG_EXPAND_SZ, bare, sizeof bare);
  const uint8_t odd[] = {'q', 0, 'r'};  // an odd last byte
  Put(L"odd", REG_SZ, odd, sizeof odd);
  const DWORD number = 5;
  Put(L"n", REG_DWORD, &number, sizeof number);
  const RegKey key = OpenRegKey(HKEY_CURRENT_USER, path_, KEY_QUERY_VALUE);

  struct Case {
    const wchar_t* name;
    std::optional<std::wstring> text;
  };
  for (const Case& c : {Case{L"parts", L"ab"}, Case{L"bare", L"xyz"}, Case{L"odd", L"q"}, Case{L"n", std::nullopt}}) {
    RegValue value;
    ASSERT_EQ(ReadRegValue(key, c.name, kAnyRegValueSize, value), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(RegValueString(value), c.text) << c.name;
  }
  RegValue parts;
  ASSERT_EQ(ReadRegValue(key, L"parts", kAnyRegValueSize, parts), ERROR_SUCCESS);
  EXPECT_EQ(RegValueChars(parts), (std::vector<wchar_t>{L'a', L'b', L'\0', L'c', L'd', L'\0'}));
}

TEST_F(RegistryValuesTest, WritesAndDeletesAsTheRegistryShowsThem) {
  const RegKey key = CreateRegKey(HKEY_CURRENT_USER, path_, KEY_SET_VALUE);
  ASSERT_TRUE(key);
  ASSERT_EQ(WriteRegString(key, L"s", L"hello"), ERROR_SUCCESS);
  const uint8_t raw[] = {1, 2, 3};
  ASSERT_EQ(WriteRegValue(key, L"b", REG_BINARY, raw), ERROR_SUCCESS);

  DWORD type = 0;
  const std::vector<uint8_t> s = Stored(L"s", type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(s.size(), 6 * sizeof(wchar_t));  // with its terminator
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(s.data())), L"hello");
  EXPECT_EQ(Stored(L"b", type), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  EXPECT_EQ(DeleteRegValue(key, L"s"), ERROR_SUCCESS);
  EXPECT_TRUE(Stored(L"s", type).empty());
  EXPECT_EQ(DeleteRegValue(key, L"s"), ERROR_SUCCESS);  // already gone: still deleted
  EXPECT_EQ(WriteRegString(RegKey{}, L"s", L"x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(DeleteRegValue(RegKey{}, L"s"), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace kelm
