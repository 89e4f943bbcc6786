#pragma once
// A session's display: the mirrored monitor or its virtual monitor.
//
// PLACEHOLDER until display set-up is built: every session mirrors, and no monitor
// or display setting is changed.
#include <cstdint>
#include <string>

#include "core/messages.h"
#include "media/virtual_display_driver.h"

namespace kelm {

class SessionDisplay {
 public:
  explicit SessionDisplay(VirtualDisplayDriver& driver) : driver_(driver) {}
  bool Setup(const msg::Hello&, uint32_t /*fps*/, bool /*useDriver*/, std::string& /*error*/) { return true; }
  void ApplySettings(uint16_t /*scale*/, uint8_t /*flags*/) {}
  void RemoveMonitor() {}
  bool Mirror() const { return true; }

 private:
  [[maybe_unused]] VirtualDisplayDriver& driver_;
};

}  // namespace kelm
