// Figures of the desktop capture (on the first display) and the caret finder.
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "changing_window.h"
#include "core/clock.h"
#include "media/caret_finder.h"
#include "media/desktop_duplication.h"
#include "media/display_enum.h"

namespace kelm::bench {
namespace {

constexpr int kCaptureSamples = 20;
constexpr int kCaretSamples = 100;
constexpr uint32_t kBandRows = 97;  // 48 rows above and below a tap

void CaptureBench(BenchOut& out) {
  const auto displays = EnumerateDisplays();
  DesktopDuplication capture;
  if (displays.empty() || !capture.Open(displays.front().deviceName)) {
    out.Fail("capture: the first display could not be captured");
    return;
  }
  if (capture.UsingStandIn()) out.Note("capture: GDI stand-in (duplication is not implemented here)");
  ChangingWindow window(capture.DesktopRect());
  if (!window.Ok()) {
    out.Fail("capture: no window to change the screen with");
    return;
  }
  capture.AcquireFrame(0);  // the first call always hands out an image

  std::vector<double> changed, unchanged;
  for (int i = 0; i < kCaptureSamples; ++i) {
    window.Change();
    Stopwatch watch;
    const CaptureResult r = capture.AcquireFrame(1000);
    const double ms = watch.Micros() / 1000;
    if (r != CaptureResult::NewImage) {
      out.Fail("capture: a changed screen gave no new image");
      return;
    }
    changed.push_back(ms);
  }
  window.Settle();
  while (capture.AcquireFrame(0) == CaptureResult::NewImage) window.Settle();
  for (int i = 0; i < kCaptureSamples; ++i) {
    Stopwatch watch;
    const CaptureResult r = capture.AcquireFrame(0);
    unchanged.push_back(watch.Micros() / 1000);
    if (r != CaptureResult::NothingNew) {
      out.Fail("capture: an unchanged screen gave a new image");
      return;
    }
  }
  out.Figure("capture.acquire_changed_" + std::to_string(capture.width) + "x" + std::to_string(capture.height),
             Quantile(changed, 0.5), "ms");
  out.Figure("capture.acquire_unchanged_" + std::to_string(capture.width) + "x" + std::to_string(capture.height),
             Quantile(unchanged, 0.5), "ms");
}

void CaretBench(BenchOut& out) {
  using Microsoft::WRL::ComPtr;
  constexpr uint32_t w = 1920, h = 1080;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                               2, D3D11_SDK_VERSION, &device, nullptr, &context))) {
    out.Fail("caret: no Direct3D device");
    return;
  }
  D3D11_TEXTURE2D_DESC d{};
  d.Width = w;
  d.Height = h;
  d.MipLevels = 1;
  d.ArraySize = 1;
  d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  d.SampleDesc.Count = 1;
  d.Usage = D3D11_USAGE_DEFAULT;
  d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  ComPtr<ID3D11Texture2D> frame;
  if (FAILED(device->CreateTexture2D(&d, nullptr, &frame))) {
    out.Fail("caret: no texture");
    return;
  }
  // Text-like content with a caret that blinks every other frame.
  std::vector<uint32_t> on(size_t{w} * h), off;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) on[size_t{y} * w + x] = ((x / 7 + y / 13) % 5 == 0) ? 0xFF202020u : 0xFFF0F0F0u;
  }
  off = on;
  for (uint32_t y = 530; y < 550; ++y) on[size_t{y} * w + 900] = on[size_t{y} * w + 901] = 0xFF000000u;

  CaretFinder finder;
  const RECT band{0, 500, static_cast<LONG>(w), static_cast<LONG>(500 + kBandRows)};
  std::vector<double> samples;
  for (int i = 0; i < kCaretSamples; ++i) {
    if (!finder.Armed()) finder.Arm(band, NowMicros(), 60000000);
    context->UpdateSubresource(frame.Get(), 0, nullptr, (i % 2 ? on : off).data(), w * 4, 0);
    Stopwatch watch;
    finder.OnFrame(device.Get(), context.Get(), frame.Get(), NowMicros());
    samples.push_back(watch.Micros() / 1000);
  }
  out.Figure("caret.on_frame_1920x97", Quantile(samples, 0.5), "ms");
}

TAVRO_BENCH("capture.acquire", CaptureBench);
TAVRO_BENCH("caret.on_frame", CaretBench);

}  // namespace
}  // namespace kelm::bench
