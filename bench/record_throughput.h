#pragma once
// Record throughput for benchmarks: a writer thread sends 64 KiB records for a while and
// then an end record, and the caller's reader counts them until the end record.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench_timing.h"

namespace kelm::bench {

inline constexpr size_t kThroughputPayload = 64 * 1024;
inline constexpr uint8_t kThroughputDataType = 200;  // unknown to the host: a type no message uses
inline constexpr uint8_t kThroughputEndType = 201;

// MB/s of data records read, or 0 when a write or a read failed.
template <typename Write, typename Read>
double RecordThroughput(double seconds, Write write, Read read) {
  std::atomic<bool> writeOk{true};
  Stopwatch watch;
  std::thread writer([&] {
    std::vector<uint8_t> payload(kThroughputPayload, 0xA5);
    while (watch.Seconds() < seconds) {
      if (!write(kThroughputDataType, payload)) {
        writeOk = false;
        break;
      }
    }
    if (writeOk) writeOk = write(kThroughputEndType, {});
  });
  uint64_t bytes = 0;
  uint8_t type = 0;
  std::vector<uint8_t> payload;
  bool readOk = true;
  while ((readOk = read(type, payload)) && type == kThroughputDataType) bytes += payload.size();
  const double elapsed = watch.Seconds();
  writer.join();
  return writeOk && readOk ? MegabytesPerSecond(bytes, elapsed) : 0;
}

}  // namespace kelm::bench
