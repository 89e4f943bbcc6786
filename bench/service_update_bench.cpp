// Update requests over the service pipe: a refused request's round trip beside one
// message each way over a plain pipe, and an approved 50 MB update beside a plain https
// GET of it. The service runs in a Wine prefix of its own, set up and removed by the
// native driver beside tavro-bench, which reports the service's figures to us.
#include <windows.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "core/win_handle.h"
#include "native_peer.h"

namespace kelm::bench {
namespace {

constexpr int kRawRuns = 20;
constexpr int kDriverLineMs = 900000;  // a fresh prefix and a 50 MB installer take minutes at worst
constexpr wchar_t kRawPipe[] = L"\\\\.\\pipe\\tavro-bench-plain-roundtrip";

// Passes the driver's lines on until its "done".
void RunDriver(BenchOut& out, std::wstring_view mode) {
  std::string error;
  auto driver = NativePeer::Start(L"service_bench_driver", mode, error);
  if (!driver) return out.Fail("service update figures: " + error);
  for (;;) {
    const auto line = driver->ReadLine(kDriverLineMs);
    if (!line) return out.Fail("service update figures: the driver went silent");
    const std::string_view text = *line;
    if (text == "done") return;
    if (text.starts_with("fail ")) {
      out.Fail("service update figures: " + std::string(text.substr(5)));
    } else if (text.starts_with("note ")) {
      out.Note(text.substr(5));
    } else if (text.starts_with("figure ")) {
      // "figure NAME VALUE UNIT"
      const std::string_view rest = text.substr(7);
      const size_t nameEnd = rest.find(' ');
      const size_t valueEnd = rest.find(' ', nameEnd + 1);
      double value = 0;
      const std::string_view number = rest.substr(nameEnd + 1, valueEnd - nameEnd - 1);
      if (nameEnd == std::string_view::npos || valueEnd == std::string_view::npos ||
          std::from_chars(number.data(), number.data() + number.size(), value).ec != std::errc{}) {
        out.Fail("service update figures: a line not understood: " + std::string(text));
        continue;
      }
      out.Figure(rest.substr(0, nameEnd), value, rest.substr(valueEnd + 1));
    }
  }
}

// The floor under a request's round trip: connect, one small message each way, close.
double PlainPipeRoundTripMs() {
  std::vector<double> samples;
  std::thread server([] {
    for (int i = 0; i < kRawRuns; ++i) {
      WinHandle pipe(CreateNamedPipeW(kRawPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                      nullptr));
      if (!pipe) return;
      if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      std::array<char, 64> request{};
      DWORD moved = 0;
      if (!ReadFile(pipe.Get(), request.data(), static_cast<DWORD>(request.size()), &moved, nullptr)) return;
      static constexpr char kReply[] = "{\"ok\":false,\"error\":\"no\",\"fallback\":false}";
      WriteFile(pipe.Get(), kReply, sizeof kReply, &moved, nullptr);
      FlushFileBuffers(pipe.Get());
      DisconnectNamedPipe(pipe.Get());
    }
  });
  static constexpr char kRequest[] = "{\"channel\":\"stable\",\"version\":\"1.0.0\"}";
  for (int i = 0; i < kRawRuns; ++i) {
    // The server's next instance is there before the clock starts.
    for (int tries = 0; !WaitNamedPipeW(kRawPipe, 1) && tries < 5000; ++tries) Sleep(1);
    Stopwatch watch;
    WinHandle pipe(CreateFileW(kRawPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) break;
    DWORD moved = 0;
    std::array<char, 64> reply{};
    if (!WriteFile(pipe.Get(), kRequest, sizeof kRequest, &moved, nullptr) ||
        !ReadFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), &moved, nullptr)) {
      continue;  // the server's side of this connection ends as the handle closes
    }
    samples.push_back(watch.Seconds() * 1000);
  }
  server.join();
  return samples.size() == kRawRuns ? Quantile(samples, 0.5) : -1;
}

void RefusalRoundTrip(BenchOut& out) {
  RunDriver(out, L"refusal");
  const double raw = PlainPipeRoundTripMs();
  if (raw < 0) return out.Fail("service.refusal_roundtrip.raw: the plain pipe failed");
  out.Figure("service.refusal_roundtrip.raw", raw, "ms");
}

void Approval50(BenchOut& out) { RunDriver(out, L"approval"); }

TAVRO_BENCH("service.refusal_roundtrip", RefusalRoundTrip);
TAVRO_BENCH("service.approval_50mb", Approval50);

}  // namespace
}  // namespace kelm::bench
