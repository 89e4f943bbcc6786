// The named single-instance mutex and both sides of the WM_COPYDATA hand-off.
#include "app/single_instance.h"

#include "app/app_texts.h"
#include "core/paths.h"

namespace kelm {
namespace {

// The window of our own profile: Windows hands out a class's newest window first,
// which may belong to another profile's instance.
HWND FindInstanceWindow(uint64_t hash) {
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, kMainWindowClass, nullptr)) != nullptr) {
    const auto value = reinterpret_cast<uintptr_t>(GetPropW(window, kInstanceProperty));
    // A property holds a pointer-sized value, which fits the whole 64-bit hash.
    if (value == static_cast<uintptr_t>(hash)) return window;
  }
  return nullptr;
}

}  // namespace

SingleInstanceLock::SingleInstanceLock() {
  const std::wstring name = SingleInstanceMutexName(LocalDataDir());
  mutex_.Reset(CreateMutexW(nullptr, TRUE, name.c_str()));
  // Any other failure counts as acquired: the program runs rather than not at all.
  acquired_ = GetLastError() != ERROR_ALREADY_EXISTS;
}

SingleInstanceLock::~SingleInstanceLock() {
  if (acquired_ && mutex_) ReleaseMutex(mutex_.Get());
}

std::wstring AbsolutePath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  return full;
}

HandOffResult ActivateRunningInstance(SingleInstanceLock& lock, const std::vector<std::wstring>& files,
                                      DWORD giveUpMs) {
  const UINT showMessage = RegisterWindowMessageW(kShowWindowMessage);
  const uint64_t hash = InstanceHash(LocalDataDir());
  const ULONGLONG deadline = GetTickCount64() + giveUpMs;
  HWND window = nullptr;
  while ((window = FindInstanceWindow(hash)) == nullptr) {
    if (GetTickCount64() >= deadline) return HandOffResult::GaveUp;
    // The running instance may still be starting, or be quitting: its lock coming
    // free means we are the instance now.
    if (lock.Handle() != nullptr) {
      const DWORD wait = WaitForSingleObject(lock.Handle(), 100);
      if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        lock.MarkAcquired();
        return HandOffResult::BecameInstance;
      }
    } else {
      Sleep(100);
    }
  }
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  AllowSetForegroundWindow(processId);
  if (files.empty()) {
    PostMessageW(window, showMessage, 0, 0);
    return HandOffResult::HandedOff;
  }
  std::vector<std::wstring> absolute;
  absolute.reserve(files.size());
  for (const std::wstring& f : files) absolute.push_back(AbsolutePath(f));
  std::wstring block = JoinFileList(absolute);
  COPYDATASTRUCT data{};
  data.dwData = kHandoffTag;
  data.cbData = static_cast<DWORD>(block.size() * sizeof(wchar_t));
  data.lpData = block.data();
  SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 5000, nullptr);
  return HandOffResult::HandedOff;
}

std::vector<std::wstring> ParseCopyDataFiles(const COPYDATASTRUCT* data) {
  if (data == nullptr || data->dwData != kHandoffTag || data->lpData == nullptr) return {};
  return SplitFileList(static_cast<const uint16_t*>(data->lpData), data->cbData / sizeof(uint16_t));
}

}  // namespace kelm
