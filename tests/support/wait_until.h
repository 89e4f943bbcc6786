#pragma once
// Polls a condition until it holds or a time limit passes, for tests that watch another
// thread or process.
#include <chrono>
#include <functional>
#include <thread>

namespace kelm::test {

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace kelm::test
