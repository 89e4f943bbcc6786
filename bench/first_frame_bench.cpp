// Welcome to the first video frame at the device, through the real host service and
// its real video thread: one device alone, and eight that connect together.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/protocol.h"

namespace kelm::bench {
namespace {

constexpr int kAloneRounds = 7;
constexpr int kTogetherRounds = 3;
constexpr size_t kTogether = 8;

// Opens a session and waits for its first VideoFrame; milliseconds after the Welcome,
// or a negative value when no frame came.
double FirstFrameMs(BenchDevice& device, uint16_t port, std::string& error) {
  if (!device.Open(port, false)) {
    error = device.Error();
    return -1;
  }
  Stopwatch watch;
  uint8_t type = 0;
  test::Bytes payload;
  while (device.Read(type, payload)) {
    if (type == static_cast<uint8_t>(proto::MsgType::VideoFrame)) {
      const double ms = watch.Micros() / 1000;
      device.Bye();
      return ms;
    }
  }
  error = "the session ended before its first video frame";
  device.Close();
  return -1;
}

void FirstFrameBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("video.first_frame: " + host.Error());
  std::vector<std::unique_ptr<BenchDevice>> devices;
  for (size_t i = 0; i < kTogether; ++i) {
    devices.push_back(std::make_unique<BenchDevice>());
    if (!devices.back()->Open(host.Port(), true)) {
      return out.Fail("video.first_frame: pairing a device failed: " + devices.back()->Error());
    }
    devices.back()->Bye();
  }
  std::string error;
  std::vector<double> alone;
  for (int round = 0; round < kAloneRounds; ++round) {
    const double ms = FirstFrameMs(*devices[0], host.Port(), error);
    if (ms < 0) return out.Fail("video.first_frame: " + error);
    alone.push_back(ms);
  }
  std::vector<double> together;
  std::atomic<int> failed{0};
  for (int round = 0; round < kTogetherRounds; ++round) {
    std::vector<double> times(kTogether, -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kTogether; ++i) {
      threads.emplace_back([&, i] {
        std::string why;
        times[i] = FirstFrameMs(*devices[i], host.Port(), why);
        if (times[i] < 0) ++failed;
      });
    }
    for (std::thread& t : threads) t.join();
    for (const double t : times) {
      if (t >= 0) together.push_back(t);
    }
  }
  out.Figure("video.first_frame_ms", Quantile(alone, 0.5), "ms");
  if (!together.empty()) {
    out.Figure("video.first_frame_ms.8_together_median", Quantile(together, 0.5), "ms");
    out.Figure("video.first_frame_ms.8_together_p95", Quantile(together, 0.95), "ms");
  }
  out.Figure("video.first_frame_ms.8_together_failed", failed.load(), "sessions");
}

TAVRO_BENCH("video.first_frame", FirstFrameBench);

}  // namespace
}  // namespace kelm::bench
