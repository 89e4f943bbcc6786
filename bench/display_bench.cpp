// Figures of the display part: listing the displays and one poll of the activation wait
// through Windows' calls, and the driver client's own cost per request.
#include <memory>

#include "bench.h"
#include "bench_timing.h"
#include "media/display_enum.h"
#include "media/monitor_activation.h"
#include "media/virtual_display_driver.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;

// A driver that answers every request at once, so the figure is the client's share.
class InstantDriver final : public DriverTransport {
 public:
  std::wstring FindInterface() override { return L"\\\\?\\bench"; }
  HANDLE OpenDevice(const std::wstring&, DWORD& error) override {
    error = ERROR_SUCCESS;
    return reinterpret_cast<HANDLE>(uintptr_t{0x40});
  }
  void CloseDevice(HANDLE) override {}
  DWORD Control(HANDLE, uint32_t, std::span<const uint8_t>, std::span<uint8_t> out, DWORD& returned) override {
    returned = static_cast<DWORD>(out.size());
    return ERROR_SUCCESS;
  }
};

void DisplayBench(BenchOut& out) {
  if (EnumerateDisplays().empty()) return out.Fail("display: no active display");
  const LoopResult list = RunFor(kSeconds, 20, [] { return !EnumerateDisplays().empty(); });
  out.Figure("display.enumerate", list.MicrosEach(), "us");

  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes) || paths.empty()) return out.Fail("display: no active path");
  const LUID adapter = paths[0].targetInfo.adapterId;
  const UINT32 target = paths[0].targetInfo.id;
  const LoopResult poll = RunFor(kSeconds, 20, [&] { return FindActiveTarget(adapter, target).has_value(); });
  out.Figure("display.activation_poll", poll.MicrosEach(), "us");

  VirtualDisplayDriver driver(std::make_shared<InstantDriver>());
  if (!driver.Open()) return out.Fail("display: the bench driver did not open");
  const LoopResult add = RunFor(kSeconds, 1000, [&] { return driver.AddMonitor({1920, 1080, 60, 0, 0}).has_value(); });
  out.Figure("display.driver_add_request", add.MicrosEach(), "us");
  driver.Close();
}

TAVRO_BENCH("display", DisplayBench);

}  // namespace
}  // namespace kelm::bench
