// Parsing of STUN/TURN server URLs.
#include "connect/ice_server_url.h"

#include <algorithm>

#include "connect/stun_message.h"

namespace tavro::connect {
namespace {

constexpr std::string_view kStunScheme = "stun:";
constexpr std::string_view kTurnScheme = "turn:";
constexpr std::string_view kUdpTransport = "?transport=udp";
constexpr size_t kMaxPortDigits = 5;

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > kMaxPortDigits) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool IsIpv6Literal(std::string_view text) {
  return text.find(':') != std::string_view::npos && StunAddress::FromIp(text, 0).has_value();
}

}  // namespace

std::optional<IceServerHostPort> ParseIceServerUrl(std::string_view text) {
  if (text.empty() || text.find_first_of("/?#@ ") != std::string_view::npos) return std::nullopt;
  IceServerHostPort out;
  if (text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!IsIpv6Literal(host)) return std::nullopt;
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      auto port = ParsePort(rest.substr(1));
      if (!port) return std::nullopt;
      out.port = *port;
    }
    out.host = std::string(host);
    return out;
  }
  if (text.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  size_t colons = static_cast<size_t>(std::count(text.begin(), text.end(), ':'));
  if (colons >= 2) {
    // A bare IPv6 literal cannot carry a port.
    if (!IsIpv6Literal(text)) return std::nullopt;
    out.host = std::string(text);
    return out;
  }
  if (colons == 1) {
    size_t colon = text.find(':');
    auto port = ParsePort(text.substr(colon + 1));
    if (!port) return std::nullopt;
    out.port = *port;
    text = text.substr(0, colon);
  }
  if (text.empty()) return std::nullopt;
  out.host = std::string(text);
  return out;
}

std::optional<IceServerHostPort> ParseStunServer(std::string_view url) {
  if (url.starts_with(kStunScheme)) url.remove_prefix(kStunScheme.size());
  return ParseIceServerUrl(url);
}

std::optional<TurnServerEntry> ParseTurnServer(std::string_view url, std::string_view username,
                                               std::string_view credential) {
  if (!url.starts_with(kTurnScheme)) return std::nullopt;
  if (username.empty() || username.size() > kMaxTurnCredentialLength) return std::nullopt;
  if (credential.empty() || credential.size() > kMaxTurnCredentialLength) return std::nullopt;
  std::string_view rest = url.substr(kTurnScheme.size());
  size_t query = rest.find('?');
  if (query != std::string_view::npos) {
    if (rest.substr(query) != kUdpTransport) return std::nullopt;
    rest = rest.substr(0, query);
  }
  auto hostPort = ParseIceServerUrl(rest);
  if (!hostPort) return std::nullopt;
  return TurnServerEntry{hostPort->host, hostPort->port, std::string(username), std::string(credential)};
}

}  // namespace tavro::connect
