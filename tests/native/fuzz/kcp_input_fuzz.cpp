// Datagrams into the reliable stream layer: any bytes, in any number of datagrams, are
// taken or refused without harm, and what is received stays within the buffer.
#include <cstdint>
#include <vector>

#include "connect/kcp.h"
#include "fuzz_check.h"

namespace {

int DropOutput(const char*, int, tavro::connect::ikcpcb*, void*) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace c = tavro::connect;
  c::ikcpcb* kcp = c::ikcp_create(0x74766331, nullptr);
  c::ikcp_setoutput(kcp, DropOutput);
  kcp->stream = 1;
  c::ikcp_nodelay(kcp, 1, 10, 2, 1);
  c::ikcp_wndsize(kcp, 1024, 1024);
  uint32_t clock = 0;
  std::vector<char> buffer(4096);
  // Each datagram: a length byte, then that many bytes (the last takes the rest).
  size_t at = 0;
  while (at < size) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    c::ikcp_input(kcp, reinterpret_cast<const char*>(data + at + 1), static_cast<long>(n));
    at += 1 + n;
    clock += 10;
    c::ikcp_update(kcp, clock);
    for (int got; (got = c::ikcp_recv(kcp, buffer.data(), static_cast<int>(buffer.size()))) > 0;) {
      FUZZ_CHECK(got <= static_cast<int>(buffer.size()));
    }
  }
  c::ikcp_release(kcp);
  return 0;
}
