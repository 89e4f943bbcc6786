#pragma once
// One GUI host per local data folder: the named mutex, finding the running instance's
// window and handing it files or a show request.
#include <windows.h>

#include <string>
#include <vector>

#include "core/win_handle.h"

namespace kelm {

inline constexpr wchar_t kMainWindowClass[] = L"tavro.MainWindow";
inline constexpr wchar_t kShowWindowMessage[] = L"tavro.ShowWindow";
// Set on the main window: the instance hash of its data folder, so a second start
// talks only to the window of its own profile.
inline constexpr wchar_t kInstanceProperty[] = L"tavro.Instance";

class SingleInstanceLock {
 public:
  SingleInstanceLock();  // takes the lock for LocalDataDir()
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  bool Acquired() const { return acquired_; }
  HANDLE Handle() const { return mutex_.Get(); }
  // The running instance went away while we waited: the lock is ours now.
  void MarkAcquired() { acquired_ = true; }

 private:
  WinHandle mutex_;
  bool acquired_ = false;
};

enum class HandOffResult {
  HandedOff,       // the running instance has the files or the show request
  BecameInstance,  // the other instance ended while we searched: run as the instance
  GaveUp,          // neither its window nor the lock within the time limit
};

// The second instance's side. `files` are made absolute first. Waits for the running
// instance's window, or for the lock to become free.
HandOffResult ActivateRunningInstance(SingleInstanceLock& lock, const std::vector<std::wstring>& files,
                                      DWORD giveUpMs = 10000);

// The running instance's side: the paths of a hand-off block, none for any other block.
std::vector<std::wstring> ParseCopyDataFiles(const COPYDATASTRUCT* data);
// `path` as a full path, taken from the current folder when relative.
std::wstring AbsolutePath(const std::wstring& path);

}  // namespace kelm
