#pragma once
// The page host's small rules that need no Windows: which navigations stay inside the
// page, the backdrop placeholder, and how often a dead browser is re-created.
#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace kelm {

inline constexpr wchar_t kBackdropPlaceholder[] = L"{{BACKDROP}}";

// The page's own document ("data:", case-sensitive) and "about:blank" load inside;
// everything else is cancelled.
bool StaysInPage(std::wstring_view uri);

// The page text with its first placeholder replaced by "mica" or "solid".
std::wstring PageWithBackdrop(std::wstring page, bool backdrop);

// A browser that dies at start would be re-created forever: at most `kMaxRecreations`
// within `kWindow`; the next failure is a failed initialisation.
class RecreateLimit {
 public:
  static constexpr size_t kMaxRecreations = 3;
  static constexpr std::chrono::seconds kWindow{60};
  using Clock = std::chrono::steady_clock;

  // True (and counted) when another re-creation is allowed at `now`.
  bool Allow(Clock::time_point now);

 private:
  std::deque<Clock::time_point> recent_;
};

}  // namespace kelm
