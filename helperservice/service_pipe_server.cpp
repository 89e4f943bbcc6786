// The service pipe's thread: creating the pipe, waiting for clients, and answering one
// update request per connection within the client's time limits.
#include "service_pipe_server.h"

#include <sddl.h>

#include <memory>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/win_handle.h"
#include "host_processes.h"
#include "media/pipe_framing.h"
#include "pipe_watchdog.h"
#include "service_site.h"
#include "update/service_pipe_client.h"
#include "update_install.h"
#include "update_request.h"

namespace kelm::helperservice {
namespace {

HLOCAL FreeDescriptor(PSECURITY_DESCRIPTOR descriptor) { return LocalFree(descriptor); }
using SecurityDescriptor = UniqueAny<PSECURITY_DESCRIPTOR, &FreeDescriptor>;

// The client's session; the test copy may stage another one (session 0).
bool ClientSession(HANDLE pipe, uint32_t& session) {
  ULONG id = 0;
  if (!GetNamedPipeClientSessionId(pipe, &id)) return false;
  const std::wstring staged = ServiceTestSetting(L"ClientSession");
  session = staged.empty() ? id : static_cast<uint32_t>(wcstoul(staged.c_str(), nullptr, 10));
  return true;
}

WinHandle CreateServicePipe(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  return WinHandle(CreateNamedPipeW(update::kServicePipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                    kServicePipeBufferBytes, kServicePipeBufferBytes, 0, &attributes));
}

enum class Connection { Client, Failed, Stopped };

Connection ConnectClient(HANDLE pipe, HANDLE stopEvent) {
  WinHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!connected) return Connection::Failed;
  OVERLAPPED overlapped{};
  overlapped.hEvent = connected.Get();
  if (ConnectNamedPipe(pipe, &overlapped)) return Connection::Client;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return Connection::Client;
  if (error != ERROR_IO_PENDING) return Connection::Failed;
  const HANDLE events[] = {connected.Get(), stopEvent};
  DWORD unused = 0;
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
    return GetOverlappedResult(pipe, &overlapped, &unused, FALSE) ? Connection::Client : Connection::Failed;
  }
  CancelIoEx(pipe, &overlapped);
  GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
  return Connection::Stopped;
}

}  // namespace

void HandleServiceClient(HANDLE pipe, HANDLE stopEvent, const std::atomic<bool>& cancel, PipeWatchdog& watchdog) {
  uint32_t session = 0;
  if (!ClientSession(pipe, session) || session == 0 || !service::IsInstalledHostClient(pipe)) return;

  uint8_t type = 0;
  std::vector<uint8_t> body;
  bool read = false;
  {
    const auto watch = watchdog.Arm(pipe, kClientWatchdogMs);
    read = ReadPipeMessage(pipe, type, body, kUpdateRequestMaxBytes, stopEvent);
  }
  if (!read || type != kUpdateRequestType) return;

  auto approved = std::make_shared<Approved>();
  const nlohmann::json reply =
      EvaluateUpdateRequest(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), session,
                            *approved, &cancel);
  const std::string text = reply.dump();
  bool delivered = false;
  {
    // A client that stops reading must not hold the write or the flush, and with them
    // this thread and the service's stop.
    const auto watch = watchdog.Arm(pipe, kClientWatchdogMs);
    delivered = WritePipeMessage(pipe, kUpdateReplyType,
                                 std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), {},
                                 stopEvent) &&
                FlushFileBuffers(pipe);
  }
  if (!IsApproval(reply)) return;
  if (!delivered) {
    // The host never learnt of the approval and may install by itself.
    LogWarn("Update: the reply didn't reach tavro; nothing is installed");
    DiscardDownload(*approved);
    return;
  }
  std::thread(RunApprovedInstaller, std::move(approved)).detach();
}

void ServicePipeServer(HANDLE stopEvent) {
  SecurityDescriptor descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServicePipeSddl, SDDL_REVISION_1, descriptor.Put(),
                                                            nullptr)) {
    LogError("Service pipe: security descriptor failed: {}", GetLastError());
    return;
  }
  // Another program holding the name disables updates only while it holds it.
  WinHandle pipe = CreateServicePipe(descriptor.Get());
  if (!pipe) {
    LogError("Service pipe: creating it failed: {}", GetLastError());
    while (!pipe) {
      if (WaitForSingleObject(stopEvent, kCreateRetryMs) == WAIT_OBJECT_0) return;
      pipe = CreateServicePipe(descriptor.Get());
    }
  }
  std::atomic<bool> cancel{false};
  WinHandle serverDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // The downloads of a request end within one receive once the service stops.
  std::thread stopWatcher([&] {
    const HANDLE events[] = {stopEvent, serverDone.Get()};
    if (WaitForMultipleObjects(serverDone ? 2 : 1, events, FALSE, INFINITE) == WAIT_OBJECT_0) cancel = true;
  });
  PipeWatchdog watchdog(stopEvent);
  for (;;) {
    const Connection connection = ConnectClient(pipe.Get(), stopEvent);
    if (connection == Connection::Stopped) break;
    if (connection == Connection::Failed) {
      if (WaitForSingleObject(stopEvent, kConnectRetryMs) == WAIT_OBJECT_0) break;
      continue;
    }
    HandleServiceClient(pipe.Get(), stopEvent, cancel, watchdog);
    DisconnectNamedPipe(pipe.Get());
  }
  if (serverDone) SetEvent(serverDone.Get());
  stopWatcher.join();
}

}  // namespace kelm::helperservice
