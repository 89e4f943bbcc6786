#pragma once
// The PC's own IPv4 addresses, best first, and its name, as the page shows them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

struct LocalAddress {
  std::string address;      // dotted IPv4
  std::string adapterName;  // friendly name, empty when it has none
  bool isVirtual = false;
};

// One adapter address with the facts its rank derives from.
struct AdapterAddress {
  LocalAddress entry;
  bool bestRoute = false;     // the adapter of the best route to a public address
  bool wifiOrEthernet = false;
};

// Tunnel or PPP adapters, and names or descriptions that look like virtual adapters.
bool IsVirtualAdapter(uint32_t ifType, std::string_view friendlyName,
                      std::string_view description);

// Stable sort by score (4 not virtual, 2 best route, 1 Wi-Fi or Ethernet), highest first.
std::vector<LocalAddress> RankAddresses(std::vector<AdapterAddress> addresses);

std::vector<LocalAddress> LocalAddresses();

// The physical DNS host name, or "Windows PC" when it cannot be read.
std::string ComputerName();

}  // namespace kelm
