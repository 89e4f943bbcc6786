// Figures of the session path over loopback: handshakes, records, whole sessions
// per second and the ping round trip, each beside its raw comparison.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/protocol.h"
#include "core/secure_channel.h"
#include "raw_figures.h"
#include "record_throughput.h"
#include "support/test_tcp.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;
constexpr int kHandshakes = 12;
constexpr int kPairings = 8;  // below the pairing guard's ten attempts per ten minutes
constexpr size_t kParallel = 8;

test::Bytes U64(uint64_t v) {
  test::Bytes b(8);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

void HandshakeBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("session.handshake: " + host.Error());
  BenchDevice known;
  if (!known.Open(host.Port(), true)) return out.Fail("session.handshake: the first pairing failed");
  known.Bye();

  std::vector<double> reconnect, paired;
  for (int i = 0; i < kHandshakes; ++i) {
    Stopwatch watch;
    if (!known.Handshake(host.Port(), false)) return out.Fail("session.handshake: a reconnect was refused");
    reconnect.push_back(watch.Micros() / 1000);
    known.HelloWelcome();
    known.Bye();
  }
  for (int i = 0; i < kPairings; ++i) {
    BenchDevice fresh;
    Stopwatch watch;
    if (!fresh.Handshake(host.Port(), true)) return out.Fail("session.handshake: a PIN pairing was refused");
    paired.push_back(watch.Micros() / 1000);
    fresh.HelloWelcome();
    fresh.Bye();
  }
  out.Figure("session.handshake_reconnect", Quantile(reconnect, 0.5), "ms");
  out.Figure("session.handshake_pin", Quantile(paired, 0.5), "ms");
}

// The host's record layer on one end of a loopback connection, after a real handshake
// with the device client on the other.
struct RecordLink {
  Pairing pairing;
  SecureChannel channel;
  std::unique_ptr<test::TestTcpStream> hostEnd, deviceEnd;
  std::unique_ptr<test::DeviceClient> device;

  bool Open() {
    if (!pairing.Load()) return false;
    pairing.SetPinAlwaysValid(true);
    pairing.SetPolicy({PairingMethod::Pin, kBenchPin, {}, false});
    std::tie(hostEnd, deviceEnd) = test::LoopbackPair();
    if (!hostEnd || !deviceEnd) return false;
    HandshakeResult result;
    auto host = std::async(std::launch::async, [&] {
      const auto accepted = channel.Accept(*hostEnd, "127.0.0.1", pairing, false, result);
      return accepted == decltype(accepted){};  // the first result value is "admitted"
    });
    device = std::make_unique<test::DeviceClient>(*deviceEnd);
    test::DeviceIdentity identity;
    test::HandshakeOptions options;
    options.pairing = test::PairingCode{0, 0, kBenchPinText};
    const bool deviceOk = device->Handshake(identity, options).admissionResult == 0;
    return host.get() && deviceOk;
  }
};

void RecordsBench(BenchOut& out) {
  RecordLink link;
  if (!link.Open()) return out.Fail("session.records: the handshake failed");
  const double hostWrites = RecordThroughput(kSeconds,
      [&](uint8_t type, const std::vector<uint8_t>& p) {
        return link.channel.WriteRecord(*link.hostEnd, type, p.data(), p.size());
      },
      [&](uint8_t& type, std::vector<uint8_t>& p) { return link.device->ReadRecord(type, p); });
  const double hostReads = RecordThroughput(kSeconds,
      [&](uint8_t type, const std::vector<uint8_t>& p) { return link.device->SendRecord(type, p); },
      [&](uint8_t& type, std::vector<uint8_t>& p) {
        return link.channel.ReadRecord(*link.hostEnd, type, p, SecureChannel::kMaxRecordPayload);
      });
  if (hostWrites == 0 || hostReads == 0) return out.Fail("session.records: a record stream broke");
  out.Figure("session.records.write_64k", hostWrites, "MB/s");
  out.Figure("session.records.read_64k", hostReads, "MB/s");
  out.Figure("session.records.raw_aes_gcm_64k", AesGcmSealMegabytesPerSecond(kSeconds), "MB/s");
  out.Figure("session.records.raw_tcp_64k", LoopbackTcpMegabytesPerSecond(kSeconds), "MB/s");
}

// Whole sessions (reconnect, Hello/Welcome, Bye) by `devices` devices at once, each
// already paired; returns sessions per second, counts the failed attempts and keeps
// the first failure's cause.
double SessionRate(BenchHost& host, std::vector<std::unique_ptr<BenchDevice>>& devices, size_t count,
                   uint64_t& failures, std::string& firstFailure) {
  std::atomic<uint64_t> done{0}, failed{0};
  std::mutex firstMutex;
  Stopwatch watch;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) {
    threads.emplace_back([&, d = devices[i].get()] {
      while (watch.Seconds() < 2 * kSeconds) {
        if (d->Open(host.Port(), false)) {
          ++done;
        } else if (++failed == 1) {
          std::lock_guard lock(firstMutex);
          firstFailure = d->Error();
        }
        d->Bye();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  failures = failed;
  return static_cast<double>(done) / watch.Seconds();
}

void SessionRateBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("session.rate: " + host.Error());
  std::vector<std::unique_ptr<BenchDevice>> devices;
  for (size_t i = 0; i < kParallel; ++i) {
    devices.push_back(std::make_unique<BenchDevice>());
    if (!devices.back()->Open(host.Port(), true)) {
      return out.Fail("session.rate: pairing a device failed: " + devices.back()->Error());
    }
    devices.back()->Bye();
  }
  uint64_t sequentialFailures = 0, parallelFailures = 0;
  std::string sequentialCause, parallelCause;
  const double sequential = SessionRate(host, devices, 1, sequentialFailures, sequentialCause);
  if (sequentialFailures != 0) {
    return out.Fail("session.rate: " + std::to_string(sequentialFailures) + " sequential sessions failed, the first: " +
                    sequentialCause);
  }
  const double parallel = SessionRate(host, devices, kParallel, parallelFailures, parallelCause);
  out.Figure("session.rate.sequential", sequential, "sessions/s");
  out.Figure("session.rate.parallel8", parallel, "sessions/s");
  out.Figure("session.rate.parallel8_failed", static_cast<double>(parallelFailures), "attempts");
  if (parallelFailures != 0) out.Note("session.rate: the first failed parallel session: " + parallelCause);
}

// Devices that say Bye and reconnect at once, each `rounds` times, all together: the
// reconnects that failed (a session still tearing down must not hold its slot).
void ChurnBench(BenchOut& out) {
  // 400 reconnects, all 8 devices at once: a slot still held by a session tearing down
  // refuses reconnects from the first rounds on, so more rounds only add teardown time.
  constexpr int kRounds = 50;
  BenchHost host;
  if (!host.Ok()) return out.Fail("session.churn: " + host.Error());
  std::vector<std::unique_ptr<BenchDevice>> devices;
  for (size_t i = 0; i < kParallel; ++i) {
    devices.push_back(std::make_unique<BenchDevice>());
    if (!devices.back()->Open(host.Port(), true)) {
      return out.Fail("session.churn: pairing a device failed: " + devices.back()->Error());
    }
    devices.back()->Bye();
  }
  std::atomic<uint64_t> refused{0};
  std::mutex firstMutex;
  std::string firstFailure;
  Stopwatch watch;
  std::vector<std::thread> threads;
  for (const auto& device : devices) {
    threads.emplace_back([&, d = device.get()] {
      for (int round = 0; round < kRounds; ++round) {
        if (!d->Open(host.Port(), false) && ++refused == 1) {
          std::lock_guard lock(firstMutex);
          firstFailure = d->Error();
        }
        d->Bye();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = watch.Seconds();
  out.Figure("session.churn.refused", static_cast<double>(refused), "sessions");
  out.Figure("session.churn.sessions_per_s", kParallel * kRounds / seconds, "sessions/s");
  if (refused != 0) out.Note("session.churn: the first refused reconnect: " + firstFailure);
}

// Round trips of `size`-byte messages to a thread that echoes them, over loopback.
std::vector<double> RawEchoRoundTrips(size_t size) {
  auto [hostEnd, deviceEnd] = test::LoopbackPair();
  std::vector<double> samples;
  if (!hostEnd || !deviceEnd) return samples;
  std::thread echo([&, h = hostEnd.get()] {
    std::vector<uint8_t> buffer(size);
    while (h->ReadExact(buffer.data(), size) && h->Write(buffer.data(), size)) {
    }
  });
  std::vector<uint8_t> buffer(size, 1);
  RunFor(kSeconds, 100, [&] {
    Stopwatch watch;
    if (!deviceEnd->Write(buffer.data(), size) || !deviceEnd->ReadExact(buffer.data(), size)) return false;
    samples.push_back(watch.Micros());
    return true;
  });
  deviceEnd->Shutdown();
  echo.join();
  return samples;
}

// Messages of `size` bytes a second through a plain echo over loopback (whatever
// arrives goes straight back, Nagle off): `depth` written with one call, read back in
// whatever pieces arrive.
double RawEchoPipelined(size_t size, size_t depth) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(listener);
    return 0;
  }
  SOCKET device = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const bool connected = connect(device, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  SOCKET echoEnd = connected ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
  closesocket(listener);
  if (echoEnd == INVALID_SOCKET) {
    closesocket(device);
    return 0;
  }
  const BOOL on = TRUE;
  for (SOCKET s : {device, echoEnd}) {
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  auto sendAll = [](SOCKET s, const char* p, int n) {
    for (int sent = 0; n > 0; p += sent, n -= sent) {
      if ((sent = send(s, p, n, 0)) <= 0) return false;
    }
    return true;
  };
  std::thread echo([&] {
    std::vector<char> buffer(65536);
    for (int got; (got = recv(echoEnd, buffer.data(), static_cast<int>(buffer.size()), 0)) > 0;) {
      if (!sendAll(echoEnd, buffer.data(), got)) break;
    }
  });
  std::vector<char> burst(size * depth, 1);
  const LoopResult r = RunFor(kSeconds, 10, [&] {
    if (!sendAll(device, burst.data(), static_cast<int>(burst.size()))) return false;
    for (int got = 0, n; got < static_cast<int>(burst.size()); got += n) {
      if ((n = recv(device, burst.data() + got, static_cast<int>(burst.size()) - got, 0)) <= 0) return false;
    }
    return true;
  });
  shutdown(device, SD_BOTH);
  echo.join();
  closesocket(device);
  closesocket(echoEnd);
  return r.seconds > 0 ? static_cast<double>(r.iterations * depth) / r.seconds : 0;
}

// Pings a second through one session: `depth` written with one call, then every Pong read.
double PipelinedPings(BenchDevice& device, size_t depth) {
  uint64_t sequence = 0;
  const LoopResult r = RunFor(kSeconds, 10, [&] {
    std::vector<test::Bytes> pings;
    for (size_t i = 0; i < depth; ++i) pings.push_back(U64(++sequence));
    if (!device.SendTogether(proto::MsgType::Ping, pings)) return false;
    for (size_t pongs = 0; pongs < depth;) {
      uint8_t type = 0;
      test::Bytes payload;
      if (!device.Read(type, payload)) return false;
      if (type == static_cast<uint8_t>(proto::MsgType::Pong)) ++pongs;
    }
    return true;
  });
  return r.seconds > 0 && r.iterations >= 10 ? static_cast<double>(r.iterations * depth) / r.seconds : 0;
}

void PingBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("session.ping: " + host.Error());
  BenchDevice device;
  if (!device.Open(host.Port(), true)) return out.Fail("session.ping: the device was not admitted");
  std::vector<double> samples;
  uint64_t sequence = 0;
  RunFor(kSeconds, 100, [&] {
    Stopwatch watch;
    if (!device.Send(proto::MsgType::Ping, U64(++sequence))) return false;
    uint8_t type = 0;
    test::Bytes payload;
    while (device.Read(type, payload)) {
      if (type == static_cast<uint8_t>(proto::MsgType::Pong)) {
        samples.push_back(watch.Micros());
        return true;
      }
    }
    return false;
  });
  constexpr size_t kDepth = 64;
  const double pipelined = PipelinedPings(device, kDepth);
  device.Bye();
  if (samples.size() < 100) return out.Fail("session.ping: the host stopped answering pings");
  if (pipelined == 0) return out.Fail("session.ping: the host stopped answering pipelined pings");
  // A ping record is 4 + 1 + 8 + 16 bytes on the wire.
  const std::vector<double> raw = RawEchoRoundTrips(29);
  out.Figure("session.ping.median", Quantile(samples, 0.5), "us");
  out.Figure("session.ping.p99", Quantile(samples, 0.99), "us");
  out.Figure("session.ping.raw_tcp_median", Quantile(raw, 0.5), "us");
  out.Figure("session.ping.raw_tcp_p99", Quantile(raw, 0.99), "us");
  const double rawPipelined = RawEchoPipelined(29, kDepth);
  out.Figure("session.ping.pipelined_64", pipelined, "pings/s");
  out.Figure("session.ping.raw_tcp_pipelined_64", rawPipelined, "messages/s");
  out.Figure("session.ping.pipelined_64_ratio", rawPipelined > 0 ? pipelined / rawPipelined : 0, "x");
}

TAVRO_BENCH("session.churn", ChurnBench);
TAVRO_BENCH("session.handshake", HandshakeBench);
TAVRO_BENCH("session.ping", PingBench);
TAVRO_BENCH("session.rate", SessionRateBench);
TAVRO_BENCH("session.records", RecordsBench);

}  // namespace

double LoopbackTcpMegabytesPerSecond(double seconds) {
  auto [hostEnd, deviceEnd] = test::LoopbackPair();
  if (!hostEnd || !deviceEnd) return 0;
  std::atomic<bool> stop{false};
  std::thread writer([&, d = deviceEnd.get()] {
    std::vector<uint8_t> buffer(kThroughputPayload, 0x3C);
    while (!stop && d->Write(buffer.data(), buffer.size())) {
    }
    d->Shutdown();
  });
  std::vector<uint8_t> buffer(kThroughputPayload);
  const LoopResult r = RunFor(seconds, 4, [&] { return hostEnd->ReadExact(buffer.data(), buffer.size()); });
  stop = true;
  // The writer may be blocked in a send that only a read can finish: a shutdown of the
  // reading end does not fail it (the run hung here). Read on until the writer's own
  // shutdown ends the stream.
  while (hostEnd->ReadExact(buffer.data(), buffer.size())) {
  }
  writer.join();
  return MegabytesPerSecond(r.iterations * kThroughputPayload, r.seconds);
}

}  // namespace kelm::bench
