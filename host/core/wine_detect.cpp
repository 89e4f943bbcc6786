// The Wine check behind the stand-ins.
#include "core/wine_detect.h"

#include <windows.h>

namespace kelm {

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kelm
