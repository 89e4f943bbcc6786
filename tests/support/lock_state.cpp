// A per-process lock-state key for tests.
#include "support/lock_state.h"

#include "media/session_lock.h"

namespace kelm::test {

TestLockState::TestLockState()
    : path_(L"Software\\tavro-test\\WineStandIn." + std::to_wstring(GetCurrentProcessId())) {
  Unlock();
  SetLockedSessionStandInKey(HKEY_CURRENT_USER, path_);
}

TestLockState::~TestLockState() {
  SetLockedSessionStandInKey(HKEY_CURRENT_USER, L"");
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

bool TestLockState::Lock(uint32_t session) {
  const DWORD value = session;
  return RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), L"LockedSession", REG_DWORD, &value, sizeof value) ==
         ERROR_SUCCESS;
}

bool TestLockState::Unlock() {
  const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, path_.c_str(), L"LockedSession");
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SetPrefixLocked(bool locked) {
  constexpr wchar_t kStandInKey[] = L"Software\\tavro\\WineStandIn";
  if (!locked) {
    const LSTATUS s = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kStandInKey, L"LockedSession");
    return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND;
  }
  const DWORD session = OwnSessionId();
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kStandInKey, L"LockedSession", REG_DWORD, &session, sizeof session) ==
         ERROR_SUCCESS;
}

}  // namespace kelm::test
