// Session identity and lock state, with the Wine stand-in for the lock flag.
#include "media/session_lock.h"

#include <wtsapi32.h>

#include <atomic>
#include <mutex>

#include "core/log.h"
#include "core/text.h"
#include "core/wine_detect.h"

namespace kelm {
namespace {

constexpr wchar_t kStandInDefaultPath[] = L"Software\\tavro\\WineStandIn";
constexpr wchar_t kStandInValue[] = L"LockedSession";
// WTSINFOEXW as the query fills it: the level, then the level-1 record.
constexpr DWORD kSessionInfoMinBytes = 232;
constexpr DWORD kSessionInfoLevel1 = 1;

struct StandInKey {
  HKEY root = HKEY_LOCAL_MACHINE;
  std::wstring path = kStandInDefaultPath;
};

std::mutex& KeyMutex() {
  static std::mutex m;
  return m;
}
StandInKey& KeyStorage() {
  static StandInKey key;
  return key;
}

std::wstring RootName(HKEY root) { return root == HKEY_LOCAL_MACHINE ? L"HKLM" : L"HKCU"; }

// A definite answer from Windows, or nothing when the query itself failed.
enum class QueryAnswer { Locked, Unlocked, Failed };

QueryAnswer QuerySessionLock(uint32_t session) {
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSSessionInfoEx, &buffer, &bytes)) {
    return QueryAnswer::Failed;
  }
  bool locked = false;
  if (buffer != nullptr && bytes >= kSessionInfoMinBytes) {
    const auto* info = reinterpret_cast<const WTSINFOEXW*>(buffer);
    locked = info->Level == kSessionInfoLevel1 && info->Data.WTSInfoExLevel1.SessionFlags == WTS_SESSIONSTATE_LOCK;
  }
  WTSFreeMemory(buffer);
  return locked ? QueryAnswer::Locked : QueryAnswer::Unlocked;
}

bool StandInLocked(uint32_t session) {
  StandInKey key;
  {
    std::lock_guard lock(KeyMutex());
    key = KeyStorage();
  }
  static std::atomic<bool> announced{false};
  if (!announced.exchange(true)) {
    LogInfo("Session lock state: the session counts as locked while {}\\{}\\{} holds its id (Wine stand-in)",
            WideToUtf8(RootName(key.root)), WideToUtf8(key.path), WideToUtf8(kStandInValue));
  }
  DWORD value = 0;
  DWORD size = sizeof value;
  const LSTATUS status =
      RegGetValueW(key.root, key.path.c_str(), kStandInValue, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return status == ERROR_SUCCESS && value == session;
}

}  // namespace

std::wstring LockScreenPipeName(uint32_t session) {
  return L"\\\\.\\pipe\\tavro.LockScreen." + std::to_wstring(session);
}

uint32_t OwnSessionId() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return session;
}

bool IsSessionLocked(uint32_t session) {
  switch (QuerySessionLock(session)) {
    case QueryAnswer::Locked:
      return true;
    case QueryAnswer::Unlocked:
      return false;
    case QueryAnswer::Failed:
      break;
  }
  // Wine answers the query with a failure and never locks a session itself.
  return RunningUnderWine() && StandInLocked(session);
}

void SetLockedSessionStandInKey(HKEY root, std::wstring path) {
  std::lock_guard lock(KeyMutex());
  KeyStorage() = path.empty() ? StandInKey{} : StandInKey{root, std::move(path)};
}

}  // namespace kelm
