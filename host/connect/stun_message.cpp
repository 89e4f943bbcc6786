// STUN message encoding, parsing and checks.
#include "connect/stun_message.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "connect/stun_hash.h"
#include "core/byte_order.h"

namespace tavro::connect {
namespace {

constexpr uint8_t kFamilyV4 = 0x01;
constexpr uint8_t kFamilyV6 = 0x02;
constexpr size_t kAttrHeaderSize = 4;
constexpr size_t kFingerprintSize = 4;


void AppendAttribute(std::vector<uint8_t>& out, uint16_t type, std::span<const uint8_t> value) {
  kelm::bytes::AppendBe<uint16_t>(out, type);
  kelm::bytes::AppendBe<uint16_t>(out, static_cast<uint16_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
  while (out.size() % 4 != 0) out.push_back(0);
}

std::optional<uint8_t> ParseByte(std::string_view part) {
  if (part.empty() || part.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255 || (part.size() > 1 && part[0] == '0')) return std::nullopt;
  return static_cast<uint8_t>(value);
}

bool ParseV4(std::string_view text, uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    size_t dot = text.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return false;
    auto b = ParseByte(text.substr(0, dot));
    if (!b) return false;
    out[i] = *b;
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  return true;
}

bool ParseV6(std::string_view text, uint8_t* out) {
  uint16_t head[8], tail[8];
  int nHead = 0, nTail = 0;
  bool compressed = false;
  size_t gap = text.find("::");
  if (gap != std::string_view::npos) {
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    compressed = true;
  }
  auto parseGroups = [&](std::string_view part, uint16_t* groups, int& count, bool allowV4) {
    if (part.empty()) return true;
    while (true) {
      size_t colon = part.find(':');
      std::string_view group = part.substr(0, colon);
      if (colon == std::string_view::npos && allowV4 && group.find('.') != std::string_view::npos) {
        uint8_t v4[4];
        if (count > 6 || !ParseV4(group, v4)) return false;
        groups[count++] = static_cast<uint16_t>((v4[0] << 8) | v4[1]);
        groups[count++] = static_cast<uint16_t>((v4[2] << 8) | v4[3]);
        return true;
      }
      if (group.empty() || group.size() > 4 || count >= 8) return false;
      unsigned value = 0;
      auto [end, ec] = std::from_chars(group.data(), group.data() + group.size(), value, 16);
      if (ec != std::errc{} || end != group.data() + group.size()) return false;
      groups[count++] = static_cast<uint16_t>(value);
      if (colon == std::string_view::npos) return true;
      part = part.substr(colon + 1);
    }
  };
  if (compressed) {
    if (!parseGroups(text.substr(0, gap), head, nHead, false)) return false;
    if (!parseGroups(text.substr(gap + 2), tail, nTail, true)) return false;
    if (nHead + nTail > 7) return false;
  } else {
    if (!parseGroups(text, head, nHead, true) || nHead != 8) return false;
  }
  uint16_t groups[8] = {};
  for (int i = 0; i < nHead; ++i) groups[i] = head[i];
  for (int i = 0; i < nTail; ++i) groups[8 - nTail + i] = tail[i];
  for (int i = 0; i < 8; ++i) {
    out[i * 2] = static_cast<uint8_t>(groups[i] >> 8);
    out[i * 2 + 1] = static_cast<uint8_t>(groups[i]);
  }
  return true;
}

// Header with the length field replaced, as the checksums are computed.
std::vector<uint8_t> PrefixWithLength(std::span<const uint8_t> bytes, size_t upTo, size_t lengthField) {
  std::vector<uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(upTo));
  kelm::bytes::StoreBe<uint16_t>(copy.data() + 2, static_cast<uint16_t>(lengthField));
  return copy;
}

}  // namespace

std::string StunAddress::IpText() const {
  char buf[64];
  if (!v6) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
  }
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>((ip[i * 2] << 8) | ip[i * 2 + 1]);
  int bestAt = -1, bestLen = 1;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > bestLen) bestAt = i, bestLen = j - i;
    i = j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestAt) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(buf, sizeof buf, "%x", g[i]);
    out += buf;
  }
  return out;
}

std::optional<StunAddress> StunAddress::FromIp(std::string_view text, uint16_t port) {
  StunAddress address;
  address.port = port;
  if (text.find(':') != std::string_view::npos) {
    address.v6 = true;
    if (!ParseV6(text, address.ip.data())) return std::nullopt;
  } else if (!ParseV4(text, address.ip.data())) {
    return std::nullopt;
  }
  return address;
}

const StunAttribute* StunMessage::Find(uint16_t attrType) const {
  for (const auto& attr : attributes) {
    if (attr.type == attrType) return &attr;
  }
  return nullptr;
}

void StunMessage::Add(uint16_t attrType, std::span<const uint8_t> value) {
  attributes.push_back({attrType, std::vector<uint8_t>(value.begin(), value.end())});
}

void StunMessage::AddText(uint16_t attrType, std::string_view text) { Add(attrType, AsBytes(text)); }

void StunMessage::AddU32(uint16_t attrType, uint32_t value) {
  std::vector<uint8_t> v;
  kelm::bytes::AppendBe<uint32_t>(v, value);
  Add(attrType, v);
}

void StunMessage::AddU64(uint16_t attrType, uint64_t value) {
  std::vector<uint8_t> v;
  kelm::bytes::AppendBe<uint32_t>(v, static_cast<uint32_t>(value >> 32));
  kelm::bytes::AppendBe<uint32_t>(v, static_cast<uint32_t>(value));
  Add(attrType, v);
}

void StunMessage::AddXorAddress(uint16_t attrType, const StunAddress& address) {
  std::vector<uint8_t> v;
  v.push_back(0);
  v.push_back(address.v6 ? kFamilyV6 : kFamilyV4);
  kelm::bytes::AppendBe<uint16_t>(v, static_cast<uint16_t>(address.port ^ (kStunMagicCookie >> 16)));
  uint8_t mask[16];
  for (int i = 0; i < 4; ++i) mask[i] = static_cast<uint8_t>(kStunMagicCookie >> (24 - 8 * i));
  std::memcpy(mask + 4, transaction.data(), transaction.size());
  for (int i = 0; i < (address.v6 ? 16 : 4); ++i) v.push_back(address.ip[i] ^ mask[i]);
  Add(attrType, v);
}

void StunMessage::AddErrorCode(int code, std::string_view reason) {
  std::vector<uint8_t> v = {0, 0, static_cast<uint8_t>(code / 100), static_cast<uint8_t>(code % 100)};
  v.insert(v.end(), reason.begin(), reason.end());
  Add(kStunAttrErrorCode, v);
}

std::optional<uint32_t> StunMessage::U32(uint16_t attrType) const {
  const StunAttribute* attr = Find(attrType);
  if (attr == nullptr || attr->value.size() != 4) return std::nullopt;
  return kelm::bytes::LoadBe<uint32_t>(attr->value.data());
}

std::optional<std::string> StunMessage::Text(uint16_t attrType) const {
  const StunAttribute* attr = Find(attrType);
  if (attr == nullptr) return std::nullopt;
  return std::string(attr->value.begin(), attr->value.end());
}

std::optional<StunAddress> StunMessage::XorAddress(uint16_t attrType) const {
  const StunAttribute* attr = Find(attrType);
  if (attr == nullptr || attr->value.size() < 8) return std::nullopt;
  const auto& v = attr->value;
  StunAddress address;
  if (v[1] == kFamilyV4 && v.size() == 8) {
    address.v6 = false;
  } else if (v[1] == kFamilyV6 && v.size() == 20) {
    address.v6 = true;
  } else {
    return std::nullopt;
  }
  address.port = static_cast<uint16_t>(kelm::bytes::LoadBe<uint16_t>(v.data() + 2) ^ (kStunMagicCookie >> 16));
  uint8_t mask[16];
  for (int i = 0; i < 4; ++i) mask[i] = static_cast<uint8_t>(kStunMagicCookie >> (24 - 8 * i));
  std::memcpy(mask + 4, transaction.data(), transaction.size());
  for (int i = 0; i < (address.v6 ? 16 : 4); ++i) address.ip[i] = v[4 + i] ^ mask[i];
  return address;
}

std::optional<int> StunMessage::ErrorCode() const {
  const StunAttribute* attr = Find(kStunAttrErrorCode);
  if (attr == nullptr || attr->value.size() < 4) return std::nullopt;
  int cls = attr->value[2] & 0x07;
  int number = attr->value[3];
  if (cls < 3 || cls > 6 || number > 99) return std::nullopt;
  return cls * 100 + number;
}

std::vector<uint8_t> EncodeStun(const StunMessage& message, std::span<const uint8_t> integrityKey,
                                bool fingerprint, StunEncodeFaults faults) {
  std::vector<uint8_t> out;
  kelm::bytes::AppendBe<uint16_t>(out, message.type & 0x3FFF);
  kelm::bytes::AppendBe<uint16_t>(out, 0);
  kelm::bytes::AppendBe<uint32_t>(out, kStunMagicCookie);
  out.insert(out.end(), message.transaction.begin(), message.transaction.end());
  for (const auto& attr : message.attributes) {
    if (attr.type == kStunAttrMessageIntegrity || attr.type == kStunAttrFingerprint) continue;
    AppendAttribute(out, attr.type, attr.value);
  }
  if (!integrityKey.empty()) {
    kelm::bytes::StoreBe<uint16_t>(out.data() + 2, static_cast<uint16_t>(out.size() + kAttrHeaderSize + kStunIntegritySize -
                                                kStunHeaderSize));
    Sha1Digest mac = HmacSha1(integrityKey, out);
    if (faults.corruptIntegrity) mac[0] ^= 0x01;
    AppendAttribute(out, kStunAttrMessageIntegrity, mac);
  }
  if (fingerprint) {
    kelm::bytes::StoreBe<uint16_t>(out.data() + 2, static_cast<uint16_t>(out.size() + kAttrHeaderSize + kFingerprintSize -
                                                kStunHeaderSize));
    uint32_t crc = Crc32(out) ^ kStunFingerprintXor;
    if (faults.corruptFingerprint) crc ^= 0x01;
    std::vector<uint8_t> value;
    kelm::bytes::AppendBe<uint32_t>(value, crc);
    AppendAttribute(out, kStunAttrFingerprint, value);
  }
  kelm::bytes::StoreBe<uint16_t>(out.data() + 2, static_cast<uint16_t>(out.size() - kStunHeaderSize));
  return out;
}

bool LooksLikeStun(std::span<const uint8_t> bytes) {
  return bytes.size() >= kStunHeaderSize && (bytes[0] & 0xC0) == 0 &&
         kelm::bytes::LoadBe<uint32_t>(bytes.data() + 4) == kStunMagicCookie;
}

std::optional<StunMessage> ParseStun(std::span<const uint8_t> bytes) {
  if (!LooksLikeStun(bytes)) return std::nullopt;
  size_t length = kelm::bytes::LoadBe<uint16_t>(bytes.data() + 2);
  if (length % 4 != 0 || length + kStunHeaderSize != bytes.size()) return std::nullopt;
  StunMessage message;
  message.type = kelm::bytes::LoadBe<uint16_t>(bytes.data());
  std::memcpy(message.transaction.data(), bytes.data() + 8, message.transaction.size());
  size_t at = kStunHeaderSize;
  while (at < bytes.size()) {
    if (message.fingerprintOffset != 0) return std::nullopt;  // FINGERPRINT must be last
    if (bytes.size() - at < kAttrHeaderSize) return std::nullopt;
    uint16_t type = kelm::bytes::LoadBe<uint16_t>(bytes.data() + at);
    size_t valueLength = kelm::bytes::LoadBe<uint16_t>(bytes.data() + at + 2);
    size_t padded = (valueLength + 3) & ~size_t{3};
    if (bytes.size() - at - kAttrHeaderSize < padded) return std::nullopt;
    const uint8_t* value = bytes.data() + at + kAttrHeaderSize;
    if (type == kStunAttrFingerprint) {
      if (valueLength != kFingerprintSize) return std::nullopt;
      message.fingerprintOffset = at;
    } else if (type == kStunAttrMessageIntegrity) {
      if (valueLength != kStunIntegritySize) return std::nullopt;
      if (message.integrityOffset != 0) {
        at += kAttrHeaderSize + padded;
        continue;
      }
      message.integrityOffset = at;
    } else if (message.integrityOffset != 0) {
      // Attributes after MESSAGE-INTEGRITY (other than FINGERPRINT) are not covered: ignored.
      at += kAttrHeaderSize + padded;
      continue;
    }
    message.attributes.push_back({type, std::vector<uint8_t>(value, value + valueLength)});
    at += kAttrHeaderSize + padded;
  }
  return message;
}

bool StunFingerprintValid(std::span<const uint8_t> bytes, const StunMessage& parsed) {
  size_t at = parsed.fingerprintOffset;
  if (at == 0 || at + kAttrHeaderSize + kFingerprintSize != bytes.size()) return false;
  auto prefix = PrefixWithLength(bytes, at, at + kAttrHeaderSize + kFingerprintSize - kStunHeaderSize);
  return (Crc32(prefix) ^ kStunFingerprintXor) == kelm::bytes::LoadBe<uint32_t>(bytes.data() + at + kAttrHeaderSize);
}

bool StunIntegrityValid(std::span<const uint8_t> bytes, const StunMessage& parsed,
                        std::span<const uint8_t> key) {
  size_t at = parsed.integrityOffset;
  if (at == 0 || at + kAttrHeaderSize + kStunIntegritySize > bytes.size()) return false;
  auto prefix = PrefixWithLength(bytes, at, at + kAttrHeaderSize + kStunIntegritySize - kStunHeaderSize);
  Sha1Digest mac = HmacSha1(key, prefix);
  // Compare in constant time: the tag is a credential check.
  uint8_t diff = 0;
  for (size_t i = 0; i < mac.size(); ++i) diff |= mac[i] ^ bytes[at + kAttrHeaderSize + i];
  return diff == 0;
}

}  // namespace tavro::connect
