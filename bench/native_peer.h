#pragma once
// A native (Linux) peer program started from the benchmark, next to tavro-bench, and
// spoken to over one loopback TCP connection: under Wine a native program gets neither
// our pipes as its standard input and output nor a process handle, so the connection is
// both its text channel and its lifetime (the peer ends when the connection closes).
#include <winsock2.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/socket.h"
#include "core/win_handle.h"

namespace kelm::bench {

class NativePeer {
 public:
  // Starts `program` (a file in tavro-bench's folder) with `arguments`; null with the
  // reason in `error` when it is missing, cannot start, or does not connect back in time.
  static std::unique_ptr<NativePeer> Start(std::wstring_view program, std::wstring_view arguments,
                                           std::string& error);
  NativePeer(WinsockStartup winsock, Socket control, WinHandle process)
      : winsock_(std::move(winsock)), control_(std::move(control)), process_(std::move(process)) {}
  ~NativePeer();
  NativePeer(const NativePeer&) = delete;
  NativePeer& operator=(const NativePeer&) = delete;

  // One line without its line end; nothing on time-out or when the peer has gone.
  std::optional<std::string> ReadLine(int timeoutMs);
  bool WriteLine(std::string_view line);

 private:
  WinsockStartup winsock_;  // declared first: Winsock outlives the socket
  Socket control_;
  WinHandle process_;  // null under Wine, which gives none for a native program
  std::string pending_;
};

}  // namespace kelm::bench
