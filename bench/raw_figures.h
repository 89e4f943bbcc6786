#pragma once
// Raw comparison figures that several benchmarks print beside their own.

namespace kelm::bench {

// AES-256-GCM sealing of 64 KiB buffers through the crypto wrappers, for `seconds`.
double AesGcmSealMegabytesPerSecond(double seconds);
// Plain TCP over loopback, 64 KiB writes and reads between two threads, for `seconds`.
double LoopbackTcpMegabytesPerSecond(double seconds);

}  // namespace kelm::bench
