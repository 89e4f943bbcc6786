#pragma once
// The relay transport as a session's byte stream: one ICE stream behind kelm::ByteStream.
#include <atomic>
#include <memory>

#include "connect/ice_stream.h"
#include "core/byte_stream.h"

namespace kelm {

class ConnectStream : public ByteStream {
 public:
  explicit ConnectStream(std::unique_ptr<tavro::connect::IceStream> stream);
  ~ConnectStream() override;

  bool ReadExact(void* buffer, size_t n) override;
  bool Write(const void* data, size_t n) override;
  void SetReadTimeout(uint32_t ms) override;
  void Shutdown() override;
  // A write the peer takes nothing of for `ms` closes the stream and fails.
  void SetSendTimeout(uint32_t ms) override;

  tavro::connect::IceStream& Ice() { return *stream_; }

 private:
  std::unique_ptr<tavro::connect::IceStream> stream_;
  std::atomic<int32_t> readTimeoutMs_{0};
  std::atomic<int32_t> sendTimeoutMs_{0};
};

}  // namespace kelm
