#include "core/local_addresses.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>
#include <memory>

#include "core/text.h"

namespace kelm {
namespace {

constexpr uint32_t kTypeEthernet = 6;
constexpr uint32_t kTypePpp = 23;
constexpr uint32_t kTypeWifi = 71;
constexpr uint32_t kTypeTunnel = 131;
constexpr uint32_t kTypeLoopback = 24;

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ContainsVirtualWord(std::string_view text) {
  static constexpr std::string_view kWords[] = {
      "vethernet", "wsl", "hyper-v", "virtualbox", "vmware", "virtual",
      "tap-",      "wireguard", "tailscale", "zerotier"};
  const std::string lower = AsciiLower(text);
  return std::any_of(std::begin(kWords), std::end(kWords), [&](std::string_view w) {
    return lower.find(w) != std::string::npos;
  });
}

}  // namespace

bool IsVirtualAdapter(uint32_t ifType, std::string_view friendlyName,
                      std::string_view description) {
  return ifType == kTypeTunnel || ifType == kTypePpp || ContainsVirtualWord(friendlyName) ||
         ContainsVirtualWord(description);
}

std::vector<LocalAddress> RankAddresses(std::vector<AdapterAddress> addresses) {
  const auto score = [](const AdapterAddress& a) {
    return (a.entry.isVirtual ? 0 : 4) + (a.bestRoute ? 2 : 0) + (a.wifiOrEthernet ? 1 : 0);
  };
  std::stable_sort(addresses.begin(), addresses.end(),
                   [&](const AdapterAddress& x, const AdapterAddress& y) {
                     return score(x) > score(y);
                   });
  std::vector<LocalAddress> out;
  out.reserve(addresses.size());
  for (auto& a : addresses) out.push_back(std::move(a.entry));
  return out;
}

std::vector<LocalAddress> LocalAddresses() {
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16384;
  auto buffer = std::make_unique<unsigned char[]>(size);  // zeroed
  auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
  ULONG rc = GetAdaptersAddresses(AF_INET, kFlags, nullptr, list, &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer = std::make_unique<unsigned char[]>(size);
    list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
    rc = GetAdaptersAddresses(AF_INET, kFlags, nullptr, list, &size);
  }
  if (rc != NO_ERROR) return {};

  // Any globally routed address serves to find the adapter of the default route.
  sockaddr_in publicAddress{};
  publicAddress.sin_family = AF_INET;
  publicAddress.sin_addr.s_addr = htonl(0x08080808);
  DWORD bestIndex = 0;
  const bool haveBest =
      GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&publicAddress), &bestIndex) == NO_ERROR;

  std::vector<AdapterAddress> found;
  for (const IP_ADAPTER_ADDRESSES* a = list; a != nullptr; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == kTypeLoopback) continue;
    const std::string friendly = a->FriendlyName ? WideToUtf8(a->FriendlyName) : std::string();
    const std::string description = a->Description ? WideToUtf8(a->Description) : std::string();
    const bool isVirtual = IsVirtualAdapter(a->IfType, friendly, description);
    const bool wifiOrEthernet = a->IfType == kTypeWifi || a->IfType == kTypeEthernet;
    const bool bestRoute = haveBest && a->IfIndex == bestIndex;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (sa == nullptr || sa->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      if (!inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text,
                     sizeof(text))) {
        continue;
      }
      if (std::string_view(text).starts_with("169.254.")) continue;
      found.push_back({LocalAddress{text, friendly, isVirtual}, bestRoute, wifiOrEthernet});
    }
  }
  return RankAddresses(std::move(found));
}

std::string ComputerName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &size)) return "Windows PC";
  return WideToUtf8(std::wstring_view(name, size));
}

}  // namespace kelm
