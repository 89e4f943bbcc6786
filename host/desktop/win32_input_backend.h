#pragma once
// Input injection through the real Win32 calls. The synthetic-pointer functions are looked
// up at run time: older systems (and Wine) lack some of them, and a static import would
// stop the program from loading there.
#include "desktop/input_backend.h"

namespace kelm {

class Win32InputBackend final : public InputBackend {
 public:
  Win32InputBackend();

  HSYNTHETICPOINTERDEVICE CreatePointerDevice(POINTER_INPUT_TYPE type, uint32_t maxCount,
                                              uint32_t& error) override;
  bool InjectPointer(HSYNTHETICPOINTERDEVICE device, std::span<const POINTER_TYPE_INFO> info,
                     uint32_t& error) override;
  void DestroyPointerDevice(HSYNTHETICPOINTERDEVICE device) override;
  void SendInput(std::span<const INPUT> inputs) override;
  uint32_t MapKey(uint32_t code, uint32_t mapType) override;
  uint64_t TickCount() override;
  POINT CursorPos() override;
  VirtualScreen Screen() override;
  uint32_t MonitorDpi(POINT pt) override;

  // The process-wide instance used by injectors built without a backend of their own.
  static Win32InputBackend& Shared();

 private:
  using CreateFn = HSYNTHETICPOINTERDEVICE(WINAPI*)(POINTER_INPUT_TYPE, ULONG, POINTER_FEEDBACK_MODE);
  using InjectFn = BOOL(WINAPI*)(HSYNTHETICPOINTERDEVICE, const POINTER_TYPE_INFO*, UINT32);
  using DestroyFn = void(WINAPI*)(HSYNTHETICPOINTERDEVICE);

  CreateFn create_ = nullptr;
  InjectFn inject_ = nullptr;
  DestroyFn destroy_ = nullptr;
};

}  // namespace kelm
