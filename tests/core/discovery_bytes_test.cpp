// Discovery's datagrams and the ranking of local addresses (Windows-side helpers).
#include <gtest/gtest.h>

#include "core/discovery.h"
#include "core/local_addresses.h"

namespace kelm {
namespace {

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
