#pragma once
// The crafted host state of the status snapshot's golden text (make_ui_state_golden.py
// describes the same): 8 sessions over USB, Wi-Fi and the relay, 64 paired devices of
// which 3 are connected, 3 addresses, one virtual. Shared by the test and the bench.
#include <format>
#include <utility>
#include <vector>

#include "core/host_status.h"
#include "core/pairing.h"

namespace kelm {

inline std::string DeviceId(uint64_t i) { return std::format("{:016x}", i * 0x9E3779B1ull); }

// The host state that make_ui_state_golden.py describes.
struct Crafted {
  HostStatus status;
  std::vector<PairedDevice> devices;
};

inline Crafted CraftedState() {
  Crafted c;
  HostStatus& s = c.status;
  s.running = true;
  s.driverConnected = true;
  s.usbActive = true;
  s.options.port = 27190;
  s.options.name = "DESK Müller";
  s.options.pin = 4321;
  s.addresses = {{"192.168.1.10", "Ethernet", false}, {"10.0.0.7", "Wi-Fi", false},
                 {"172.20.0.1", "vEthernet (WSL)", true}};
  s.connect.state = ConnectClient::State::Online;
  s.connect.detail = "relay.example.net";
  const std::pair<int, int> connected[] = {{5, 0}, {17, 3}, {40, 6}};
  for (int k = 0; k < 8; ++k) {
    HostSessionStatus x;
    const int link = k % 3;
    x.id = 1000 + k;
    x.deviceName = k == 3 ? "Tablet Ünal" : std::format("Tablet {}", k);
    x.peer = link == 0 ? "usb" : std::format("192.168.1.{}:5{}000", 20 + k, k);
    x.usb = link == 0;
    x.relay = link == 2;
    x.mirror = k % 2 == 0;
    x.width = 1920 + k;
    x.height = 1200 - k;
    x.fps = k % 2 == 0 ? 60 : 30;
    x.audio = k % 4 == 0;
    x.transferText = k == 2 ? "Receiving photo.jpg 42%" : "";
    x.deviceId = std::format("{:016x}", 0xF000 + k);
    for (auto [device, session] : connected) {
      if (session == k) x.deviceId = DeviceId(device);
    }
    s.sessions.push_back(x);
  }
  for (int i = 0; i < 64; ++i) {
    PairedDevice d;
    d.id = DeviceId(i);
    d.name = i == 17 ? "Tablet Ünal" : std::format("Device {}", i);
    d.pairedAt = 1700000000 + int64_t{i} * 86400;
    d.lastSeen = i % 7 == 0 ? 0 : 1710000000 + i;
    c.devices.push_back(d);
  }
  return c;
}

}  // namespace kelm
