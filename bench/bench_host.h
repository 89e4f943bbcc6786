#pragma once
// A real host service on a loopback port for benchmarks, and a device that talks
// to it through the test tree's independent device client.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/host_service.h"
#include "support/device_client.h"
#include "support/test_tcp.h"

namespace kelm::bench {

inline constexpr uint32_t kBenchPin = 123456;
inline constexpr char kBenchPinText[] = "123456";

// A port nobody listens on right now (the system picks it).
uint16_t FreeLoopbackPort();

// The host service, initialised and started with PIN pairing always open and
// everything that reaches outside the process (adb, discovery, driver) off.
class BenchHost {
 public:
  BenchHost();
  ~BenchHost();
  BenchHost(const BenchHost&) = delete;
  BenchHost& operator=(const BenchHost&) = delete;

  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }
  uint16_t Port() const { return options_.port; }

 private:
  HostService host_;
  HostOptions options_;
  bool ok_ = false;
  std::string error_;
};

// One device: its identity, and while connected its stream and client.
class BenchDevice {
 public:
  // Connects and runs the handshake, with the PIN when `pair`; true when admitted.
  bool Handshake(uint16_t port, bool pair);
  // Sends Hello (the test client's defaults unless given) and reads a Welcome with status 0.
  bool HelloWelcome(const test::HelloFields& hello = {});
  // Handshake, Hello and Welcome.
  bool Open(uint16_t port, bool pair) { return Handshake(port, pair) && HelloWelcome(); }
  // Says Bye and closes the connection.
  void Bye();
  void Close();

  bool Send(proto::MsgType type, const test::Bytes& payload);
  // Several records of one type written with one call, as a device's burst arrives.
  bool SendTogether(proto::MsgType type, const std::vector<test::Bytes>& payloads);
  bool Read(uint8_t& type, test::Bytes& payload);
  // Why the last Handshake or HelloWelcome failed.
  const std::string& Error() const { return error_; }

 private:
  bool Failed(std::string why);

  test::DeviceIdentity identity_;
  std::unique_ptr<test::TestTcpStream> stream_;
  std::unique_ptr<test::DeviceClient> client_;
  std::string error_;
};

}  // namespace kelm::bench
