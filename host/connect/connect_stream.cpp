// kelm::ConnectStream: reads of exact sizes with the stored time-out over an ICE stream.
#include "connect/connect_stream.h"

#include <limits>

namespace kelm {

ConnectStream::ConnectStream(std::unique_ptr<tavro::connect::IceStream> stream) : stream_(std::move(stream)) {}

ConnectStream::~ConnectStream() = default;

bool ConnectStream::ReadExact(void* buffer, size_t n) {
  if (n == 0) return true;
  auto* out = static_cast<uint8_t*>(buffer);
  int32_t timeout = readTimeoutMs_.load();
  size_t got = 0;
  while (got < n) {
    long long r = stream_->Read(out + got, n - got, timeout == 0 ? -1 : timeout);
    if (r < 1) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

namespace {

int32_t Clamped(uint32_t ms) {
  return ms > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                          : static_cast<int32_t>(ms);
}

}  // namespace

bool ConnectStream::Write(const void* data, size_t n) {
  const int32_t timeout = sendTimeoutMs_.load();
  return stream_->Write(data, n, timeout == 0 ? -1 : timeout);
}

void ConnectStream::SetReadTimeout(uint32_t ms) { readTimeoutMs_.store(Clamped(ms)); }

void ConnectStream::SetSendTimeout(uint32_t ms) { sendTimeoutMs_.store(Clamped(ms)); }

void ConnectStream::Shutdown() { stream_->Close(); }

}  // namespace kelm
