#pragma once
// A real session, locked, whose video thread streams the lock screen from a given pipe,
// with the device timing each frame: the shared loop of the lock-stream latency figures.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelm::bench {

struct LockedSessionRun {
  std::wstring pipeName;
  // True once the host holds the pipe.
  std::function<bool()> hostConnected;
  // Writes one frame into the pipe and says when it was taken (NowMicros); false ends the run.
  std::function<bool(uint64_t& takenMicros)> writeFrame;
  // Called once, right before the first measured frame.
  std::function<void()> measuring;
  // The encoder's start and the frames a software encoder holds back (it holds a few
  // frames, out well within 30 at 20 fps).
  int warmUp = 30;
  // 120 frames (6 s) put the p95 at the 114th sample, past any single slow frame.
  int measured = 120;
};

struct LockedSessionResult {
  std::vector<double> latencies;  // ms from taken to the device's VideoFrame
  double seconds = 0;             // of the measured frames
  std::string error;              // empty when the run worked
};

// One frame every 50 ms (20 fps), each waited for at the device (up to 1 s).
LockedSessionResult RunLockedSession(const LockedSessionRun& run);

}  // namespace kelm::bench
