#pragma once
// The device side of the video tests that watch a whole stream: a reader thread that keeps
// every record with its arrival time, acknowledges frames and pings as a device does, and
// helpers that pick a stream apart and write one stretch of it as an Annex-B file.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/text.h"
#include "support/device_client.h"

namespace kelm::test {

inline constexpr uint8_t kRecCodecConfig = 3, kRecVideoFrame = 4, kRecVideoFormat = 5, kRecFrameAck = 22,
                         kRecPing = 30;

struct Record {
  uint64_t ms;  // NowMicros() / 1000 when it arrived
  uint8_t type;
  Bytes payload;
};

class DeviceRecorder {
 public:
  using ReadFn = std::function<bool(uint8_t& type, Bytes& payload)>;
  using SendFn = std::function<bool(uint8_t type, const Bytes& payload)>;

  // `send` must be safe beside `read` on another thread. Pings once a second: a locked PC
  // without its helper sends nothing, and the host drops a silent device.
  DeviceRecorder(ReadFn read, SendFn send)
      : read_(std::move(read)), send_(std::move(send)), thread_([this] { Run(); }), pinger_([this] { Ping(); }) {}
  ~DeviceRecorder() { Join(); }
  DeviceRecorder(const DeviceRecorder&) = delete;
  DeviceRecorder& operator=(const DeviceRecorder&) = delete;

  // Waits for the connection to end.
  void Join() {
    if (thread_.joinable()) thread_.join();
    if (pinger_.joinable()) pinger_.join();
  }
  std::vector<Record> All() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  size_t Count(uint8_t type) {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(records_.begin(), records_.end(), [type](const Record& r) { return r.type == type; }));
  }
  // Waits until `done` holds on the records seen so far.
  bool WaitFor(const std::function<bool(const std::vector<Record>&)>& done, uint32_t limitMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done(records_); });
  }

 private:
  void Run() {
    uint8_t type = 0;
    Bytes payload;
    while (read_(type, payload)) {
      if (type == kRecVideoFrame && payload.size() >= 9) send_(kRecFrameAck, Bytes(payload.begin(), payload.begin() + 8));
      {
        std::lock_guard lock(mutex_);
        records_.push_back({NowMicros() / 1000, type, payload});
      }
      changed_.notify_all();
    }
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
  }
  void Ping() {
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::seconds(1), [this] { return ended_; })) {
      lock.unlock();
      send_(kRecPing, Bytes(8, 0));
      lock.lock();
    }
  }

  ReadFn read_;
  SendFn send_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Record> records_;
  bool ended_ = false;
  std::thread thread_;
  std::thread pinger_;
};

// Records of `type` from index `from` on.
inline size_t CountType(const std::vector<Record>& all, uint8_t type, size_t from = 0) {
  return static_cast<size_t>(std::count_if(all.begin() + static_cast<ptrdiff_t>(std::min(from, all.size())),
                                           all.end(), [type](const Record& r) { return r.type == type; }));
}
// Index of the n-th (from 1) record of `type`, or the record count when there is none.
inline size_t NthOfType(const std::vector<Record>& all, uint8_t type, size_t n) {
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].type == type && --n == 0) return i;
  }
  return all.size();
}

inline Bytes VideoFormatBytes(uint16_t w, uint16_t h, uint8_t codec, uint16_t sw, uint16_t sh) {
  return {static_cast<uint8_t>(w),  static_cast<uint8_t>(w >> 8),  static_cast<uint8_t>(h),
          static_cast<uint8_t>(h >> 8), codec, 0, static_cast<uint8_t>(sw), static_cast<uint8_t>(sw >> 8),
          static_cast<uint8_t>(sh), static_cast<uint8_t>(sh >> 8)};
}

// The records from `from` (a VideoFormat) to the next VideoFormat as one Annex-B file, at
// TAVRO_ANNEXB_OUT when the decoder check asked for it (else `fallback`), with a note of
// what the decoder must find. False when it could not be written.
inline bool WriteAnnexBStretch(const std::vector<Record>& all, size_t from, const std::wstring& fallback) {
  if (from >= all.size() || all[from].payload.size() < 4) return false;
  Bytes annexB;
  int frames = 0;
  const uint16_t width = static_cast<uint16_t>(all[from].payload[0] | all[from].payload[1] << 8);
  const uint16_t height = static_cast<uint16_t>(all[from].payload[2] | all[from].payload[3] << 8);
  for (size_t i = from + 1; i < all.size() && all[i].type != kRecVideoFormat; ++i) {
    const Record& r = all[i];
    if (r.type == kRecCodecConfig) annexB.insert(annexB.end(), r.payload.begin(), r.payload.end());
    if (r.type == kRecVideoFrame && r.payload.size() > 9) {
      annexB.insert(annexB.end(), r.payload.begin() + 9, r.payload.end());
      ++frames;
    }
  }
  const char* target = std::getenv("TAVRO_ANNEXB_OUT");
  const std::string path = target != nullptr ? target : WideToUtf8(fallback);
  std::ofstream file(std::filesystem::path(Utf8ToWide(path)), std::ios::binary);
  file.write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
  std::ofstream meta(std::filesystem::path(Utf8ToWide(path + ".json")));
  meta << "{\"videoFrames\": " << frames << ", \"width\": " << width << ", \"height\": " << height << "}\n";
  return file.good() && meta.good();
}

}  // namespace kelm::test
