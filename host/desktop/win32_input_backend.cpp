// Win32 input calls; synthetic pointer functions resolved from user32 at run time.
#include "desktop/win32_input_backend.h"

#include <shellscalingapi.h>

namespace kelm {

namespace {

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  // Casting through a generic function pointer keeps GCC's cast-function-type check quiet.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

using DpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, MONITOR_DPI_TYPE, UINT*, UINT*);

}  // namespace

Win32InputBackend::Win32InputBackend() {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  create_ = Resolve<CreateFn>(user32, "CreateSyntheticPointerDevice");
  inject_ = Resolve<InjectFn>(user32, "InjectSyntheticPointerInput");
  destroy_ = Resolve<DestroyFn>(user32, "DestroySyntheticPointerDevice");
}

Win32InputBackend& Win32InputBackend::Shared() {
  static Win32InputBackend backend;
  return backend;
}

HSYNTHETICPOINTERDEVICE Win32InputBackend::CreatePointerDevice(POINTER_INPUT_TYPE type, uint32_t maxCount,
                                                               uint32_t& error) {
  // A device without the functions to feed and free it would be of no use.
  if (create_ == nullptr || inject_ == nullptr || destroy_ == nullptr) {
    error = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  const HSYNTHETICPOINTERDEVICE device = create_(type, maxCount, POINTER_FEEDBACK_DEFAULT);
  if (device == nullptr) {
    error = GetLastError();
    if (error == 0) {
      error = ERROR_CALL_NOT_IMPLEMENTED;
    }
  }
  return device;
}

bool Win32InputBackend::InjectPointer(HSYNTHETICPOINTERDEVICE device, std::span<const POINTER_TYPE_INFO> info,
                                      uint32_t& error) {
  if (inject_ == nullptr || device == nullptr) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  if (!inject_(device, info.data(), static_cast<UINT32>(info.size()))) {
    error = GetLastError();
    return false;
  }
  return true;
}

void Win32InputBackend::DestroyPointerDevice(HSYNTHETICPOINTERDEVICE device) {
  if (destroy_ != nullptr && device != nullptr) {
    destroy_(device);
  }
}

void Win32InputBackend::SendInput(std::span<const INPUT> inputs) {
  if (inputs.empty()) {
    return;
  }
  ::SendInput(static_cast<UINT>(inputs.size()), const_cast<INPUT*>(inputs.data()), sizeof(INPUT));
}

uint32_t Win32InputBackend::MapKey(uint32_t code, uint32_t mapType) {
  return MapVirtualKeyW(code, mapType);
}

uint64_t Win32InputBackend::TickCount() {
  return GetTickCount64();
}

POINT Win32InputBackend::CursorPos() {
  POINT pt{};
  GetCursorPos(&pt);
  return pt;
}

VirtualScreen Win32InputBackend::Screen() {
  return VirtualScreen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                       GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

uint32_t Win32InputBackend::MonitorDpi(POINT pt) {
  // shcore is loaded on demand so the injector's users do not all import it.
  static const DpiForMonitorFn dpiForMonitor = [] {
    const HMODULE shcore = LoadLibraryW(L"shcore.dll");
    return Resolve<DpiForMonitorFn>(shcore, "GetDpiForMonitor");
  }();
  if (dpiForMonitor == nullptr) {
    return 0;
  }
  const HMONITOR monitor = MonitorFromPoint(pt, MONITOR_DEFAULTTONEAREST);
  UINT dpiX = 0;
  UINT dpiY = 0;
  if (FAILED(dpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY))) {
    return 0;
  }
  return dpiY;
}

}  // namespace kelm
