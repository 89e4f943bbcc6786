// Parsing and writing of the ICE description text.
#include "connect/ice_description.h"

#include <charconv>

#include "connect/stun_message.h"

namespace tavro::connect {
namespace {

constexpr std::string_view kAttrPrefix = "a=";
constexpr std::string_view kCandidate = "candidate:";
constexpr std::string_view kUfrag = "ice-ufrag:";
constexpr std::string_view kPwd = "ice-pwd:";
constexpr std::string_view kEndOfCandidates = "end-of-candidates";
constexpr std::string_view kIceOptions = "ice-options:";
constexpr size_t kUfragMin = 4, kPwdMin = 22, kCredentialMax = 256, kFoundationMax = 32;

bool IsIceChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool IsIceText(std::string_view text, size_t min, size_t max) {
  if (text.size() < min || text.size() > max) return false;
  for (char c : text) {
    if (!IsIceChar(c)) return false;
  }
  return true;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at < line.size()) {
    size_t start = line.find_first_not_of(" \t\r\n", at);
    if (start == std::string_view::npos) break;
    size_t end = line.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    at = end;
  }
  return fields;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text, T max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<T>(value);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string IceCandidate::Attribute() const {
  std::string out = std::string(kCandidate) + foundation + " " + std::to_string(component) + " " + transport +
                    " " + std::to_string(priority) + " " + address + " " + std::to_string(port) + " typ " + type;
  if (!relatedAddress.empty()) {
    out += " raddr " + relatedAddress + " rport " + std::to_string(relatedPort);
  }
  return out;
}

std::optional<IceCandidate> ParseCandidateAttribute(std::string_view line) {
  line = TrimLineEnd(line);
  if (line.starts_with(kAttrPrefix)) line.remove_prefix(kAttrPrefix.size());
  if (!line.starts_with(kCandidate)) return std::nullopt;
  line.remove_prefix(kCandidate.size());
  auto fields = SplitFields(line);
  if (fields.size() < 8 || fields[6] != "typ") return std::nullopt;
  IceCandidate c;
  if (!IsIceText(fields[0], 1, kFoundationMax)) return std::nullopt;
  c.foundation = std::string(fields[0]);
  auto component = ParseNumber<uint32_t>(fields[1], 256);
  auto priority = ParseNumber<uint32_t>(fields[3], 0xFFFFFFFFu);
  auto port = ParseNumber<uint16_t>(fields[5], 65535);
  if (!component || *component != 1 || !priority || !port || *port == 0) return std::nullopt;
  if (!EqualsNoCase(fields[2], "udp")) return std::nullopt;
  // Only numeric addresses: a name (mDNS or DNS) would need a lookup.
  auto ip = StunAddress::FromIp(fields[4], *port);
  if (!ip) return std::nullopt;
  c.component = 1;
  c.transport = "UDP";
  c.priority = *priority;
  c.address = ip->IpText();
  c.port = *port;
  std::string_view type = fields[7];
  if (type != "host" && type != "srflx" && type != "prflx" && type != "relay") return std::nullopt;
  c.type = std::string(type);
  for (size_t i = 8; i + 1 < fields.size(); i += 2) {
    if (fields[i] == "raddr") {
      auto related = StunAddress::FromIp(fields[i + 1], 0);
      if (related) c.relatedAddress = related->IpText();
    } else if (fields[i] == "rport") {
      auto related = ParseNumber<uint16_t>(fields[i + 1], 65535);
      if (related) c.relatedPort = *related;
    }
  }
  if (c.relatedAddress.empty()) c.relatedPort = 0;
  return c;
}

std::optional<IceDescription> ParseIceDescription(std::string_view text) {
  IceDescription d;
  bool haveUfrag = false, havePwd = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = TrimLineEnd(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.starts_with(kAttrPrefix)) continue;
    std::string_view attr = line.substr(kAttrPrefix.size());
    if (attr.starts_with(kUfrag)) {
      std::string_view value = attr.substr(kUfrag.size());
      if (haveUfrag || !IsIceText(value, kUfragMin, kCredentialMax)) return std::nullopt;
      d.ufrag = std::string(value);
      haveUfrag = true;
    } else if (attr.starts_with(kPwd)) {
      std::string_view value = attr.substr(kPwd.size());
      if (havePwd || !IsIceText(value, kPwdMin, kCredentialMax)) return std::nullopt;
      d.pwd = std::string(value);
      havePwd = true;
    } else if (attr.starts_with(kCandidate)) {
      if (d.candidates.size() >= kMaxRemoteCandidates) continue;
      if (auto c = ParseCandidateAttribute(attr)) d.candidates.push_back(std::move(*c));
    } else if (attr == kEndOfCandidates) {
      d.endOfCandidates = true;
    } else if (attr.starts_with(kIceOptions)) {
      for (auto option : SplitFields(attr.substr(kIceOptions.size()))) {
        if (option == "ice2") d.ice2 = true;
      }
    }
  }
  if (!haveUfrag || !havePwd) return std::nullopt;
  return d;
}

std::string WriteIceDescription(const IceDescription& description) {
  std::string out;
  if (description.ice2) out += "a=ice-options:ice2\r\n";
  out += "a=ice-ufrag:" + description.ufrag + "\r\n";
  out += "a=ice-pwd:" + description.pwd + "\r\n";
  for (const auto& c : description.candidates) out += "a=" + c.Attribute() + "\r\n";
  if (description.endOfCandidates) out += "a=end-of-candidates\r\n";
  return out;
}

CandidateTypeAddress ParseCandidate(std::string_view line) {
  CandidateTypeAddress out;
  auto fields = SplitFields(line);
  for (size_t i = 0; i + 1 < fields.size(); ++i) {
    if (fields[i] == "typ") {
      out.type = std::string(fields[i + 1]);
      break;
    }
  }
  if (fields.size() >= 6) out.address = std::string(fields[4]) + " " + std::string(fields[5]);
  return out;
}

std::string StripRelayCandidates(std::string_view description) {
  std::string out;
  while (!description.empty()) {
    size_t end = description.find('\n');
    size_t take = end == std::string_view::npos ? description.size() : end + 1;
    std::string_view line = description.substr(0, take);
    description.remove_prefix(take);
    if (line.starts_with("a=candidate:") && line.find(" typ relay") != std::string_view::npos) continue;
    out += line;
  }
  return out;
}

}  // namespace tavro::connect
