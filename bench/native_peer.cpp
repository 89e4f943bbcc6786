// Starts a native peer program and accepts its loopback control connection.
#include "native_peer.h"

#include <ws2tcpip.h>

#include <chrono>
#include <vector>

namespace kelm::bench {
namespace {

constexpr int kConnectBackMs = 20000;
constexpr DWORD kExitWaitMs = 5000;

std::wstring BenchFolder() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      std::wstring full(path.data(), n);
      return full.substr(0, full.find_last_of(L"\\/"));
    }
    path.resize(path.size() * 2);
  }
}

bool WaitReadable(SOCKET s, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &tv) == 1;
}

std::string Narrow(std::wstring_view w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

}  // namespace

std::unique_ptr<NativePeer> NativePeer::Start(std::wstring_view program, std::wstring_view arguments,
                                              std::string& error) {
  WinsockStartup winsock = StartWinsock();
  if (!winsock) {
    error = "Winsock did not start";
    return nullptr;
  }
  const std::wstring path = BenchFolder() + L"\\" + std::wstring(program);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    error = "the peer program " + Narrow(path) + " is missing (it is built with the benchmark when Go is there)";
    return nullptr;
  }
  Socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (!listener.Valid() || bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener.Get(), 1) != 0 || getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = "no loopback control socket";
    return nullptr;
  }
  std::wstring command = L"\"" + path + L"\" -control 127.0.0.1:" + std::to_wstring(ntohs(addr.sin_port)) + L" " +
                         std::wstring(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    error = "CreateProcessW failed for " + Narrow(path) + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  WinHandle process(info.hProcess);
  WinHandle thread(info.hThread);
  Socket control;
  if (WaitReadable(listener.Get(), kConnectBackMs)) control = Socket(accept(listener.Get(), nullptr, nullptr));
  listener.Close();
  if (!control.Valid()) {
    error = "the peer program " + Narrow(path) + " did not connect back";
    if (process) TerminateProcess(process.Get(), 1);
    return nullptr;
  }
  return std::make_unique<NativePeer>(std::move(winsock), std::move(control), std::move(process));
}

NativePeer::~NativePeer() {
  // Closing the connection tells the peer to end; a handle, where there is one, lets us
  // make sure it did.
  control_.Close();
  if (process_ && WaitForSingleObject(process_.Get(), kExitWaitMs) != WAIT_OBJECT_0) TerminateProcess(process_.Get(), 1);
}

std::optional<std::string> NativePeer::ReadLine(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(control_.Get(), static_cast<int>(left.count()))) return std::nullopt;
    char buf[4096];
    int n = recv(control_.Get(), buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool NativePeer::WriteLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  size_t done = 0;
  while (done < text.size()) {
    int n = send(control_.Get(), text.data() + done, static_cast<int>(text.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kelm::bench
