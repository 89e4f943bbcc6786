#include "core/net_address.h"

#include <vector>

#include "core/hex_digit.h"

namespace kelm {
namespace {

// Splits on ':' keeping empty pieces.
std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    if (colon == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
}

// Appends the 16-bit groups of one side of "::" (no empty groups allowed); the last
// group may be dotted IPv4 when `allowIPv4` is set.
bool ParseGroups(std::string_view text, bool allowIPv4, std::vector<uint8_t>& out) {
  if (text.empty()) return true;
  const auto parts = SplitColons(text);
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    if (allowIPv4 && i + 1 == parts.size() && part.find('.') != std::string_view::npos) {
      const auto v4 = ParseIPv4(part);
      if (!v4) return false;
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(*v4 >> shift));
      continue;
    }
    if (part.empty() || part.size() > 4) return false;
    unsigned value = 0;
    for (const char c : part) {
      const int h = HexValue(c);
      if (h < 0) return false;
      value = value * 16 + static_cast<unsigned>(h);
    }
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

}  // namespace

std::optional<uint32_t> ParseIPv4(std::string_view text) {
  uint32_t result = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    unsigned value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      if (++digits > 3 || value > 255) return std::nullopt;
      ++i;
    }
    result = (result << 8) | value;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
  }
  if (i != text.size()) return std::nullopt;
  return result;
}

std::optional<std::array<uint8_t, 16>> ParseIPv6(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::vector<uint8_t> head;
  std::vector<uint8_t> tail;
  const size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!ParseGroups(text, true, head) || head.size() != 16) return std::nullopt;
  } else {
    const std::string_view left = text.substr(0, gap);
    const std::string_view right = text.substr(gap + 2);
    if (right.find("::") != std::string_view::npos) return std::nullopt;
    if (!ParseGroups(left, false, head) || !ParseGroups(right, true, tail)) return std::nullopt;
    if (head.size() + tail.size() > 14) return std::nullopt;  // "::" stands for >= 1 group
  }
  std::array<uint8_t, 16> out{};
  for (size_t i = 0; i < head.size(); ++i) out[i] = head[i];
  for (size_t i = 0; i < tail.size(); ++i) out[16 - tail.size() + i] = tail[i];
  return out;
}

bool IsLanIPv4(uint32_t a) {
  return (a >> 24) == 10 || (a >> 20) == ((172u << 4) | 1u) || (a >> 16) == ((192u << 8) | 168u) ||
         (a >> 16) == ((169u << 8) | 254u);
}

bool IsPrivateAddress(std::string_view text) {
  constexpr std::string_view kMapped = "::ffff:";
  if (text.substr(0, kMapped.size()) == kMapped) text.remove_prefix(kMapped.size());
  if (const auto v4 = ParseIPv4(text)) return IsLanIPv4(*v4) || (*v4 >> 24) == 127;
  const auto v6 = ParseIPv6(text);
  if (!v6) return false;
  const auto& b = *v6;
  bool loopback = b[15] == 1;
  for (int i = 0; i < 15; ++i) loopback = loopback && b[i] == 0;
  if (loopback) return true;
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;  // fe80::/10
  if ((b[0] & 0xFE) == 0xFC) {                              // fc00::/7
    const bool tailscale = b[0] == 0xFD && b[1] == 0x7A && b[2] == 0x11 && b[3] == 0x5C &&
                           b[4] == 0xA1 && b[5] == 0xE0;
    return !tailscale;
  }
  return false;
}

bool IsLoopbackIPv6(std::span<const uint8_t, 16> a) {
  bool zeros10 = true;
  for (int i = 0; i < 10; ++i) zeros10 = zeros10 && a[i] == 0;
  if (!zeros10) return false;
  if (a[10] == 0xFF && a[11] == 0xFF) return a[12] == 127;
  return a[10] == 0 && a[11] == 0 && a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] == 1;
}

}  // namespace kelm
