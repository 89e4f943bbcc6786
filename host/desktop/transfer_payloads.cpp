// Portable byte layouts of the file-transfer messages.
#include "desktop/transfer_payloads.h"

#include <algorithm>

namespace kelm::transfer {
namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint64_t GetLe(std::span<const uint8_t> in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= uint64_t{in[at + i]} << (8 * i);
  return value;
}

}  // namespace

void PutId(uint8_t* out, uint32_t id) {
  for (size_t i = 0; i < kIdBytes; ++i) out[i] = static_cast<uint8_t>(id >> (8 * i));
}

std::vector<uint8_t> MakeBegin(uint32_t id, uint64_t size, std::string_view name) {
  name = name.substr(0, std::min(name.size(), kMaxNameBytes));
  std::vector<uint8_t> out;
  out.reserve(14 + name.size());
  PutLe(out, id, 4);
  PutLe(out, size, 8);
  PutLe(out, name.size(), 2);
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

std::vector<uint8_t> MakeEnd(uint32_t id, uint8_t status) {
  std::vector<uint8_t> out;
  PutLe(out, id, 4);
  out.push_back(status);
  return out;
}

std::vector<uint8_t> MakeAck(uint32_t id, uint64_t count, uint8_t flags) {
  std::vector<uint8_t> out;
  PutLe(out, id, 4);
  PutLe(out, count, 8);
  out.push_back(flags);
  return out;
}

std::optional<uint32_t> ParseId(std::span<const uint8_t> payload) {
  if (payload.size() < kIdBytes) return std::nullopt;
  return static_cast<uint32_t>(GetLe(payload, 0, 4));
}

std::optional<Begin> ParseBegin(std::span<const uint8_t> payload) {
  if (payload.size() < 14) return std::nullopt;
  const size_t nameLength = GetLe(payload, 12, 2);
  if (payload.size() - 14 < nameLength) return std::nullopt;
  Begin begin;
  begin.id = static_cast<uint32_t>(GetLe(payload, 0, 4));
  begin.size = GetLe(payload, 4, 8);
  begin.name.assign(reinterpret_cast<const char*>(payload.data() + 14), nameLength);
  return begin;
}

std::optional<End> ParseEnd(std::span<const uint8_t> payload) {
  if (payload.size() < kIdBytes) return std::nullopt;
  End end;
  end.id = static_cast<uint32_t>(GetLe(payload, 0, 4));
  if (payload.size() > kIdBytes) end.status = payload[4];
  return end;
}

std::optional<Ack> ParseAck(std::span<const uint8_t> payload) {
  if (payload.size() < kIdBytes) return std::nullopt;
  Ack ack;
  ack.id = static_cast<uint32_t>(GetLe(payload, 0, 4));
  if (payload.size() >= 12) ack.count = GetLe(payload, 4, 8);
  if (payload.size() >= 13) ack.flags = payload[12];
  return ack;
}

}  // namespace kelm::transfer
