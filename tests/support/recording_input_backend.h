#pragma once
// Input backend for tests: records every injection and SendInput call, with a settable
// tick clock, cursor position, virtual screen and monitor DPI.
#include <mutex>
#include <vector>

#include "desktop/input_backend.h"

namespace kelm::test {

class RecordingInputBackend final : public InputBackend {
 public:
  struct Injection {
    HSYNTHETICPOINTERDEVICE device = nullptr;
    std::vector<POINTER_TYPE_INFO> info;
  };

  // Devices: made when `withDevices`, else creation fails with `createError`.
  explicit RecordingInputBackend(bool withDevices) : withDevices_(withDevices) {}

  HSYNTHETICPOINTERDEVICE CreatePointerDevice(POINTER_INPUT_TYPE type, uint32_t, uint32_t& error) override {
    std::lock_guard lock(mutex_);
    ++creations;
    if (!withDevices_) {
      error = createError;
      return nullptr;
    }
    return type == PT_PEN ? penDevice : touchDevice;
  }
  bool InjectPointer(HSYNTHETICPOINTERDEVICE device, std::span<const POINTER_TYPE_INFO> info,
                     uint32_t& error) override {
    std::lock_guard lock(mutex_);
    injections.push_back(Injection{device, std::vector<POINTER_TYPE_INFO>(info.begin(), info.end())});
    if (failInjections > 0) {
      --failInjections;
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    // Windows refuses one pointer id twice in one injection; so does this stand-in.
    for (size_t i = 0; i < info.size(); ++i) {
      for (size_t j = i + 1; j < info.size(); ++j) {
        if (info[i].touchInfo.pointerInfo.pointerId == info[j].touchInfo.pointerInfo.pointerId) {
          error = ERROR_INVALID_PARAMETER;
          return false;
        }
      }
    }
    return true;
  }
  void DestroyPointerDevice(HSYNTHETICPOINTERDEVICE device) override {
    std::lock_guard lock(mutex_);
    destroyed.push_back(device);
  }
  void SendInput(std::span<const INPUT> inputs) override {
    std::lock_guard lock(mutex_);
    sendCalls.emplace_back(inputs.begin(), inputs.end());
  }
  uint32_t MapKey(uint32_t code, uint32_t mapType) override {
    // A recognisable scan code: the key, plus 0xE000 for the extended map type.
    return code + (mapType == MAPVK_VK_TO_VSC_EX ? 0xE000 : 0);
  }
  uint64_t TickCount() override { return tick; }
  POINT CursorPos() override { return cursor; }
  VirtualScreen Screen() override { return screen; }
  uint32_t MonitorDpi(POINT) override { return dpi; }

  // All mouse inputs sent, in order.
  std::vector<MOUSEINPUT> MouseInputs() const {
    std::vector<MOUSEINPUT> out;
    for (const auto& call : sendCalls) {
      for (const INPUT& in : call) {
        if (in.type == INPUT_MOUSE) {
          out.push_back(in.mi);
        }
      }
    }
    return out;
  }
  void Clear() {
    injections.clear();
    sendCalls.clear();
  }

  // Settable state.
  uint64_t tick = 100000;
  POINT cursor{0, 0};
  VirtualScreen screen{0, 0, 1920, 1080};
  uint32_t dpi = 96;
  uint32_t createError = ERROR_BAD_COMMAND;
  int creations = 0;  // CreatePointerDevice calls, made or not; read with Creations()
  int Creations() {
    std::lock_guard lock(mutex_);
    return creations;
  }
  int failInjections = 0;
  HSYNTHETICPOINTERDEVICE penDevice = reinterpret_cast<HSYNTHETICPOINTERDEVICE>(0x10);
  HSYNTHETICPOINTERDEVICE touchDevice = reinterpret_cast<HSYNTHETICPOINTERDEVICE>(0x20);

  // Records.
  std::vector<Injection> injections;
  std::vector<std::vector<INPUT>> sendCalls;
  std::vector<HSYNTHETICPOINTERDEVICE> destroyed;

 private:
  std::mutex mutex_;
  bool withDevices_;
};

}  // namespace kelm::test
