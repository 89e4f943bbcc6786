// Figures of the window's status push: the snapshot of 8 sessions and 64 paired devices
// built and written with its QR codes cached, the same with the pairing link changed
// each time (its QR code made again), and the JSON library's dump of the object alone.
#include <string>

#include "app/crafted_ui_state.h"
#include "app/page_state.h"
#include "bench.h"
#include "bench_timing.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;

void GuiBench(BenchOut& out) {
  Crafted c = CraftedState();
  QrCache pairingQr, appQr;
  size_t bytes = 0;
  const LoopResult cached = RunFor(kSeconds, 20, [&] {
    bytes = PageJsonText(BuildUiState(c.status, c.devices, "0123456789abcdef", pairingQr, appQr)).size();
    return bytes != 0;
  });
  out.Figure("gui.push_state_8_sessions_64_devices", cached.MicrosEach(), "us");
  out.Figure("gui.status_json_bytes", static_cast<double>(bytes), "bytes");

  uint32_t pin = 100000;
  const LoopResult rerender = RunFor(kSeconds, 20, [&] {
    c.status.options.pin = pin++;  // a new PIN: a new link and QR code
    return !PageJsonText(BuildUiState(c.status, c.devices, "0123456789abcdef", pairingQr, appQr)).empty();
  });
  out.Figure("gui.push_state_qr_rerender", rerender.MicrosEach(), "us");

  const nlohmann::json state = BuildUiState(c.status, c.devices, "0123456789abcdef", pairingQr, appQr);
  const LoopResult raw = RunFor(kSeconds, 20, [&] { return !state.dump().empty(); });
  out.Figure("gui.raw_dump_status", raw.MicrosEach(), "us");
}

}  // namespace

TAVRO_BENCH("gui", GuiBench);

}  // namespace kelm::bench
