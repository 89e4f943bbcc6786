#pragma once
// Portable byte layouts of the file-transfer messages (FileBegin, FileData, FileEnd,
// FileAck); the same layouts travel in both directions.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelm::transfer {

inline constexpr size_t kIdBytes = 4;
inline constexpr size_t kMaxNameBytes = 65535;
inline constexpr uint8_t kEndComplete = 0;  // FileEnd: all data was sent
inline constexpr uint8_t kEndGaveUp = 1;    // FileEnd: the sender gave up
inline constexpr uint8_t kAckFailed = 1;    // FileAck bit 0: receiver failed or refused
inline constexpr uint8_t kAckSaved = 2;     // FileAck bit 1: whole file received and saved

struct Begin {
  uint32_t id = 0;
  uint64_t size = 0;
  std::string name;  // bytes as sent, not yet checked
};
struct End {
  uint32_t id = 0;
  uint8_t status = kEndComplete;  // a 4-byte FileEnd counts as complete
};
struct Ack {
  uint32_t id = 0;
  uint64_t count = 0;  // 0 when fewer than 8 bytes follow the id
  uint8_t flags = 0;   // 0 when absent
};

std::vector<uint8_t> MakeBegin(uint32_t id, uint64_t size, std::string_view name);
std::vector<uint8_t> MakeEnd(uint32_t id, uint8_t status);
std::vector<uint8_t> MakeAck(uint32_t id, uint64_t count, uint8_t flags);
void PutId(uint8_t* out, uint32_t id);

// Each gives no value for a payload of fewer than 4 bytes; ParseBegin also for a
// payload that ends inside the size, the name length or the name.
std::optional<uint32_t> ParseId(std::span<const uint8_t> payload);
std::optional<Begin> ParseBegin(std::span<const uint8_t> payload);
std::optional<End> ParseEnd(std::span<const uint8_t> payload);
std::optional<Ack> ParseAck(std::span<const uint8_t> payload);

}  // namespace kelm::transfer
