#include "core/adb_devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelm {
namespace {

struct ListingCase {
  const char* name;
  std::string output;
  std::vector<std::pair<std::string, std::string>> expected;
};

TEST(AdbDevicesTest, ListingsYieldExactlyTheListedDevices) {
  const std::vector<ListingCase> cases = {
      {"heading, CRLF and blank last line",
       "List of devices attached\r\nR58M12AB\tdevice\r\nemulator-5554\tunauthorized\r\n\r\n",
       {{"R58M12AB", "device"}, {"emulator-5554", "unauthorized"}}},
      {"LF only, no final line end", "List of devices attached\nA1\toffline\nB2\tdevice",
       {{"A1", "offline"}, {"B2", "device"}}},
      {"state keeps everything after the first tab", "S1\tdevice\textra\r\n",
       {{"S1", "device\textra"}}},
      {"empty serial before the tab", "\tdevice\n", {{"", "device"}}},
      {"only one CR is removed", "S2\tdevice\r\r\n", {{"S2", "device\r"}}},
      {"nothing but the heading", "List of devices attached\r\n\r\n", {}},
      {"empty output", "", {}},
      {"lines without a tab are skipped", "* daemon started successfully\nS3 device\nS4\tdevice\n",
       {{"S4", "device"}}},
  };
  for (const ListingCase& c : cases) {
    const std::vector<AdbDeviceLine> lines = ParseAdbDevices(c.output);
    std::vector<std::pair<std::string, std::string>> got;
    for (const AdbDeviceLine& line : lines) {
      got.emplace_back(line.serial, line.state);
    }
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST(AdbDevicesTest, SerialValidity) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"R58M12AB", true},
      {"emulator-5554", true},
      {"192.168.1.20:5555", true},
      {"a_b.c:d-e", true},
      {std::string(128, 'x'), true},
      {std::string(1, 'Z'), true},
      {"", false},
      {std::string(129, 'x'), false},
      {"with blank", false},
      {"tab\there", false},
      {"caf\xC3\xA9", false},
      {"quote\"", false},
      {"semi;colon", false},
      {"-s", true},
      {"slash/", false},
      {std::string("nul\0x", 5), false},
  };
  for (const auto& [serial, valid] : cases) {
    EXPECT_EQ(IsValidAdbSerial(serial), valid) << serial;
  }
}

}  // namespace
}  // namespace kelm
