// The hashing thread of BackgroundSha256 and the bounded hand-over to it.
#include "update/background_sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include "core/cng_handles.h"

namespace kelm::update {

BackgroundSha256::BackgroundSha256() : thread_([this] { Run(); }) {}

BackgroundSha256::~BackgroundSha256() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    failed_ = true;  // an abandoned digest: the thread stops at its next block
    queue_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundSha256::PushBlock(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return failed_ || queue_.size() < kMaxQueuedBlocks; });
  if (failed_) return;
  queue_.push_back(std::move(filling_));
  filling_ = {};
  changed_.notify_all();
}

bool BackgroundSha256::Feed(std::span<const uint8_t> bytes) {
  std::unique_lock lock(mutex_);
  while (!bytes.empty() && !failed_) {
    if (filling_.capacity() < kBlockBytes) filling_.reserve(kBlockBytes);
    const size_t take = std::min(bytes.size(), kBlockBytes - filling_.size());
    filling_.insert(filling_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (filling_.size() == kBlockBytes) PushBlock(lock);
  }
  return !failed_;
}

std::optional<std::array<uint8_t, 32>> BackgroundSha256::Finish() {
  std::unique_lock lock(mutex_);
  if (!filling_.empty()) PushBlock(lock);
  closed_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return finished_; });
  if (failed_) return std::nullopt;
  return digest_;
}

void BackgroundSha256::Run() {
  cng::HashHandle hash;
  const bool created = BCRYPT_SUCCESS(BCryptCreateHash(cng::Sha256Alg(), hash.Put(), nullptr, 0, nullptr, 0, 0));
  std::unique_lock lock(mutex_);
  if (!created) failed_ = true;
  for (;;) {
    changed_.wait(lock, [this] { return failed_ || closed_ || !queue_.empty(); });
    if (failed_ || queue_.empty()) break;
    std::vector<uint8_t> block = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();  // room for the feeder
    lock.unlock();
    const bool hashed =
        BCRYPT_SUCCESS(BCryptHashData(hash.Get(), block.data(), static_cast<ULONG>(block.size()), 0));
    lock.lock();
    if (!hashed) failed_ = true;
  }
  if (!failed_ && !BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), digest_.data(), static_cast<ULONG>(digest_.size()), 0))) {
    failed_ = true;
  }
  finished_ = true;
  changed_.notify_all();
}

}  // namespace kelm::update
