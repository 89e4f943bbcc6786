// Figures of the QR markup under Wine (each call encodes anew, as a cache miss does),
// and of our encoder beside the reference library natively, from the native helper.
#include <optional>
#include <sstream>
#include <string>

#include "app/qr_code.h"
#include "bench.h"
#include "bench_timing.h"
#include "native_peer.h"
#include "qr_bench_texts.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;
constexpr wchar_t kTimingProgram[] = L"qr_native_timing";
constexpr int kTimingMs = 60000;

double SvgMicros(const std::string& text) {
  size_t bytes = 0;
  const LoopResult r = RunFor(kSeconds, 5, [&] {
    bytes += QrSvg(text).size();
    return bytes != 0;
  });
  return r.MicrosEach();
}

void SvgBench(BenchOut& out) {
  out.Figure("qr.svg_pairing_link", SvgMicros(kQrPairingLink), "us");
  out.Figure("qr.svg_version_40", SvgMicros(kQrVersion40Text), "us");
}

void NativeBench(BenchOut& out) {
  std::string error;
  auto helper = NativePeer::Start(kTimingProgram, L"", error);
  if (!helper) {
    out.Fail("qr: " + error);
    return;
  }
  for (;;) {
    const std::optional<std::string> line = helper->ReadLine(kTimingMs);
    if (!line) break;
    if (!line->starts_with("QR_US ")) {
      out.Note("qr timing helper: " + *line);
      continue;
    }
    std::istringstream in(line->substr(6));
    double ours = 0, reference = 0;
    if (!(in >> ours >> reference) || reference <= 0) break;
    out.Figure("qr.native_own", ours, "us");
    out.Figure("qr.native_qrcodegen", reference, "us");
    out.Figure("qr.native_ratio", ours / reference, "x");
    return;
  }
  out.Fail("qr: the native timing helper gave no figures");
}

}  // namespace

TAVRO_BENCH("qr.svg", SvgBench);
TAVRO_BENCH("qr.native", NativeBench);

}  // namespace kelm::bench
