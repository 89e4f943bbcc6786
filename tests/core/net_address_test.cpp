#include "core/net_address.h"

#include <gtest/gtest.h>

#include "core/discovery.h"
#include "core/local_addresses.h"
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

TEST(DiscoveryTest, ProbeAndReplyBytes) {
  const auto probe = [](std::string_view s) {
    return IsDiscoveryProbe({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
  };
  EXPECT_FALSE(probe("KELM?x"));
  EXPECT_TRUE(probe("KELM?xy"));
  EXPECT_FALSE(probe("KELM!xy"));
  EXPECT_FALSE(probe(""));
  EXPECT_EQ(DiscoveryReply(27183, "PC"),
            (std::vector<uint8_t>{'K', 'E', 'L', 'M', '!', 0x03, 0x00, 0x2F, 0x6A, 0x02, 0x00,
                                  'P', 'C'}));
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

TEST(LocalAddressesTest, VirtualAdapters) {
  EXPECT_TRUE(IsVirtualAdapter(6, "vethernet (Default Switch)", ""));
  EXPECT_TRUE(IsVirtualAdapter(6, "Ethernet 3", "TAP-Windows Adapter V9"));
  EXPECT_TRUE(IsVirtualAdapter(131, "Teredo", ""));
  EXPECT_TRUE(IsVirtualAdapter(23, "Dial-up", ""));
  EXPECT_TRUE(IsVirtualAdapter(71, "TAILSCALE", ""));
  EXPECT_FALSE(IsVirtualAdapter(71, "Wi-Fi", "Intel(R) Wi-Fi 6 AX201"));
  EXPECT_FALSE(IsVirtualAdapter(6, "Ethernet", "Realtek PCIe GbE"));
}

TEST(LocalAddressesTest, RankingIsStableAndPrefersPhysical) {
  const auto entry = [](const char* address, const char* name, bool isVirtual) {
    return LocalAddress{address, name, isVirtual};
  };
  std::vector<AdapterAddress> in = {
      {entry("172.20.0.1", "vEthernet (WSL)", true), false, true},
      {entry("10.0.0.5", "Ethernet", false), false, true},
      {entry("10.0.0.6", "Ethernet 2", false), false, true},
      {entry("192.168.1.9", "Wi-Fi", false), true, true},
      {entry("10.8.0.2", "Other", false), false, false},
  };
  const auto out = RankAddresses(in);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].address, "192.168.1.9");
  EXPECT_EQ(out[1].address, "10.0.0.5");  // equal scores keep their order
  EXPECT_EQ(out[2].address, "10.0.0.6");
  EXPECT_EQ(out[3].address, "10.8.0.2");
  EXPECT_EQ(out[4].address, "172.20.0.1");
  EXPECT_TRUE(out[4].isVirtual);
  EXPECT_EQ(out[4].adapterName, "vEthernet (WSL)");
}

TEST(LocalAddressesTest, ComputerNameIsNotEmpty) {
  EXPECT_FALSE(ComputerName().empty());
}

}  // namespace
}  // namespace kelm
