#pragma once
// The lock agent's capture of the main monitor: duplication into a CPU-readable copy,
// the monitor's rectangle for the input thread, and the frame sent to the host.
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <vector>

#include "media/desktop_duplication.h"

namespace kelm::service {

// The captured monitor's desktop rectangle, read by the input thread.
struct CaptureTarget {
  std::mutex mutex;
  RECT rect{};
};

struct CaptureState {
  std::unique_ptr<DesktopDuplication> duplication;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;  // B8G8R8A8, CPU-readable; none with the GDI stand-in
  bool frameWaiting = false;
  std::vector<uint8_t> body;  // kept between frames
};

// Sets up the duplication of the monitor whose desktop rectangle starts at (0, 0) and a
// staging texture of its size; stores its rectangle and logs "Capturing the main monitor".
bool SetUpDuplication(CaptureState& state, CaptureTarget& target);
void ReleaseDuplication(CaptureState& state);

// AcquireFrame results, as DesktopDuplication's.
CaptureResult AcquireLockScreenFrame(CaptureState& state, uint32_t timeoutMs);

// The waiting picture as a frame message; false only when the pipe write failed or did
// not finish within its limit. A picture that cannot be mapped is skipped.
bool SendLockScreenFrame(CaptureState& state, HANDLE pipe, std::mutex& writeMutex, HANDLE stopEvent);

}  // namespace kelm::service
