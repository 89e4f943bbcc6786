#pragma once
// Forwarding of Windows notifications to the devices.
//
// PLACEHOLDER until notification forwarding is built: nothing is forwarded.
#include <cstdint>
#include <functional>
#include <string>

namespace kelm {

class NotificationForwarder {
 public:
  struct Item {
    uint32_t id = 0;
    std::string app, title, text;
  };
  using Broadcast = std::function<void(const Item&)>;
  void Start(Broadcast) {}
  void Stop() {}
};

}  // namespace kelm
