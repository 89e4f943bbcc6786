// Text-field detection under a real desktop: focus moves between the controls of the
// test window (another process), clicked through the input injector.
#include "desktop/text_field_detector.h"

#include <gtest/gtest.h>

#include <atomic>

#include <chrono>
#include <condition_variable>
#include <format>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "desktop/input_injector.h"
#include "support/input_payloads.h"
#include "support/input_target_window.h"
#include "support/log_capture.h"

namespace kelm {
namespace {

struct Report {
  bool active;
  RECT rect;
  bool reset;
};

class Recorder {
 public:
  void Add(bool active, const RECT& rect, bool reset) {
    std::lock_guard lock(mutex_);
    reports_.push_back({active, rect, reset});
    changed_.notify_all();
  }
  // Waits for a report (after the first `from`) that satisfies `match`.
  template <typename Match>
  bool WaitFor(size_t from, Match match, std::chrono::milliseconds timeout, Report* found = nullptr) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (size_t i = from; i < reports_.size(); ++i) {
        if (match(reports_[i])) {
          if (found != nullptr) *found = reports_[i];
          return true;
        }
      }
      return false;
    });
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return reports_.size();
  }
  std::string Text() {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const Report& r : reports_) {
      out += std::format("{} ({},{})-({},{}) {}\n", r.active, r.rect.left, r.rect.top, r.rect.right, r.rect.bottom,
                         r.reset);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
};

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom && inner.right > inner.left && inner.bottom > inner.top;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class TextFieldDetectorEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbose(true);
    ASSERT_TRUE(target.Start()) << target.Output();
    injector.SetTargetRect(RECT{0, 0, GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)});
  }
  void Click(const RECT& r) {
    const float x = ((r.left + r.right) / 2 + 0.5f) / GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const float y = ((r.top + r.bottom) / 2 + 0.5f) / GetSystemMetrics(SM_CYVIRTUALSCREEN);
    injector.HandleMessage(15, test::PointerPayload(1, 0, x, y));
    injector.HandleMessage(15, test::PointerPayload(2, 0, x, y));
  }

  // Waits until the log holds `text`.
  bool WaitLog(const std::string& text, uint32_t timeoutMs = 1000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (log.Text().find(text) == std::string::npos) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(20);
    }
    return true;
  }

  test::TempDir dir;
  test::LogCapture log{dir.File(L"detector.log")};
  test::InputTargetWindow target;
  InputInjector injector;
  Recorder recorder;
};

TEST_F(TextFieldDetectorEndToEnd, FocusAndCaretOfAnEditAndAButton) {
  const int32_t id = TextFieldDetector::Instance().Subscribe(
      [this](bool active, const RECT& rect, bool reset) { recorder.Add(active, rect, reset); });
  EXPECT_EQ(id, 1);
  Sleep(300);  // the detector thread sets up UI Automation and its hooks
  const size_t before = recorder.Count();

  Click(target.edit);
  Report report{};
  ASSERT_TRUE(recorder.WaitFor(before, [&](const Report& r) { return r.active && Inside(r.rect, target.edit); },
                               std::chrono::milliseconds(1000), &report))
      << recorder.Text() << log.Text() << target.Output();
  // UI Automation saw the EDIT with its screen rectangle (whether the caret or the focus
  // came first, the caret's rectangle wins once it is there).
  const std::string focusLine = std::format("' editable=true at ({},{})-({},{})", target.edit.left,
                                            target.edit.top, target.edit.right, target.edit.bottom);
  EXPECT_TRUE(WaitLog("Focus: type 50004 '")) << log.Text();
  EXPECT_TRUE(WaitLog(focusLine)) << log.Text();

  // With the caret stand-in the rectangle becomes the caret's: narrow, inside the EDIT.
  ASSERT_TRUE(recorder.WaitFor(before, [&](const Report& r) {
    return r.active && Inside(r.rect, target.edit) && r.rect.right - r.rect.left < 10;
  }, std::chrono::milliseconds(1000))) << recorder.Text() << log.Text();
  EXPECT_NE(log.Text().find("Caret shown at ("), std::string::npos) << log.Text();

  const size_t beforeButton = recorder.Count();
  Click(target.button);
  ASSERT_TRUE(recorder.WaitFor(beforeButton, [](const Report& r) { return !r.active; },
                               std::chrono::milliseconds(1500)))
      << recorder.Text() << log.Text() << target.Output();
  EXPECT_TRUE(WaitLog(std::format("' editable=false at ({},{})-({},{})", target.button.left, target.button.top,
                                  target.button.right, target.button.bottom)))
      << log.Text();
  EXPECT_TRUE(WaitLog("Caret gone")) << log.Text();
  TextFieldDetector::Instance().Unsubscribe(id);
}

TEST_F(TextFieldDetectorEndToEnd, SubscriptionsShareOneThread) {
  TextFieldDetector& detector = TextFieldDetector::Instance();
  const int32_t first = detector.Subscribe([](bool, const RECT&, bool) {});
  const int32_t second = detector.Subscribe([this](bool a, const RECT& r, bool reset) { recorder.Add(a, r, reset); });
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  detector.Unsubscribe(first);
  detector.Unsubscribe(second);
  // Unsubscribing everyone keeps the thread; the next subscription gets a new id.
  const int32_t third = detector.Subscribe([this](bool a, const RECT& r, bool reset) { recorder.Add(a, r, reset); });
  EXPECT_EQ(third, 3);
  Sleep(300);
  Click(target.multi);
  EXPECT_TRUE(recorder.WaitFor(0, [&](const Report& r) { return r.active && Inside(r.rect, target.multi); },
                               std::chrono::milliseconds(1000)))
      << recorder.Text() << log.Text();
  detector.Unsubscribe(third);
  EXPECT_EQ(Count(log.Text(), "Text field detection started (UI Automation on, caret hooks on)"), 1u) << log.Text();
}

TEST_F(TextFieldDetectorEndToEnd, ASubscriberThatBlocksDelaysNoOther) {
  TextFieldDetector& detector = TextFieldDetector::Instance();
  // The first stands for a session whose device stopped reading: its send blocks for 2 s.
  std::atomic<ULONGLONG> blockedAt{0}, otherAt{0};
  const int32_t stalled = detector.Subscribe([&](bool active, const RECT&, bool) {
    if (!active) return;
    ULONGLONG expected = 0;
    if (blockedAt.compare_exchange_strong(expected, GetTickCount64())) Sleep(2000);
  });
  const int32_t other = detector.Subscribe([&](bool active, const RECT& r, bool reset) {
    if (active) {
      ULONGLONG expected = 0;
      otherAt.compare_exchange_strong(expected, GetTickCount64());
    }
    recorder.Add(active, r, reset);
  });
  Sleep(300);
  Click(target.multi);
  EXPECT_TRUE(recorder.WaitFor(0, [&](const Report& r) { return r.active && Inside(r.rect, target.multi); },
                               std::chrono::milliseconds(1500)))
      << recorder.Text() << log.Text();
  for (int i = 0; i < 100 && blockedAt.load() == 0; ++i) Sleep(10);
  ASSERT_NE(blockedAt.load(), 0u);
  ASSERT_NE(otherAt.load(), 0u);
  const auto a = static_cast<int64_t>(blockedAt.load());
  const auto b = static_cast<int64_t>(otherAt.load());
  EXPECT_LT(b - a, 100) << "the other subscriber waited for the blocked one";
  const ULONGLONG before = GetTickCount64();
  detector.Unsubscribe(other);
  EXPECT_LT(GetTickCount64() - before, 500u);  // not held up by the blocked call
  detector.Unsubscribe(stalled);
}

}  // namespace
}  // namespace kelm
