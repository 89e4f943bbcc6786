// Test pipes and plain overlapped transfers on them.
#include "support/test_pipe.h"

#include <sddl.h>

#include <atomic>

namespace kelm::test {
namespace {

std::wstring UserSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  WinHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring out(text);
  LocalFree(text);
  return out;
}

}  // namespace

size_t RawPipeTransfer(HANDLE pipe, bool write, uint8_t* data, size_t size) {
  WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  size_t done = 0;
  while (done < size) {
    OVERLAPPED ov{};
    ov.hEvent = event.Get();
    const DWORD piece = static_cast<DWORD>(size - done);
    const BOOL ok = write ? WriteFile(pipe, data + done, piece, nullptr, &ov)
                          : ReadFile(pipe, data + done, piece, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) break;
    DWORD moved = 0;
    if (!GetOverlappedResult(pipe, &ov, &moved, TRUE) || moved == 0) break;
    done += moved;
  }
  return done;
}

WinHandle CreateLockPipeServer(const std::wstring& name, bool systemOwned) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (systemOwned) {
    const std::wstring sddl = L"O:SYG:SYD:P(A;;GA;;;SY)(A;;GA;;;" + UserSidText() + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
      return {};
    }
    attributes.lpSecurityDescriptor = descriptor;
  }
  WinHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  1048576, 65536, 0, systemOwned ? &attributes : nullptr));
  if (descriptor != nullptr) LocalFree(descriptor);
  return pipe;
}

std::wstring UniqueTestPipeName() {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\tavro-test." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(++counter);
}

TestPipe MakeTestPipe(DWORD bufferSize) {
  TestPipe pipe;
  pipe.name = UniqueTestPipeName();
  pipe.server.Reset(CreateNamedPipeW(pipe.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize, bufferSize, 0,
                                     nullptr));
  if (!pipe.server) return {};
  pipe.client.Reset(CreateFileW(pipe.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
  if (!pipe.client) return {};
  return pipe;
}

bool RawPipeWrite(HANDLE pipe, std::span<const uint8_t> bytes) {
  return RawPipeTransfer(pipe, true, const_cast<uint8_t*>(bytes.data()), bytes.size()) == bytes.size();
}

std::vector<uint8_t> RawPipeReadSome(HANDLE pipe, size_t n) {
  std::vector<uint8_t> out(n);
  out.resize(RawPipeTransfer(pipe, false, out.data(), n));
  return out;
}

}  // namespace kelm::test
