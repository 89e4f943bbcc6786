#pragma once
// Plays the helper service's lock agent for tests: serves "\\.\pipe\tavro.LockScreen.N"
// (or any name) with the agent's descriptor, sends B8G8R8A8 colour-bar frames at a fixed
// rate and records the input messages the host writes back. It shares no code with the
// host's pipe client: framing and transfers are its own.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/win_handle.h"

namespace kelm::test {

class FakeLockAgent {
 public:
  struct Options {
    std::wstring pipeName;
    uint32_t width = 1920;
    uint32_t height = 1080;
    uint32_t fps = 20;
    // "O:SY..." as the service makes it; false: the default descriptor (an impostor).
    bool systemOwned = true;
    bool silent = false;   // sends no frames
    bool reading = true;   // reads the host's input
    // Each line the agent prints ("input 0c 41 00 ...", "connected", "disconnected").
    std::function<void(const std::string&)> onLine;
    // Called right after each frame was written, with its number (from 1) and the time
    // (QueryPerformanceCounter microseconds).
    std::function<void(uint64_t frame, uint64_t micros)> onFrameWritten;
    // Frames are written only when WriteOneFrame asks (for latency measurements).
    bool onDemand = false;
  };

  FakeLockAgent() = default;
  ~FakeLockAgent() { Stop(); }
  FakeLockAgent(const FakeLockAgent&) = delete;
  FakeLockAgent& operator=(const FakeLockAgent&) = delete;

  // Creates the pipe (first instance only) and starts serving; false when the pipe
  // cannot be made.
  bool Start(Options options);
  // Closes the pipe and ends every thread.
  void Stop();

  void SetSilent(bool silent) { silent_ = silent; }
  void SetReading(bool reading);
  // Ends the current connection, then waits for the next host.
  void Disconnect();
  // With onDemand: writes one frame now (false when no host is connected).
  bool WriteOneFrame();

  // Bodies of the type 2 messages received, in order.
  std::vector<std::vector<uint8_t>> Inputs() const;
  struct Input {
    int connection;  // 1 for the first host connection, and so on
    std::vector<uint8_t> body;
  };
  std::vector<Input> InputsByConnection() const;
  // Every other message type received (types only).
  std::vector<uint8_t> OtherTypes() const;
  int Connections() const { return connections_.load(); }
  bool HostConnected() const { return hostConnected_.load(); }
  uint64_t FramesWritten() const { return framesWritten_.load(); }

  // The picture: five vertical bars (white, red, green, blue, black), B8G8R8A8.
  static std::vector<uint8_t> BarsFrame(uint32_t width, uint32_t height);

 private:
  void Serve();
  void ServeHost();
  void ReadInput();
  bool WriteFrame();
  void Print(const std::string& line);

  Options options_;
  WinHandle pipe_;
  WinHandle stopEvent_;        // manual-reset: Stop
  WinHandle connectionEvent_;  // manual-reset: the current connection ends
  WinHandle readingEvent_;     // manual-reset: set while the input thread may read
  std::thread server_;
  std::thread reader_;
  std::atomic<bool> silent_{false};
  std::atomic<bool> hostConnected_{false};
  std::atomic<int> connections_{0};
  std::atomic<uint64_t> framesWritten_{0};
  std::mutex writeMutex_;
  std::vector<uint8_t> message_;  // header and body of the frame, built once
  mutable std::mutex inputMutex_;
  std::vector<Input> inputs_;
  std::vector<uint8_t> otherTypes_;
};

}  // namespace kelm::test
