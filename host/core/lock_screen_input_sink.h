#pragma once
// Where a session's device input goes while the PC shows the lock screen: the lock-screen
// helper's pipe client implements it.
#include <cstddef>
#include <cstdint>

namespace kelm {

class LockScreenInputSink {
 public:
  virtual ~LockScreenInputSink() = default;
  // Forwards one device input message (its type and payload) to the lock screen.
  virtual void SendInput(uint8_t messageType, const uint8_t* payload, size_t size) = 0;

 protected:
  LockScreenInputSink() = default;
  LockScreenInputSink(const LockScreenInputSink&) = delete;
  LockScreenInputSink& operator=(const LockScreenInputSink&) = delete;
};

}  // namespace kelm
