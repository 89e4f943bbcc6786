// The device's side of file transfer for tests.
#include "support/device_files.h"

#include <algorithm>

namespace kelm::test {
namespace {

void Le(Bytes& out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t ReadLe(const Bytes& in, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t{in[at + i]} << (8 * i);
  return v;
}

constexpr uint64_t kDeviceAckEvery = 65536;

}  // namespace

Bytes FileBeginBytes(uint32_t id, uint64_t size, const std::string& name) {
  Bytes b;
  Le(b, id, 4);
  Le(b, size, 8);
  Le(b, name.size(), 2);
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

Bytes FileDataBytes(uint32_t id, const char* data, size_t size) {
  Bytes b;
  b.reserve(4 + size);
  Le(b, id, 4);
  b.insert(b.end(), data, data + size);
  return b;
}

Bytes FileEndBytes(uint32_t id, uint8_t status) {
  Bytes b;
  Le(b, id, 4);
  b.push_back(status);
  return b;
}

Bytes FileAckBytes(uint32_t id, uint64_t count, uint8_t flags) {
  Bytes b;
  Le(b, id, 4);
  Le(b, count, 8);
  b.push_back(flags);
  return b;
}

std::optional<FileAckView> ParseFileAckBytes(const Bytes& payload) {
  if (payload.size() < 4) return std::nullopt;
  FileAckView v;
  v.id = static_cast<uint32_t>(ReadLe(payload, 0, 4));
  if (payload.size() >= 12) v.count = ReadLe(payload, 4, 8);
  if (payload.size() >= 13) v.flags = payload[12];
  v.payloadSize = payload.size();
  return v;
}

bool SendFileFromDevice(DeviceClient& client, uint32_t id, const std::string& name, const std::string& content,
                        size_t piece) {
  if (!client.SendRecord(kFileBegin, FileBeginBytes(id, content.size(), name))) return false;
  for (size_t at = 0; at < content.size(); at += piece) {
    const size_t n = std::min(piece, content.size() - at);
    if (!client.SendRecord(kFileData, FileDataBytes(id, content.data() + at, n))) return false;
  }
  return client.SendRecord(kFileEnd, FileEndBytes(id, 0));
}

std::optional<FileAckView> WaitForFinalAck(DeviceClient& client, uint32_t id, std::vector<FileAckView>* acks) {
  uint8_t type = 0;
  Bytes payload;
  while (client.ReadRecord(type, payload)) {
    if (type != kFileAck) continue;
    const auto ack = ParseFileAckBytes(payload);
    if (!ack || ack->id != id) continue;
    if (acks) acks->push_back(*ack);
    if (ack->flags != 0) return ack;
  }
  return std::nullopt;
}

std::optional<FileFromPc> ReceiveFileOnDevice(DeviceClient& client) {
  uint8_t type = 0;
  Bytes p;
  std::optional<FileFromPc> file;
  uint64_t acknowledged = 0;
  while (client.ReadRecord(type, p)) {
    if (type == kFileBegin && p.size() >= 14) {
      if (file) {
        file->otherBeginDuringFile = true;
        continue;
      }
      const size_t n = ReadLe(p, 12, 2);
      if (p.size() < 14 + n) return std::nullopt;
      file.emplace();
      file->id = static_cast<uint32_t>(ReadLe(p, 0, 4));
      file->size = ReadLe(p, 4, 8);
      file->name.assign(reinterpret_cast<const char*>(p.data() + 14), n);
    } else if (type == kFileData && file && p.size() >= 4 && ReadLe(p, 0, 4) == file->id) {
      file->largestPiece = std::max(file->largestPiece, p.size());
      file->data.append(reinterpret_cast<const char*>(p.data() + 4), p.size() - 4);
      if (file->data.size() - acknowledged >= kDeviceAckEvery) {
        acknowledged = file->data.size();
        if (!client.SendRecord(kFileAck, FileAckBytes(file->id, acknowledged, 0))) return std::nullopt;
      }
    } else if (type == kFileEnd && file && p.size() >= 4 && ReadLe(p, 0, 4) == file->id) {
      file->endStatus = p.size() >= 5 ? p[4] : 0;
      const bool whole = file->endStatus == 0 && file->data.size() == file->size;
      client.SendRecord(kFileAck, FileAckBytes(file->id, file->data.size(), whole ? kAckFlagSaved : kAckFlagFailed));
      return file;
    }
  }
  return std::nullopt;
}

}  // namespace kelm::test
