#pragma once
// The relay client that keeps the PC signed in to the relay server.
//
// PLACEHOLDER until the relay is built: it never signs in and reports no ICE
// servers, so sessions tell devices the relay is off unless it is configured.
#include <functional>
#include <string>
#include <vector>

namespace kelm {

class ConnectClient {
 public:
  struct Status {
    std::string state = "off";
    std::string detail;
    std::vector<std::string> iceServers;
  };
  void Configure(bool /*enabled*/, const std::string& /*server*/) {}
  Status GetStatus() const { return {}; }
  void SetStateCallback(std::function<void()>) {}
  void OnPairingChanged() {}
};

}  // namespace kelm
