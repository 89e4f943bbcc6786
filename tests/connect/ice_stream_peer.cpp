// The Windows side of the ICE stream end-to-end tests: answers the device peer's offer
// (read from stdin), then runs one scenario and prints its results.
//
// usage: ice_stream_peer SCENARIO [BYTES] [--stun URL] [--turn URL USER PASS] [--relay-only]
//                        [--no-channels] [--turn-auth-delay MS]
//   echo BYTES        write BYTES of random data, read them back, compare
//   write-close BYTES write BYTES, close and destroy the stream at once
//   slow-reader BYTES sleep 5 s while the peer pushes, report memory growth, then read all
//   flood             report the datagram queue's peak after the peer's flood, then echo
//   consent MS        stay idle for MS, then report the state
//   vanish            wait until the peer disappears, report how long the stream took to close
//   wrap BYTES        echo with the stream's 32-bit clock starting 2 s before its wrap
//   gather            no peer: print the answer to a fixed offer and the TURN counters
//   refresh MS        echo a little, stay MS, echo again through the relay
//   peer-close        read the peer's message, then see its close marker end the stream
//   turn-idle MS      no peer: gather through the TURN server, stay MS, print the CPU time
//   stall BYTES       write BYTES to a peer that never reads, with a 1000 ms send time-out
//   fat               report memory growth while the peer sends 64 KiB datagrams, then echo
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connect/connect_stream.h"
#include "connect/ice_stream.h"
#include "connect/juice.h"
#include "core/crypto.h"
#include "core/encoding.h"

using tavro::connect::IceStream;
using tavro::connect::IceTestSettings;

namespace {

using Clock = std::chrono::steady_clock;

long long Ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc);
  // The largest of the counters this system fills in (some report private usage as 0).
  return std::max({static_cast<size_t>(pmc.PrivateUsage), static_cast<size_t>(pmc.PagefileUsage),
                   static_cast<size_t>(pmc.WorkingSetSize)});
}

std::vector<uint8_t> RandomData(size_t n, uint32_t seed) {
  std::vector<uint8_t> d(n);
  std::mt19937 rng(seed);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string scenario = argv[1];
  size_t bytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
  IceTestSettings test;
  test.loopbackOnly = true;
  test.keepRedundantCandidates = true;
  IceStream::Config config;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--stun" && i + 1 < argc) {
      config.stunServer = argv[++i];
    } else if (a == "--turn" && i + 3 < argc) {
      auto t = IceStream::AddTurnServer(argv[i + 1], argv[i + 2], argv[i + 3]);
      i += 3;
      if (!t) return 3;
      config.turnServers.push_back(*t);
    } else if (a == "--relay-only") {
      test.relayOnly = true;
    } else if (a == "--no-channels") {
      test.turnChannels = false;
    } else if (a == "--turn-auth-delay" && i + 1 < argc) {
      test.turnAuthDelayMs = static_cast<uint32_t>(std::atoi(argv[++i]));
    }
  }
  if (scenario == "vanish") {
    test.timers.consentTimeoutMs = 4000;
    test.timers.consentIntervalMs = 500;
  }
  if (scenario == "wrap") test.kcpClockOffset = 0xFFFFFFFFu - 2000u - static_cast<uint32_t>(GetTickCount64());
  config.test = &test;
  auto stream = IceStream::Create(config);
  if (!stream) return 1;
  auto printTurnOf = [](IceStream& ice) {
    for (const auto& t : ice.TurnStatsForTest()) {
      std::printf("TURN unauthorized=%d stale=%d refreshes=%d channeldata=%d indications=%d lifetime=%u first_lifetime=%u\n",
                  t.unauthorized, t.staleNonce, t.refreshes, t.channelDataIn, t.dataIndicationsIn,
                  t.lifetimeSeconds, t.firstLifetimeSeconds);
    }
  };
  // The stream may have moved into a ConnectStream or been closed by then.
  auto printTurn = [&] {
    if (stream) printTurnOf(*stream);
  };
  if (scenario == "turn-idle") {
    // Gather through the TURN server, then stay idle: the CPU time spent meanwhile.
    auto answer = stream->Answer("a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n", 10000);
    const auto cpuMs = [] {
      FILETIME created, exited, kernel, user;
      GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
      const auto ticks = [](const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; };
      return static_cast<long long>((ticks(kernel) + ticks(user)) / 10000);
    };
    const long long before = cpuMs();
    Sleep(static_cast<DWORD>(bytes));
    std::printf("ANSWERED %d\nIDLE_CPU_MS %lld\n", answer ? 1 : 0, cpuMs() - before);
    printTurn();
    std::printf("FINISHED\n");
    return 0;
  }
  if (scenario == "gather") {
    auto start = Clock::now();
    auto answer = stream->Answer("a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n", 10000);
    std::printf("GATHERED_MS %lld\n%sEND\n", Ms(start), answer ? answer->c_str() : "NO ANSWER\n");
    printTurn();
    std::printf("FINISHED\n");
    return 0;
  }

  std::string offer, line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "END") break;
    offer += line + "\n";
  }
  auto offerAt = Clock::now();
  auto answer = stream->Answer(offer, 5000);
  if (!answer) {
    std::printf("NO ANSWER\n");
    return 1;
  }
  long long answerMs = Ms(offerAt);
  std::printf("%sEND\n", answer->c_str());
  std::fflush(stdout);
  auto answeredAt = Clock::now();
  if (!stream->WaitConnected(10000)) {
    std::printf("NOT CONNECTED\n");
    return 1;
  }
  std::printf("OFFER_TO_ANSWER_MS %lld\nANSWER_TO_CONNECTED_MS %lld\n", answerMs, Ms(answeredAt));
  if (auto pair = stream->SelectedCandidates()) {
    std::printf("PAIR %s|%s|%s|%s\n", pair->localType.c_str(), pair->localAddress.c_str(), pair->remoteType.c_str(),
                pair->remoteAddress.c_str());
  }
  std::fflush(stdout);

  if (scenario == "peer-close") {
    const std::string expected = "hello from the device";
    std::string got(expected.size(), '\0');
    size_t n = 0;
    while (n < got.size()) {
      long long r = stream->Read(got.data() + n, got.size() - n, 5000);
      if (r <= 0) break;
      n += static_cast<size_t>(r);
    }
    char extra;
    auto start = Clock::now();
    long long after = stream->Read(&extra, 1, 5000);
    std::printf("PEER_CLOSE message=%s after=%lld ms=%lld write=%d\n", got == expected ? "equal" : "LOST", after,
                Ms(start), stream->Write("x", 1) ? 1 : 0);
  } else if (scenario == "refresh") {
    // Echo a little, outlive several allocation lifetimes, echo again.
    for (int round = 0; round < 2; ++round) {
      if (round == 1) Sleep(static_cast<DWORD>(bytes));
      auto data = RandomData(65536, 20 + round);
      stream->Write(data.data(), data.size());
      std::vector<uint8_t> back(data.size());
      size_t got = 0;
      while (got < back.size()) {
        long long n = stream->Read(back.data() + got, back.size() - got, 10000);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      std::printf("ROUND%d %s\n", round, got == back.size() && back == data ? "equal" : "LOST");
    }
  } else if (scenario == "echo" || scenario == "wrap") {
    kelm::ConnectStream cs(std::move(stream));
    cs.SetReadTimeout(20000);
    auto data = RandomData(bytes, 9);
    auto start = Clock::now();
    std::thread writer([&] { cs.Write(data.data(), data.size()); });
    std::vector<uint8_t> back(bytes);
    bool ok = cs.ReadExact(back.data(), back.size());
    if (!ok) cs.Shutdown();  // frees a writer still waiting for room
    writer.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("ECHO %s %.3f s %.1f Mbit/s\n", ok && back == data ? "equal" : "DIFFERENT", seconds,
                bytes * 8.0 / seconds / 1e6);
    printTurnOf(cs.Ice());
  } else if (scenario == "write-close") {
    auto data = RandomData(bytes, 10);
    bool ok = stream->Write(data.data(), data.size());
    stream->Close();
    stream.reset();
    std::printf("WROTE %d %s\n", ok ? 1 : 0, kelm::HexEncode(kelm::Sha256(data)).c_str());
  } else if (scenario == "slow-reader") {
    size_t before = PrivateBytes();
    std::printf("MEMORY_BEFORE_BYTES %zu\n", before);
    size_t peak = before;
    for (int i = 0; i < 50; ++i) {
      Sleep(100);
      peak = std::max(peak, PrivateBytes());
    }
    std::printf("MEMORY_GROWTH_BYTES %lld\nPEAK_READ_BUFFER %zu\n", static_cast<long long>(peak) - static_cast<long long>(before),
                stream->PeakReadBufferForTest());
    std::vector<uint8_t> buf(65536);
    size_t total = 0;
    auto start = Clock::now();
    while (total < bytes && Ms(start) < 170000) {
      // Generous: a lost window announcement waits for the sender's next window probe.
      long long n = stream->Read(buf.data(), buf.size(), 30000);
      if (n <= 0) {
        std::printf("STALLED %s\n", stream->DebugStateForTest().c_str());
        break;
      }
      total += static_cast<size_t>(n);
    }
    std::printf("READ %zu\n", total);
  } else if (scenario == "flood") {
    Sleep(3000);
    std::printf("PEAK_QUEUE %zu\n", stream->PeakQueuedDatagramsForTest());
    const char hello[] = "still working";
    stream->Write(hello, sizeof hello);
    char back[sizeof hello] = {};
    size_t got = 0;
    while (got < sizeof hello) {
      long long n = stream->Read(back + got, sizeof hello - got, 10000);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    std::printf("AFTER_FLOOD %s\n", got == sizeof hello && std::memcmp(back, hello, got) == 0 ? "echoed" : "LOST");
  } else if (scenario == "stall") {
    kelm::ConnectStream cs(std::move(stream));
    cs.SetSendTimeout(1000);
    auto data = RandomData(bytes, 11);
    auto start = Clock::now();
    const bool wrote = cs.Write(data.data(), data.size());
    const long long ms = Ms(start);
    uint8_t any = 0;
    cs.SetReadTimeout(2000);
    const bool readable = cs.ReadExact(&any, 1);
    std::printf("STALL write=%d ms=%lld read=%d\n", wrote ? 1 : 0, ms, readable ? 1 : 0);
  } else if (scenario == "fat") {
    size_t before = PrivateBytes();
    size_t peak = before;
    for (int i = 0; i < 50; ++i) {
      Sleep(100);
      peak = std::max(peak, PrivateBytes());
    }
    std::printf("MEMORY_BEFORE_BYTES %zu\nMEMORY_GROWTH_BYTES %lld\n", before,
                static_cast<long long>(peak) - static_cast<long long>(before));
    const char hello[] = "still working";
    stream->Write(hello, sizeof hello);
    char back[sizeof hello] = {};
    size_t got = 0;
    while (got < sizeof hello) {
      long long n = stream->Read(back + got, sizeof hello - got, 10000);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    std::printf("AFTER_FAT %s\n", got == sizeof hello && std::memcmp(back, hello, got) == 0 ? "echoed" : "LOST");
  } else if (scenario == "consent") {
    Sleep(static_cast<DWORD>(bytes));
    std::printf("AFTER_IDLE %s\n", stream->WaitConnected(0) ? "connected" : "CLOSED");
  } else if (scenario == "vanish") {
    std::printf("WAITING\n");
    std::fflush(stdout);
    // The driver ends the peer after this line; the read ends when consent fails.
    auto start = Clock::now();
    char c;
    long long r = stream->Read(&c, 1, 60000);
    std::printf("VANISHED read=%lld after_ms=%lld\n", r, Ms(start));
  }
  printTurn();
  std::printf("FINISHED\n");
  std::fflush(stdout);
  return 0;
}
