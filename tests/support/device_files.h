#pragma once
// The device's side of file transfer for tests, written from the message layouts
// (FileBegin 16, FileData 17, FileEnd 18, FileAck 19), sharing no host code.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/device_client.h"

namespace kelm::test {

inline constexpr uint8_t kFileBegin = 16;
inline constexpr uint8_t kFileData = 17;
inline constexpr uint8_t kFileEnd = 18;
inline constexpr uint8_t kFileAck = 19;
inline constexpr uint8_t kAckFlagFailed = 1;
inline constexpr uint8_t kAckFlagSaved = 2;

Bytes FileBeginBytes(uint32_t id, uint64_t size, const std::string& name);
Bytes FileDataBytes(uint32_t id, const char* data, size_t size);
Bytes FileEndBytes(uint32_t id, uint8_t status);
Bytes FileAckBytes(uint32_t id, uint64_t count, uint8_t flags);

struct FileAckView {
  uint32_t id = 0;
  uint64_t count = 0;
  uint8_t flags = 0;
  size_t payloadSize = 0;
};
std::optional<FileAckView> ParseFileAckBytes(const Bytes& payload);

// Sends FileBegin, the content in pieces and FileEnd with status 0.
bool SendFileFromDevice(DeviceClient& client, uint32_t id, const std::string& name, const std::string& content,
                        size_t piece = 32768);
// Reads records until a FileAck for `id` whose flags are not 0 (skipping progress
// acks and other messages); every ack seen for `id` is appended to `acks`.
std::optional<FileAckView> WaitForFinalAck(DeviceClient& client, uint32_t id, std::vector<FileAckView>* acks = nullptr);

// One file the PC sent, as the device received it.
struct FileFromPc {
  uint32_t id = 0;
  uint64_t size = 0;
  std::string name;
  std::string data;
  size_t largestPiece = 0;  // largest FileData payload, id included
  uint8_t endStatus = 0xFF;
  bool otherBeginDuringFile = false;  // a second FileBegin came before this one's end
};
// Receives the next file the PC sends: acknowledges every 64 KiB like the receiving
// side does, and confirms with flag 2 after a complete FileEnd. Other messages are
// skipped.
std::optional<FileFromPc> ReceiveFileOnDevice(DeviceClient& client);

}  // namespace kelm::test
