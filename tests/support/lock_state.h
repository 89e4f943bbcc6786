#pragma once
// Locks and unlocks "the PC" for one test program: the Wine stand-in of the lock state is
// pointed at a key of this process's own under HKCU, so parallel tests never see it.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelm::test {

class TestLockState {
 public:
  TestLockState();   // points the stand-in here, unlocked
  ~TestLockState();  // deletes the key, points the stand-in back at its default
  TestLockState(const TestLockState&) = delete;
  TestLockState& operator=(const TestLockState&) = delete;

  // LockedSession = session.
  bool Lock(uint32_t session);
  // LockedSession deleted.
  bool Unlock();
  const std::wstring& KeyPath() const { return path_; }

 private:
  std::wstring path_;
};

// Locks (LockedSession = this process's session) or unlocks the whole prefix through the
// stand-in's own value under HKLM; only for programs run in a Wine prefix of their own.
bool SetPrefixLocked(bool locked);

}  // namespace kelm::test
