// Figures of input injection: the injector's own cost per pen record and per touch frame,
// measured against the recording backend so no system call is timed.
#include <cstdint>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "desktop/input_injector.h"
#include "support/input_payloads.h"
#include "support/recording_input_backend.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;
constexpr size_t kPenRecordsPerMessage = 16;
constexpr uint8_t kPenMessage = 10;
constexpr uint8_t kTouchMessage = 11;
constexpr uint64_t kClearEvery = 4096;  // keeps the recording backend's memory bounded

void PenRecordBench(BenchOut& out) {
  test::RecordingInputBackend backend(true);
  InputInjector injector(backend);
  // A stroke in contact: every record after the first is a move with pressure and tilt.
  std::vector<test::PenRecord> records;
  for (size_t i = 0; i < kPenRecordsPerMessage; ++i) {
    records.push_back({0x03, 0.3f + 0.001f * static_cast<float>(i), 0.5f, 0.6f, 12.0f, -8.0f, 45.0f});
  }
  const std::vector<uint8_t> payload = test::PenPayload(records);
  uint64_t messages = 0;
  const LoopResult r = RunFor(kSeconds, 100, [&] {
    injector.HandleMessage(kPenMessage, payload);
    if (++messages % kClearEvery == 0) {
      backend.Clear();
    }
    return true;
  });
  const double perRecordNs = r.seconds * 1e9 / static_cast<double>(r.iterations * kPenRecordsPerMessage);
  backend.Clear();
  injector.HandleMessage(kPenMessage, payload);
  if (backend.injections.size() != kPenRecordsPerMessage) {
    out.Fail("input.pen: the records were not all injected");
    return;
  }
  out.Figure("input.pen_record", perRecordNs, "ns");
}

void TouchFrameBench(BenchOut& out) {
  test::RecordingInputBackend backend(true);
  InputInjector injector(backend);
  std::vector<std::vector<uint8_t>> frames;
  for (int step = 0; step < 2; ++step) {
    std::vector<test::TouchRecord> contacts;
    for (uint8_t id = 0; id < 10; ++id) {
      contacts.push_back({id, 0, 0.05f + 0.09f * id + 0.002f * step, 0.5f, 0.7f, 0.01f, 0.01f});
    }
    frames.push_back(test::TouchPayload(contacts));
  }
  uint64_t frame = 0;
  const LoopResult r = RunFor(kSeconds, 100, [&] {
    injector.HandleMessage(kTouchMessage, frames[frame % 2]);
    if (++frame % kClearEvery == 0) {
      backend.Clear();
    }
    return true;
  });
  backend.Clear();
  injector.HandleMessage(kTouchMessage, frames[frame % 2]);
  if (backend.injections.size() != 1 || backend.injections.back().info.size() != 10) {
    out.Fail("input.touch: a frame did not carry ten contacts");
    return;
  }
  out.Figure("input.touch_frame_10", r.seconds * 1e9 / static_cast<double>(r.iterations), "ns");
}

}  // namespace

TAVRO_BENCH("input.pen", PenRecordBench);
TAVRO_BENCH("input.touch", TouchFrameBench);

}  // namespace kelm::bench
