// The host's side of the service pipe: owner check, one request, one reply under a
// watchdog that cancels the read on its time limit or when the updater stops.
#include "update/service_pipe_client.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "media/pipe_framing.h"

namespace kelm::update {
namespace {

// Cancels the pipe's I/O once the time limit has passed or the stop flag is set, and
// keeps cancelling until the read is marked finished (a cancel that lands before the
// read has started would otherwise be lost).
class ServiceReplyWatchdog {
 public:
  ServiceReplyWatchdog(HANDLE pipe, uint64_t limitMs, const std::atomic<bool>* stop)
      : pipe_(pipe), limit_(std::chrono::milliseconds(limitMs)), stop_(stop), thread_([this] { Run(); }) {}
  ~ServiceReplyWatchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  ServiceReplyWatchdog(const ServiceReplyWatchdog&) = delete;
  ServiceReplyWatchdog& operator=(const ServiceReplyWatchdog&) = delete;

 private:
  static constexpr auto kStopPoll = std::chrono::milliseconds(50);

  void Run() {
    const auto end = std::chrono::steady_clock::now() + limit_;
    std::unique_lock lock(mutex_);
    while (!finished_) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= end || (stop_ != nullptr && stop_->load())) {
        CancelIoEx(pipe_, nullptr);
        wake_.wait_for(lock, kStopPoll);
        continue;
      }
      wake_.wait_until(lock, std::min(end, now + kStopPoll));
    }
  }

  HANDLE pipe_;
  std::chrono::milliseconds limit_;
  const std::atomic<bool>* stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool finished_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace

ServiceRequestResult AskServiceToInstall(std::string_view channel, std::string_view version, std::string& error,
                                         const ServicePipeSettings& settings) {
  const std::wstring name = settings.pipeName.empty() ? std::wstring(kServicePipeName) : settings.pipeName;
  WinHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe) return ServiceRequestResult::NoUsableService;
  if (!PipeOwnedByLocalSystem(pipe.Get())) {
    LogWarn("Update: ignoring {} (not created by the tavro service)", WideToUtf8(name));
    return ServiceRequestResult::NoUsableService;
  }
  const std::string request = ServiceRequestBody(channel, version);
  const auto requestBytes = std::span(reinterpret_cast<const uint8_t*>(request.data()), request.size());
  if (!WritePipeMessage(pipe.Get(), static_cast<uint8_t>(PipeMessageType::UpdateRequest), requestBytes, {},
                        nullptr)) {
    return ServiceRequestResult::NoUsableService;
  }
  uint8_t type = 0;
  std::vector<uint8_t> body;
  bool read = false;
  {
    const ServiceReplyWatchdog watchdog(pipe.Get(), settings.replyWaitMs, settings.stop);
    read = ReadPipeMessage(pipe.Get(), type, body, kServiceReplyMaxBytes, nullptr);
  }
  if (!read || type != static_cast<uint8_t>(PipeMessageType::UpdateReply)) {
    return ServiceRequestResult::NoUsableService;
  }
  return ParseServiceReply(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), error);
}

}  // namespace kelm::update
