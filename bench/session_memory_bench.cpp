// What sessions cost in memory and threads, and what they leave behind: the real host
// service in this process, private bytes and threads against a warmed-up idle host.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/protocol.h"
#include "support/process_threads.h"

namespace kelm::bench {
namespace {

constexpr size_t kDevices = 8;
constexpr int kChurned = 200;
constexpr double kStreamSeconds = 3.0;
constexpr double kMegabyte = 1024.0 * 1024.0;

struct Memory {
  double committed = 0;  // private bytes (Wine leaves PrivateUsage 0: PagefileUsage then)
  double resident = 0;   // working set
};

Memory ProcessMemory() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    return {};
  }
  const SIZE_T bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
  return {static_cast<double>(bytes) / kMegabyte, static_cast<double>(counters.WorkingSetSize) / kMegabyte};
}

size_t ThreadCount() { return test::ProcessThreadIds().size(); }

// The idle count has no known target: it is taken once the count has not fallen for
// 200 ms (the warm-up sessions' threads are joined by then), waiting at most 3 s.
size_t SteadyThreads() {
  size_t n = ThreadCount();
  for (int i = 0, steady = 0; i < 150 && steady < 10; ++i) {
    Sleep(20);
    const size_t now = ThreadCount();
    steady = now < n ? 0 : steady + 1;
    n = now;
  }
  return n;
}

// Threads once the ended sessions have been reaped (waits up to 3 s for `target`).
size_t SettledThreads(size_t target) {
  size_t n = ThreadCount();
  for (int i = 0; i < 150 && n > target; ++i) {
    Sleep(20);
    n = ThreadCount();
  }
  return n;
}

// A mirrored 1920x1080 stream, read (and every frame acknowledged) for `seconds`.
bool Stream(BenchDevice& device, uint16_t port, double seconds, std::atomic<double>* peak,
            std::atomic<double>* peakResident) {
  test::HelloFields hello;
  hello.panelWidth = 1920;
  hello.panelHeight = 1080;
  hello.displayWidth = 1920;
  hello.displayHeight = 1080;
  hello.fps = 30;
  if (!device.Handshake(port, false) || !device.HelloWelcome(hello)) return false;
  Stopwatch watch;
  uint8_t type = 0;
  test::Bytes payload;
  while (watch.Seconds() < seconds && device.Read(type, payload)) {
    if (type == static_cast<uint8_t>(proto::MsgType::VideoFrame) && payload.size() >= 8) {
      device.Send(proto::MsgType::FrameAck, test::Bytes(payload.begin(), payload.begin() + 8));
    }
    if (peak != nullptr) {
      const Memory now = ProcessMemory();
      for (auto [value, top] : {std::pair{now.committed, peak}, std::pair{now.resident, peakResident}}) {
        double seen = top->load();
        while (value > seen && !top->compare_exchange_weak(seen, value)) {
        }
      }
    }
  }
  device.Bye();
  return true;
}

void MemoryBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("session.memory: " + host.Error());
  std::vector<std::unique_ptr<BenchDevice>> devices;
  for (size_t i = 0; i < kDevices; ++i) {
    devices.push_back(std::make_unique<BenchDevice>());
    if (!devices.back()->Open(host.Port(), true)) {
      return out.Fail("session.memory: pairing a device failed: " + devices.back()->Error());
    }
    devices.back()->Bye();
  }
  // Warmed up: each device has streamed once, so what a first session sets up for the
  // whole process is in place before the idle figure is taken.
  for (auto& d : devices) Stream(*d, host.Port(), 0.5, nullptr, nullptr);
  Sleep(500);
  const size_t idleThreads = SteadyThreads();
  const Memory idle = ProcessMemory();

  for (int i = 0; i < kChurned; ++i) {
    if (!devices[i % kDevices]->Open(host.Port(), false)) {
      return out.Fail("session.memory: a churned session failed: " + devices[i % kDevices]->Error());
    }
    devices[i % kDevices]->Bye();
  }
  Sleep(500);
  const size_t churnedThreads = SettledThreads(idleThreads);
  const Memory churned = ProcessMemory();

  std::atomic<double> peak{0}, peakResident{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (auto& d : devices) {
    threads.emplace_back([&, device = d.get()] {
      if (!Stream(*device, host.Port(), kStreamSeconds, &peak, &peakResident)) ++failed;
    });
  }
  for (std::thread& t : threads) t.join();
  Sleep(500);
  const size_t afterThreads = SettledThreads(idleThreads);
  const Memory after = ProcessMemory();
  if (failed != 0) out.Note("session.memory: " + std::to_string(failed.load()) + " streaming sessions failed");

  out.Figure("session.memory.idle", idle.committed, "MB");
  out.Figure("session.memory.per_stream_1080p", (peak.load() - idle.committed) / kDevices, "MB");
  out.Figure("session.memory.after_churn", churned.committed - idle.committed, "MB");
  out.Figure("session.memory.after_sessions", after.committed - idle.committed, "MB");
  out.Figure("session.memory.resident_idle", idle.resident, "MB");
  out.Figure("session.memory.resident_per_stream_1080p", (peakResident.load() - idle.resident) / kDevices, "MB");
  out.Figure("session.memory.resident_after_churn", churned.resident - idle.resident, "MB");
  out.Figure("session.memory.resident_after_sessions", after.resident - idle.resident, "MB");
  out.Figure("session.threads.idle", static_cast<double>(idleThreads), "threads");
  out.Figure("session.threads.after_churn", static_cast<double>(churnedThreads), "threads");
  out.Figure("session.threads.after_sessions", static_cast<double>(afterThreads), "threads");
}

TAVRO_BENCH("session.memory", MemoryBench);

}  // namespace
}  // namespace kelm::bench
