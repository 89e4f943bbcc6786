// The lock agent's main thread: identity, pipe, the connect loop and the capture loop,
// with the input thread per connected host.
#include "lock_agent.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "data_folder.h"
#include "desktop/input_injector.h"
#include "host_processes.h"
#include "lock_agent_capture.h"
#include "lock_agent_desktop.h"
#include "lock_agent_identity.h"
#include "lock_agent_input_filter.h"
#include "lock_agent_pipe_io.h"
#include "media/session_lock.h"
#include "service_names.h"

namespace kelm::service {
namespace {

// A whole 1080p frame message (pipe header, width and height, the rows) fits the out-buffer,
// so a frame is handed over in one write instead of waiting on the host's reads in pieces.
constexpr DWORD kPipeOutBuffer = 5 + 8 + 1920 * 1080 * 4;
constexpr DWORD kPipeInBuffer = 65536;
constexpr DWORD kConnectStepMs = 500;
constexpr uint64_t kLockCheckEveryMs = 250;
constexpr DWORD kCaptureRetryMs = 250;
constexpr uint32_t kFrameWaitingTimeoutMs = 20;
constexpr uint32_t kIdleTimeoutMs = 100;
constexpr uint64_t kMinFrameGapMs = 50;

using LocalString = UniqueAny<wchar_t*, &LocalFree>;
using LocalDescriptor = UniqueAny<PSECURITY_DESCRIPTOR, &LocalFree>;

// The string SID of the user signed in to the session; empty when there is none.
std::wstring SessionUserSid(uint32_t session) {
  WinHandle token;
  if (!WTSQueryUserToken(session, token.Put())) return {};
  DWORD bytes = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &bytes);
  if (bytes == 0) return {};
  std::vector<unsigned char> buf(bytes);
  if (!GetTokenInformation(token.Get(), TokenUser, buf.data(), bytes, &bytes)) return {};
  LocalString text;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid, text.Put())) return {};
  return text.Get();
}

struct AgentRun {
  uint32_t session = 0;
  HANDLE pipe = nullptr;
  std::atomic<bool> sessionLocked{true};
  CaptureTarget target;
  std::mutex writeMutex;
};

void LockAgentInputThread(AgentRun& run, HANDLE stopEvent) {
  InputInjector injector;
  injector.SetModes(proto::PenMode::Mouse, proto::TouchMode::Mouse);
  DesktopState desktop;
  uint8_t type = 0;
  std::vector<uint8_t> body;
  while (ReadLockAgentMessage(run.pipe, type, body, stopEvent)) {
    if (!LockAgentAcceptsInput(type, body, run.sessionLocked.load(), IsLockScreenInFront(desktop))) continue;
    {
      std::lock_guard lock(run.target.mutex);
      injector.SetTargetRect(run.target.rect);
    }
    injector.HandleMessage(body[0], std::span<const uint8_t>(body).subspan(1));
  }
}

void ServeLockScreenHost(AgentRun& run, DesktopState& desktop) {
  // Set before the read is cancelled, so a read the input thread starts after the
  // cancel ends too.
  WinHandle stopInput(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread input([&run, &stopInput] { LockAgentInputThread(run, stopInput.Get()); });
  CaptureState capture;
  bool ready = false;
  uint64_t lastCheck = 0;
  bool checked = false;
  uint64_t lastSend = 0;
  for (;;) {
    const uint64_t now = GetTickCount64();
    if (!checked || now - lastCheck >= kLockCheckEveryMs) {
      checked = true;
      lastCheck = now;
      run.sessionLocked = IsSessionLocked(run.session);
      if (!run.sessionLocked) break;
    }
    if (!ready) {
      ready = AttachToInputDesktop(desktop) && SetUpDuplication(capture, run.target);
      if (!ready) {
        ReleaseDuplication(capture);
        Sleep(kCaptureRetryMs);
        continue;
      }
    }
    const CaptureResult got = AcquireLockScreenFrame(capture, capture.frameWaiting ? kFrameWaitingTimeoutMs : kIdleTimeoutMs);
    if (got == CaptureResult::Lost || got == CaptureResult::Unusable) {
      ReleaseDuplication(capture);
      ready = false;
      continue;
    }
    if (capture.frameWaiting && GetTickCount64() - lastSend >= kMinFrameGapMs) {
      lastSend = GetTickCount64();
      // A host that does not take the frame within the write limit is dropped, so the
      // unlock check above runs again at the latest after that limit.
      if (!SendLockScreenFrame(capture, run.pipe, run.writeMutex, nullptr)) break;
    }
  }
  ReleaseDuplication(capture);
  SetEvent(stopInput.Get());
  CancelIoEx(run.pipe, nullptr);
  input.join();
}

enum class Connect { Connected, Retry, Unlocked };

Connect WaitForHost(AgentRun& run, HANDLE event) {
  OVERLAPPED ov{};
  ov.hEvent = event;
  ResetEvent(event);
  if (ConnectNamedPipe(run.pipe, &ov)) return Connect::Connected;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return Connect::Connected;
  if (error != ERROR_IO_PENDING) {
    Sleep(kConnectStepMs);
    return Connect::Retry;
  }
  for (;;) {
    if (WaitForSingleObject(event, kConnectStepMs) == WAIT_OBJECT_0) {
      DWORD ignored = 0;
      return GetOverlappedResult(run.pipe, &ov, &ignored, FALSE) ? Connect::Connected : Connect::Retry;
    }
    if (!IsSessionLocked(run.session)) {
      CancelIoEx(run.pipe, &ov);
      DWORD ignored = 0;
      GetOverlappedResult(run.pipe, &ov, &ignored, TRUE);
      return Connect::Unlocked;
    }
  }
}

bool ClientIsTheSessionsHost(AgentRun& run) {
  ULONG clientSession = 0;
  if (!GetNamedPipeClientSessionId(run.pipe, &clientSession) || clientSession != run.session) return false;
  return IsInstalledHostClient(run.pipe);
}

}  // namespace

int LockAgentMain(uint32_t session) {
  // Before anything touches the data folder: a hand-started agent leaves no trace there.
  if (!LockAgentIdentityHolds(session)) {
    std::fputs("The lock agent must be started by the tavro service\n", stderr);
    return kExitFailed;
  }
  if (ServiceDataFolderTrusted()) OpenLogFile(ServiceDataFolder() + L"\\lock-agent.log");
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  const std::wstring user = SessionUserSid(session);
  if (user.empty()) {
    LogError("No user signed in to session {}", session);
    return kExitFailed;
  }
  const std::wstring sddl = L"O:SYG:SYD:P(A;;GA;;;SY)(A;;GA;;;" + user + L")";
  LocalDescriptor descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Put(),
                                                            nullptr)) {
    LogError("Security descriptor failed: {}", ErrorText(GetLastError()));
    return kExitFailed;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
  const std::wstring name = LockScreenPipeName(session);
  WinHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  kPipeOutBuffer, kPipeInBuffer, 0, &attributes));
  if (!pipe) {
    LogError("Cannot create {}: {}", WideToUtf8(name), ErrorText(GetLastError()));
    return kExitFailed;
  }
  WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return kExitFailed;
  LogInfo("Lock agent for session {} ready", session);

  AgentRun run;
  run.session = session;
  run.pipe = pipe.Get();
  DesktopState desktop;
  while (IsSessionLocked(session)) {
    const Connect connected = WaitForHost(run, event.Get());
    if (connected != Connect::Connected) continue;
    if (ClientIsTheSessionsHost(run)) {
      LogInfo("tavro connected");
      ServeLockScreenHost(run, desktop);
      LogInfo("tavro disconnected");
    }
    DisconnectNamedPipe(pipe.Get());
  }
  LogInfo("Session {} unlocked; lock agent exits", session);
  return kExitOk;
}

}  // namespace kelm::service
