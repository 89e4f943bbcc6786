#pragma once
// The byte stream every transport implements and every session reads and writes.
#include <cstddef>
#include <cstdint>

namespace kelm {

class ByteStream {
 public:
  virtual ~ByteStream() = default;  // closes the transport

  // True once exactly n bytes were read; false on close, timeout or error.
  virtual bool ReadExact(void* buffer, size_t n) = 0;
  // True once all n bytes were handed to the transport.
  virtual bool Write(const void* data, size_t n) = 0;
  // From now on a read that waits longer than `ms` fails; 0 means no limit.
  virtual void SetReadTimeout(uint32_t ms) = 0;
  // Ends the connection both ways so a read blocked in another thread returns false.
  // Any thread, any number of times; does not free the object.
  virtual void Shutdown() = 0;
  // From now on a write that cannot hand its data over within `ms` fails, and the
  // stream is unusable afterwards (part of a record may have gone out); 0 means no
  // limit. A transport that cannot wait forever on its peer may ignore it.
  virtual void SetSendTimeout(uint32_t /*ms*/) {}
  // Bytes that have arrived but were not read yet; a transport that keeps none says 0.
  virtual size_t BufferedBytes() const { return 0; }
  // Copies up to n of those bytes without taking them; the count copied.
  virtual size_t PeekBuffered(void* /*out*/, size_t /*n*/) const { return 0; }

 protected:
  ByteStream() = default;
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;
};

}  // namespace kelm
