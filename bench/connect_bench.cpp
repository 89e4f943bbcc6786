// Figures of the relay's ICE stream against the Go device peer (pion ICE with kcp-go,
// started natively beside tavro-bench, loopback only): offer-to-answer and
// answer-to-connected times, and goodput with 32 MiB each way at 0 % and 5 % loss, beside
// kcp-go to kcp-go measured the same way in the same run, and the raw rate at which one
// thread receives loopback UDP datagrams here, which bounds the stream under Wine.
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "connect/ice_stream.h"
#include "connect/juice.h"
#include "core/socket.h"
#include "native_peer.h"

namespace kelm::bench {
namespace {

using namespace tavro::connect;

// 32 MiB keep each run several seconds long at the stream's rate here (tens of Mbit/s),
// far past the window's ramp in its first round trips, so the rate is the steady one.
constexpr size_t kBytesEachWay = 32u << 20;
constexpr size_t kPiece = 65536;
constexpr wchar_t kPeerProgram[] = L"device_peer";
constexpr int kSeed = 4242;
constexpr int kTransferMs = 300000;
constexpr int kLineMs = 20000;

double Mbits(double seconds) { return kBytesEachWay * 8.0 / seconds / 1e6; }

std::wstring LossArguments(int lossPercent) {
  return L" -bytes " + std::to_wstring(kBytesEachWay) + L" -loss " + std::to_wstring(lossPercent / 100.0) +
         L" -seed " + std::to_wstring(kSeed);
}

uint8_t PatternByte(size_t at) { return static_cast<uint8_t>((at * 2654435761u) >> 13); }

// kcp-go to kcp-go inside the peer program: seconds for the same bytes each way, or nothing.
std::optional<double> NativeSeconds(BenchOut& out, int lossPercent) {
  std::string error;
  auto peer = NativePeer::Start(kPeerProgram, L"-mode native" + LossArguments(lossPercent), error);
  if (!peer) {
    out.Fail("connect: " + error);
    return std::nullopt;
  }
  for (;;) {
    auto line = peer->ReadLine(kTransferMs);
    if (!line) break;
    if (line->starts_with("NATIVE_SECONDS ")) return std::stod(line->substr(15));
    out.Note("native peer: " + *line);
  }
  out.Fail("connect: the native kcp-go run gave no figure");
  return std::nullopt;
}

// Our stream against the Go peer, which echoes: seconds until every byte written came
// back, equal, or nothing.
std::optional<double> IceSeconds(BenchOut& out, int lossPercent, bool reportTimes) {
  std::string error;
  auto peer = NativePeer::Start(kPeerProgram, L"-mode echo -life 600s" + LossArguments(lossPercent), error);
  if (!peer) {
    out.Fail("connect: " + error);
    return std::nullopt;
  }
  std::string offer;
  for (;;) {
    auto line = peer->ReadLine(kLineMs);
    if (!line) {
      out.Fail("connect: the Go peer sent no offer");
      return std::nullopt;
    }
    if (*line == "END") break;
    if (line->starts_with("a=")) offer += *line + "\n";
  }
  IceTestSettings test;
  test.loopbackOnly = true;
  test.keepRedundantCandidates = true;
  IceStream::Config config;
  config.test = &test;
  auto stream = IceStream::Create(config);
  if (!stream) {
    out.Fail("connect: creating the ICE stream failed");
    return std::nullopt;
  }
  Stopwatch offerWatch;
  auto answer = stream->Answer(offer, 5000);
  const double offerToAnswer = offerWatch.Seconds() * 1000;
  if (!answer) {
    out.Fail("connect: no answer to the Go peer's offer");
    return std::nullopt;
  }
  std::string block;
  for (size_t at = 0; at < answer->size();) {
    size_t end = answer->find('\n', at);
    std::string line = answer->substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("a=")) block += line + "\n";
    at = end == std::string::npos ? answer->size() : end + 1;
  }
  Stopwatch connectWatch;
  if (!peer->WriteLine(block + "END") || !stream->WaitConnected(10000)) {
    out.Fail("connect: not connected to the Go peer");
    return std::nullopt;
  }
  const double answerToConnected = connectWatch.Seconds() * 1000;
  if (reportTimes) {
    out.Figure("connect.ice_stream.offer_to_answer", offerToAnswer, "ms");
    out.Figure("connect.ice_stream.answer_to_connected", answerToConnected, "ms");
  }

  std::atomic<bool> writerOk{false};
  Stopwatch watch;
  std::thread writer([&] {
    std::vector<uint8_t> piece(kPiece);
    size_t sent = 0;
    while (sent < kBytesEachWay) {
      size_t n = std::min(kPiece, kBytesEachWay - sent);
      for (size_t i = 0; i < n; ++i) piece[i] = PatternByte(sent + i);
      if (!stream->Write(piece.data(), n)) return;
      sent += n;
    }
    writerOk = true;
  });
  std::vector<uint8_t> buf(kPiece);
  size_t got = 0;
  bool equal = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTransferMs);
  while (got < kBytesEachWay && equal && std::chrono::steady_clock::now() < deadline) {
    long long n = stream->Read(buf.data(), buf.size(), 30000);
    if (n <= 0) break;
    for (long long i = 0; i < n; ++i) equal = equal && buf[static_cast<size_t>(i)] == PatternByte(got + static_cast<size_t>(i));
    got += static_cast<size_t>(n);
  }
  const double seconds = watch.Seconds();
  out.Note("ICE stream at " + std::to_string(lossPercent) + " % loss: " + stream->DebugStateForTest());
  stream->Close();
  writer.join();
  if (!writerOk || got != kBytesEachWay || !equal) {
    out.Fail("connect: the echo from the Go peer was incomplete or differed (" + std::to_string(got) + " bytes, " +
             stream->DebugStateForTest() + ")");
    return std::nullopt;
  }
  return seconds;
}

void RunGoodput(BenchOut& out, int lossPercent) {
  const std::string name = "connect.ice_stream.goodput_" + std::to_string(lossPercent);
  auto ours = IceSeconds(out, lossPercent, lossPercent == 0);
  auto native = NativeSeconds(out, lossPercent);
  if (ours) out.Figure(name, Mbits(*ours), "Mbit/s");
  if (native) out.Figure(name + ".native_kcp_go", Mbits(*native), "Mbit/s");
  if (ours && native) out.Figure(name + ".of_native", 100.0 * *native / *ours, "%");
}

// One thread receiving full-size stream datagrams from a loopback UDP socket while
// another sends them as fast as it can, as the agent's thread receives while the stream
// sends. Every stream segment and every acknowledgement costs one such receive.
void RawUdpReceive(BenchOut& out) {
  constexpr size_t kDatagram = 1200;
  constexpr double kSeconds = 2.0;
  const WinsockStartup winsock = StartWinsock();
  Socket receiver(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  Socket sender(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (!winsock || !receiver.Valid() || !sender.Valid() ||
      bind(receiver.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(receiver.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(sender.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return out.Fail("connect.ice_stream.raw_udp_receive: loopback UDP sockets failed");
  }
  const DWORD timeoutMs = 200;
  setsockopt(receiver.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
  std::atomic<bool> stop{false};
  std::thread send([&] {
    const std::vector<char> datagram(kDatagram, 'k');
    while (!stop) ::send(sender.Get(), datagram.data(), static_cast<int>(datagram.size()), 0);
  });
  std::vector<char> buffer(2048);
  uint64_t received = 0;
  Stopwatch watch;
  while (watch.Seconds() < kSeconds) {
    if (recv(receiver.Get(), buffer.data(), static_cast<int>(buffer.size()), 0) == static_cast<int>(kDatagram)) {
      ++received;
    }
  }
  const double seconds = watch.Seconds();
  stop = true;
  send.join();
  if (received == 0) return out.Fail("connect.ice_stream.raw_udp_receive: nothing arrived");
  out.Figure("connect.ice_stream.raw_udp_receive", static_cast<double>(received) / seconds, "datagrams/s");
  out.Figure("connect.ice_stream.raw_udp_receive_1200", static_cast<double>(received) * kDatagram * 8 / seconds / 1e6,
             "Mbit/s");
}

void IceStreamBench(BenchOut& out) {
  RawUdpReceive(out);
  RunGoodput(out, 0);
  RunGoodput(out, 5);
}

}  // namespace

TAVRO_BENCH("connect.ice_stream", IceStreamBench);

}  // namespace kelm::bench
