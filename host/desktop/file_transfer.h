#pragma once
// File transfer between the PC and a device.
//
// PLACEHOLDER until file transfer is built: incoming file messages are dropped and
// files handed to it are not sent.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/messages.h"

namespace kelm {

struct TransferEvent {
  uint8_t result = 0;     // 0 completed, 1 not completed
  uint8_t direction = 0;  // 0 sent, 1 received
  std::string fileName;
  std::wstring path;
  uint64_t size = 0;
};

class FileTransfer {
 public:
  FileTransfer(std::function<bool(const msg::Message&)> send, std::function<void(const TransferEvent&)> onEvent)
      : send_(std::move(send)), onEvent_(std::move(onEvent)) {}
  void OnMessage(uint8_t /*type*/, std::span<const uint8_t>) {}
  void SendFiles(const std::vector<std::wstring>& /*paths*/) {}
  void Stop() {}
  std::string StatusText() const { return {}; }

 private:
  [[maybe_unused]] std::function<bool(const msg::Message&)> send_;
  [[maybe_unused]] std::function<void(const TransferEvent&)> onEvent_;
};

}  // namespace kelm
