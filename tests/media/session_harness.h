#pragma once
// A session over a real loopback connection, driven by the device-side test client, for
// the display tests: pairs the device, sends its Hello and reads the Welcome.
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/paths.h"
#include "core/session.h"
#include "support/device_client.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm::test {

struct WelcomeSeen {
  uint8_t status = 0xFF;
  uint8_t displayMode = 0xFF;
  uint8_t useHevc = 0xFF;
  std::string message;
};

class SessionHarness {
 public:
  explicit SessionHarness(VirtualDisplayDriver& driver) : driver_(driver), previousProfile_(ProfileDir()) {
    SetProfileDir(profile_.Path());
    pairing_.Load();
    pairing_.SetPinAlwaysValid(true);
    pairing_.SetPolicy({PairingMethod::Pin, 123456, {}, false});
    options.name = "TESTPC";
  }
  ~SessionHarness() {
    if (thread_.joinable()) {
      session->Stop();
      thread_.join();
    }
    session.reset();
    // A benchmark run keeps its own profile around the harness.
    SetProfileDir(previousProfile_);
  }
  SessionHarness(const SessionHarness&) = delete;
  SessionHarness& operator=(const SessionHarness&) = delete;

  // Connects, pairs and sends the Hello; the Welcome the host answers with.
  std::optional<WelcomeSeen> Connect(const HelloFields& hello) {
    auto [hostEnd, deviceEnd] = LoopbackPair();
    if (!hostEnd || !deviceEnd) return std::nullopt;
    deviceStream_ = std::move(deviceEnd);
    Session::Callbacks callbacks;
    session = std::make_unique<Session>(std::move(hostEnd), "192.168.1.20", Session::Link::Wifi, options, driver_,
                                        pairing_, std::move(callbacks), parts);
    thread_ = std::thread([s = session.get()] { s->Run(); });
    client_ = std::make_unique<DeviceClient>(*deviceStream_);
    HandshakeOptions ho;
    ho.pairing = PairingCode{0, 0, "123456"};
    if (client_->Handshake(identity_, ho).admissionResult != 0) return std::nullopt;
    if (!client_->SendRecord(1, BuildHello(hello))) return std::nullopt;
    uint8_t type = 0;
    Bytes p;
    if (!client_->ReadRecord(type, p) || type != 2 || p.size() < 24) return std::nullopt;
    WelcomeSeen w;
    w.status = p[6];
    w.displayMode = p[18];
    w.useHevc = p[7];
    size_t at = 20;
    const size_t nameLength = p[at] | size_t{p[at + 1]} << 8;
    at += 2 + nameLength;
    if (at + 2 <= p.size()) {
      const size_t n = p[at] | size_t{p[at + 1]} << 8;
      w.message.assign(reinterpret_cast<const char*>(p.data() + at + 2), std::min(n, p.size() - at - 2));
    }
    return w;
  }
  // Safe from two threads (one reading, one sending).
  bool Send(uint8_t type, const Bytes& payload) {
    std::lock_guard lock(sendMutex_);
    return client_->SendRecord(type, payload);
  }
  // The next record from the host; false once the connection is closed.
  bool Read(uint8_t& type, Bytes& payload) { return client_->ReadRecord(type, payload); }
  // Waits for the session's thread to finish (after a Bye, or a refused Welcome).
  void WaitForEnd() {
    if (thread_.joinable()) thread_.join();
  }

  HostOptions options;
  SessionParts parts;
  std::unique_ptr<Session> session;

 private:
  VirtualDisplayDriver& driver_;
  std::wstring previousProfile_;
  TempDir profile_;
  Pairing pairing_;
  DeviceIdentity identity_;
  std::unique_ptr<TestTcpStream> deviceStream_;
  std::unique_ptr<DeviceClient> client_;
  std::thread thread_;
  std::mutex sendMutex_;
};

}  // namespace kelm::test
