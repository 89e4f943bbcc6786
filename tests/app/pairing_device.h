#pragma once
// A device test client that pairs with a running host and gets past Hello, for the
// tests that drive the real tavro.exe.
#include <memory>
#include <optional>
#include <string>

#include "support/device_client.h"
#include "support/device_files.h"
#include "support/test_tcp.h"

namespace kelm::test {

struct PairingDevice {
  std::unique_ptr<TestTcpStream> stream;
  std::unique_ptr<DeviceClient> client;
  HandshakeOutcome outcome;
  // PIN pairing with `pin`.
  bool Connect(uint16_t port, const DeviceIdentity& identity, const std::string& pin) {
    return Connect(port, identity, PairingCode{0, 0, pin});
  }
  // `code` empty: a device paired before, asking for no pairing.
  bool Connect(uint16_t port, const DeviceIdentity& identity, const std::optional<PairingCode>& code) {
    stream = ConnectTcp("127.0.0.1", port);
    if (!stream) return false;
    client = std::make_unique<DeviceClient>(*stream);
    HandshakeOptions options;
    options.pairing = code;
    outcome = client->Handshake(identity, options);
    if (outcome.admissionResult != 0) return false;
    HelloFields hello;
    hello.name = "Test tablet";
    if (!client->SendRecord(1, BuildHello(hello))) return false;
    uint8_t type = 0;
    Bytes payload;
    return client->ReadRecord(type, payload) && type == 2;
  }
  // Ping (30) and wait for its answer (31), skipping the video on the way.
  bool Ping() {
    if (!client->SendRecord(30, {1, 2, 3, 4, 5, 6, 7, 8})) return false;
    uint8_t type = 0;
    Bytes payload;
    while (client->ReadRecord(type, payload)) {
      if (type == 31) return true;
    }
    return false;
  }
  // True once the host has closed the connection (reads fail).
  bool Dropped() {
    uint8_t type = 0;
    Bytes payload;
    while (client->ReadRecord(type, payload)) {
    }
    return true;
  }
};

}  // namespace kelm::test
