#pragma once
// COM for the calling thread, left again when the guard ends, and the owner of memory
// that COM hands out (CoTaskMemAlloc).
#include <windows.h>
#include <objbase.h>

#include "core/unique_any.h"

namespace kelm {

// Armed when the thread entered COM (S_OK or S_FALSE); then CoUninitialize on destruction.
using ComApartment = UniqueCall<&CoUninitialize>;

// Enters COM on this thread with the given model (COINIT_MULTITHREADED, ...). A thread
// already in the other model stays in it: the guard is then unarmed and undoes nothing.
[[nodiscard]] inline ComApartment EnterComApartment(DWORD model) {
  return ComApartment(SUCCEEDED(CoInitializeEx(nullptr, model)));
}

// Memory from CoTaskMemAlloc, such as a string a COM or shell call returns.
template <typename T>
using CoTaskMem = UniqueAny<T*, &CoTaskMemFree>;

}  // namespace kelm
