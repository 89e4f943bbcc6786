#pragma once
// SHA-256 computed on a thread of its own while the bytes are still arriving: the
// receive loop hands each piece over and goes on receiving, so hashing a large download
// costs little time after its last byte.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace kelm::update {

class BackgroundSha256 {
 public:
  // Bytes waiting for the hashing thread at most; a feeder past it waits, so nothing is
  // dropped and memory stays bounded when hashing is the slower side.
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  static constexpr size_t kMaxQueuedBlocks = 8;

  BackgroundSha256();
  // Stops the thread; an unfinished digest is dropped.
  ~BackgroundSha256();
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  // Copies the bytes in order; false once hashing has failed (later pieces are ignored).
  bool Feed(std::span<const uint8_t> bytes);
  // The digest of every byte fed, once all of them are hashed; nothing when a CNG call
  // failed. Call once.
  std::optional<std::array<uint8_t, 32>> Finish();

 private:
  void Run();
  void PushBlock(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<uint8_t> filling_;
  bool closed_ = false;    // no more bytes come
  bool failed_ = false;    // a CNG call failed
  bool finished_ = false;  // the thread has hashed everything it will
  std::array<uint8_t, 32> digest_{};
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace kelm::update
