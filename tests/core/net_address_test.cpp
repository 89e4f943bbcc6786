#include "core/net_address.h"

#include <gtest/gtest.h>

#include "core/percent_encode.h"

namespace kelm {
namespace {

TEST(NetAddressTest, IsPrivateAddress) {
  const struct {
    const char* text;
    bool isPrivate;
  } cases[] = {
      {"::ffff:192.168.1.20", true}, {"fe80::1", true},           {"fd00::1", true},
      {"fd7a:115c:a1e0::5", false},  {"100.64.0.1", false},       {"8.8.8.8", false},
      {"203.0.113.7", false},        {"pc.example.com", false},   {"", false},
      {"10.0.0.1", true},            {"127.0.0.1", true},         {"172.16.0.1", true},
      {"172.31.255.255", true},      {"172.32.0.1", false},       {"172.15.255.255", false},
      {"192.168.0.1", true},         {"192.169.0.1", false},      {"169.254.10.10", true},
      {"::1", true},                 {"::2", false},              {"fc00::1", true},
      {"fe00::1", false},            {"febf::1", true},           {"fec0::1", false},
      {"2001:db8::1", false},        {"::ffff:8.8.8.8", false},   {"::ffff:127.0.0.1", true},
      {"fd7a:115c:a1e1::5", true},   {"10.0.0.256", false},       {"10.0.0", false},
      {"10.0.0.1.", false},          {"1:2:3:4:5:6:7:8:9", false}, {"1::2::3", false},
      {"fe80::1:2:3:4:5:6:7", false}, {"fe80:0:0:0:0:0:0:1", true}, {"::ffff:", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsPrivateAddress(c.text), c.isPrivate);
  }
}

TEST(NetAddressTest, IsLoopbackIPv6) {
  using A = std::array<uint8_t, 16>;
  const struct {
    A bytes;
    bool loopback;
  } cases[] = {
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true},
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1}, true},
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 9, 8, 7}, true},
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1}, false},
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
      {A{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false},
      {A{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsLoopbackIPv6(c.bytes), c.loopback);
}

TEST(DiscoveryTest, SenderFilter) {
  const struct {
    const char* text;
    bool answered;
  } cases[] = {
      {"127.0.0.1", false},     {"100.64.0.1", false}, {"172.31.255.255", true},
      {"172.32.0.1", false},    {"10.1.2.3", true},    {"192.168.50.1", true},
      {"169.254.1.1", true},    {"8.8.8.8", false},    {"172.16.0.0", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto v4 = ParseIPv4(c.text);
    ASSERT_TRUE(v4);
    EXPECT_EQ(IsLanIPv4(*v4), c.answered);
  }
}

TEST(PercentEncodeTest, Table) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {" ", "%20"},
      {"/", "%2F"},
      {"\xC3\xBC", "%C3%BC"},
      {"AZaz09-._~", "AZaz09-._~"},
      {"a+b=c&d", "a%2Bb%3Dc%26d"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PercentEncode(c.in), c.out);
  EXPECT_EQ(PercentEncode(std::string_view("\0\xFF", 2)), "%00%FF");
}

}  // namespace
}  // namespace kelm
