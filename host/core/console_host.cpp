#include "core/console_host.h"

#include <objbase.h>

#include "core/com_apartment.h"
#include "core/host_service.h"
#include "core/lingering_threads.h"
#include "core/log.h"
#include "core/local_addresses.h"
#include "core/owner_only_security.h"
#include "core/text.h"

namespace kelm {
namespace {

// Process-wide manual-reset events; they live until the process ends.
HANDLE g_stopEvent = nullptr;
HANDLE g_doneEvent = nullptr;

HostOptions ConsoleOptions(const CliOverrides& o) {
  HostOptions options;
  options.name = ComputerName();
  options.pin = HostService::NewPin();
  ApplyCliOverrides(o, options);
  return options;
}

// The stop event is named so that a process without a console can stop the host;
// only this user may open it. An event that already exists was made by someone
// else: obeying it would let a stranger stop the host (or keep it from stopping).
bool CreateStopEvent() {
  const std::wstring name = ConsoleStopEventName(GetCurrentProcessId());
  const std::string shown = WideToUtf8(name);
  OwnerOnlySecurity security;
  if (!security.valid()) {
    LogError("Cannot create the stop event {}: its access rights could not be set", shown);
    return false;
  }
  HANDLE event = CreateEventW(security.Attributes(), TRUE, FALSE, name.c_str());
  const DWORD error = GetLastError();
  if (event != nullptr && error != ERROR_ALREADY_EXISTS) {
    g_stopEvent = event;
    return true;
  }
  if (event != nullptr) {
    CloseHandle(event);
  }
  if (event != nullptr || error == ERROR_ACCESS_DENIED) {
    LogError("Another program already created the stop event {} - not starting", shown);
  } else {
    LogError("Cannot create the stop event {}: {}", shown, Win32ErrorText(error));
  }
  return false;
}

// The host service from start to shutdown; the exit code. Every way out of here ends
// with the service destroyed, before COM is left.
int RunHost(const HostOptions& options) {
  const auto service = std::make_unique<HostService>();
  HostService& host = *service;
  std::string error;
  if (!host.Initialize(error)) {
    LogError("{}", error);
    return 1;
  }
  if (!CreateStopEvent()) return 1;
  g_doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  // No window keeps the PIN's deadline fresh here.
  host.SetPinAlwaysValid(true);
  int exitCode = 1;
  if (host.Start(options)) {
    // Without a PIN (the random source failed) there is nothing to show; the
    // reason was logged when the PIN was drawn.
    if (options.pin != 0) LogInfo("  PIN for pairing new devices: {:06}", options.pin);
    LogInfo("Press Ctrl+C to quit.");
    WaitForSingleObject(g_stopEvent, INFINITE);
    LogInfo("Shutting down...");
    exitCode = 0;
  }
  host.Shutdown();
  return exitCode;
}

}  // namespace

std::wstring ConsoleStopEventName(uint32_t processId) {
  return L"Local\\tavro.ConsoleStop." + std::to_wstring(processId);
}

int RunConsole(const CommandLine& cl) {
  const HostOptions options = ConsoleOptions(cl.overrides);
  int exitCode = 1;
  {
    const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
    if (!com) {
      LogError("COM initialization failed");
      return 1;
    }
    exitCode = RunHost(options);
  }
  JoinLingeringThreads(kLingeringExitWaitMs);
  SetEvent(g_doneEvent);
  return exitCode;
}

BOOL WINAPI ConsoleCtrlHandler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Hold Windows' termination until the host has restored the displays.
      if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
      if (g_doneEvent != nullptr) WaitForSingleObject(g_doneEvent, 4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace kelm
