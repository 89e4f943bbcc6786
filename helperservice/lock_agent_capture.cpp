// Main-monitor capture of the lock agent through the shared desktop duplication.
#include "lock_agent_capture.h"

#include "core/log.h"
#include "lock_agent_pipe_io.h"

namespace kelm::service {
namespace {

// The GDI name of the monitor at (0, 0).
std::wstring MainMonitorName() {
  const HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return {};
  return info.szDevice;
}

}  // namespace

void ReleaseDuplication(CaptureState& state) {
  state.staging.Reset();
  state.duplication.reset();
  state.frameWaiting = false;
}

bool SetUpDuplication(CaptureState& state, CaptureTarget& target) {
  ReleaseDuplication(state);
  const std::wstring name = MainMonitorName();
  auto duplication = std::make_unique<DesktopDuplication>();
  if (name.empty() || !duplication->Open(name) || !duplication->Texture()) {
    LogDebug("DuplicateOutput failed: {}", GetLastError());
    return false;
  }
  D3D11_TEXTURE2D_DESC desc{};
  duplication->Texture()->GetDesc(&desc);
  // The GDI stand-in's image is in memory already: it is written from there, without the
  // upload into the capture texture and the read-back through a staging copy.
  duplication->standInFillsTexture = !duplication->UsingStandIn();
  desc.Usage = D3D11_USAGE_STAGING;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.BindFlags = 0;
  desc.MiscFlags = 0;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  if (!duplication->UsingStandIn() && FAILED(duplication->Device()->CreateTexture2D(&desc, nullptr, &state.staging))) {
    return false;
  }
  {
    std::lock_guard lock(target.mutex);
    target.rect = duplication->DesktopRect();
  }
  LogInfo("Capturing the main monitor {}x{}", desc.Width, desc.Height);
  state.duplication = std::move(duplication);
  return true;
}

CaptureResult AcquireLockScreenFrame(CaptureState& state, uint32_t timeoutMs) {
  const CaptureResult result = state.duplication->AcquireFrame(timeoutMs);
  if (result == CaptureResult::NewImage) {
    // A newer image replaces a waiting one: only the latest is sent.
    if (state.staging) {
      state.duplication->Context()->CopyResource(state.staging.Get(), state.duplication->Texture());
    }
    state.frameWaiting = true;
  }
  return result;
}

bool SendLockScreenFrame(CaptureState& state, HANDLE pipe, std::mutex& writeMutex, HANDLE stopEvent) {
  state.frameWaiting = false;
  if (const uint8_t* image = state.duplication->StandInImage()) {
    return WriteLockScreenRows(pipe, state.duplication->width, state.duplication->height, image, writeMutex,
                               stopEvent);
  }
  D3D11_TEXTURE2D_DESC desc{};
  state.staging->GetDesc(&desc);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(state.duplication->Context()->Map(state.staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return true;
  BuildLockFrameBody(desc.Width, desc.Height, static_cast<const uint8_t*>(mapped.pData), mapped.RowPitch, state.body);
  state.duplication->Context()->Unmap(state.staging.Get(), 0);
  return WriteLockScreenFrame(pipe, state.body, writeMutex, stopEvent);
}

}  // namespace kelm::service
