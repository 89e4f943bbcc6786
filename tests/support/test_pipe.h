#pragma once
// Both ends of a fresh overlapped named pipe for tests of pipe code, and plain blocking
// transfers on them that share nothing with the code under test.
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/win_handle.h"

namespace kelm::test {

// A unique pipe name in this process ("\\.\pipe\tavro-test.<pid>.<n>").
std::wstring UniqueTestPipeName();

struct TestPipe {
  std::wstring name;
  WinHandle server;  // byte mode, overlapped, one instance
  WinHandle client;  // overlapped
};
// Server created and client connected; both handles empty on failure.
TestPipe MakeTestPipe(DWORD bufferSize = 65536);

// A server end as the lock agent makes it (overlapped, byte mode, first instance, one
// instance): owned by LocalSystem with access for LocalSystem and this user, or with the
// default descriptor (owned by this user, as an impostor's would be).
WinHandle CreateLockPipeServer(const std::wstring& name, bool systemOwned);

// Plain overlapped WriteFile/ReadFile until the buffer is done or the pipe fails, waited
// for without a time limit. The write is true when every byte moved; the read returns
// exactly n bytes, fewer when the pipe ended first.
bool RawPipeWrite(HANDLE pipe, std::span<const uint8_t> bytes);
// The same on a raw buffer: the bytes moved.
size_t RawPipeTransfer(HANDLE pipe, bool write, uint8_t* data, size_t size);
std::vector<uint8_t> RawPipeReadSome(HANDLE pipe, size_t n);

}  // namespace kelm::test
