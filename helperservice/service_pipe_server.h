#pragma once
// The service pipe: the installed host asks it to install an update, one client and
// one request at a time.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace kelm::helperservice {

class PipeWatchdog;

// Owner and group LocalSystem; full access for LocalSystem, read and write for
// interactive users.
inline constexpr wchar_t kServicePipeSddl[] = L"O:SYG:SYD:P(A;;GA;;;SY)(A;;GRGW;;;IU)";
inline constexpr uint32_t kServicePipeBufferBytes = 65536;
// A client gets this long to send its request, and again to take the reply.
inline constexpr uint32_t kClientWatchdogMs = 10000;
inline constexpr DWORD kCreateRetryMs = 5000;
inline constexpr DWORD kConnectRetryMs = 500;

// The pipe thread's body: serves clients until `stopEvent` (manual reset) is set.
void ServicePipeServer(HANDLE stopEvent);

// One connected client: checks it, reads its request, answers, and on approval starts
// the install thread. `cancel` is set when the service stops; `watchdog` bounds the
// client's read and reply.
void HandleServiceClient(HANDLE pipe, HANDLE stopEvent, const std::atomic<bool>& cancel, PipeWatchdog& watchdog);

}  // namespace kelm::helperservice
