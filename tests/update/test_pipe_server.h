#pragma once
// In-test stand-ins for the service's pipe server: one instance served once on its own
// thread, speaking the pipe framing with plain blocking ReadFile/WriteFile (no code
// shared with the client under test).
#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "core/win_handle.h"

namespace kelm::test {

inline bool ReadAll(HANDLE pipe, void* data, DWORD size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, p, size, &got, nullptr) || got == 0) return false;
    p += got;
    size -= got;
  }
  return true;
}

inline void WriteMessage(HANDLE pipe, uint8_t type, const std::string& body) {
  const uint32_t length = static_cast<uint32_t>(body.size() + 1);
  std::string bytes(reinterpret_cast<const char*>(&length), 4);
  bytes += static_cast<char>(type);
  bytes += body;
  DWORD written = 0;
  WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(pipe);
}

// One pipe instance served once on its own thread: `owner` "SY" makes LocalSystem its
// owner, empty leaves the default descriptor (an impostor's pipe).
class TestPipeServer {
 public:
  struct Seen {
    uint8_t type = 0;
    std::string body;
    bool gotRequest = false;
    DWORD bytesBeforeClose = 0;
  };
  using Behaviour = std::function<void(HANDLE pipe, Seen& seen)>;

  TestPipeServer(const std::wstring& name, bool systemOwned, Behaviour behaviour) : name_(name) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (systemOwned) {
      ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                           nullptr);
      attributes.lpSecurityDescriptor = descriptor;
    }
    pipe_.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                 systemOwned ? &attributes : nullptr));
    if (descriptor != nullptr) LocalFree(descriptor);
    thread_ = std::thread([this, behaviour] {
      if (!ConnectNamedPipe(pipe_.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      behaviour(pipe_.Get(), seen_);
    });
  }
  ~TestPipeServer() {
    if (thread_.joinable()) thread_.join();
  }
  bool Ok() const { return static_cast<bool>(pipe_); }
  const Seen& Result() {
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

  // Reads one request; false when the client sent none.
  static bool ReadRequest(HANDLE pipe, Seen& seen) {
    uint8_t header[5];
    if (!ReadAll(pipe, header, 5)) return false;
    uint32_t length = 0;
    memcpy(&length, header, 4);
    seen.type = header[4];
    seen.body.resize(length - 1);
    seen.gotRequest = seen.body.empty() || ReadAll(pipe, seen.body.data(), length - 1);
    return seen.gotRequest;
  }
  // Waits until the client closes its end.
  static void WaitForClose(HANDLE pipe, Seen& seen) {
    char c;
    DWORD got = 0;
    while (ReadFile(pipe, &c, 1, &got, nullptr) && got != 0) seen.bytesBeforeClose += got;
  }

 private:
  std::wstring name_;
  WinHandle pipe_;
  Seen seen_;
  std::thread thread_;
};

}  // namespace kelm::test
