#pragma once
// The Windows calls input injection makes, behind one interface: the real Win32 calls
// in the programs, a recording stand-in in tests.
#include <windows.h>

#include <cstdint>
#include <span>

// The SDK declares the synthetic pointer device handle only for newer targets; declared here
// so the functions themselves stay undeclared and can only be reached through GetProcAddress.
#if !defined(NTDDI_VERSION) || NTDDI_VERSION < 0x0A000006
DECLARE_HANDLE(HSYNTHETICPOINTERDEVICE);
#endif

namespace kelm {

struct VirtualScreen {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class InputBackend {
 public:
  virtual ~InputBackend() = default;

  // Null with the Win32 error code in `error` when no device can be made.
  virtual HSYNTHETICPOINTERDEVICE CreatePointerDevice(POINTER_INPUT_TYPE type, uint32_t maxCount,
                                                      uint32_t& error) = 0;
  // False with the Win32 error code in `error` when the injection failed.
  virtual bool InjectPointer(HSYNTHETICPOINTERDEVICE device, std::span<const POINTER_TYPE_INFO> info,
                             uint32_t& error) = 0;
  virtual void DestroyPointerDevice(HSYNTHETICPOINTERDEVICE device) = 0;

  virtual void SendInput(std::span<const INPUT> inputs) = 0;
  virtual uint32_t MapKey(uint32_t code, uint32_t mapType) = 0;

  virtual uint64_t TickCount() = 0;
  virtual POINT CursorPos() = 0;
  virtual VirtualScreen Screen() = 0;
  // Effective vertical DPI of the monitor nearest to `pt`; 0 when it cannot be read.
  virtual uint32_t MonitorDpi(POINT pt) = 0;
};

}  // namespace kelm
