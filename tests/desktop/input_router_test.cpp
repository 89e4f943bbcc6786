// The input router against a recording backend, a scripted text-field source, a fake
// clock and a fake send: the device-keyboard rule, message 8, the lock-screen mode and
// the races between them.
#include "desktop/input_router.h"

#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/input_payloads.h"
#include "support/recording_input_backend.h"

namespace kelm {
namespace {

using test::PenRecord;
using test::RecordingInputBackend;
using test::TouchRecord;

constexpr uint8_t kPen = 10, kTouch = 11, kKey = 12, kText = 13, kPointer = 15;
constexpr uint8_t kKeyboardMessage = 8;

// Text-field reports on demand, delivered like the detector does: under its lock.
class ScriptedTextFields final : public TextFieldSource {
 public:
  int32_t Subscribe(TextFieldCallback callback) override {
    std::lock_guard lock(mutex_);
    callbacks_[nextId_] = std::move(callback);
    return nextId_++;
  }
  void Unsubscribe(int32_t id) override {
    std::lock_guard lock(mutex_);
    callbacks_.erase(id);
  }
  void Report(bool active, RECT rect, bool reset = false) {
    std::lock_guard lock(mutex_);
    for (auto& [id, callback] : callbacks_) callback(active, rect, reset);
  }
  size_t Subscribers() {
    std::lock_guard lock(mutex_);
    return callbacks_.size();
  }

 private:
  std::mutex mutex_;
  std::map<int32_t, TextFieldCallback> callbacks_;
  int32_t nextId_ = 1;
};

class RecordingSink final : public LockScreenInputSink {
 public:
  void SendInput(uint8_t type, const uint8_t* payload, size_t size) override {
    std::lock_guard lock(mutex);
    forwarded.emplace_back(type, std::vector<uint8_t>(payload, payload + size));
  }
  std::mutex mutex;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> forwarded;
};

// Every message 8 sent, as its show byte.
class KeyboardMessages {
 public:
  InputRouter::SendFn Fn() {
    return [this](const msg::Message& m) {
      std::lock_guard lock(mutex_);
      if (static_cast<uint8_t>(m.type) == kKeyboardMessage && m.payload.size() == 1) {
        shows_.push_back(m.payload[0]);
      } else {
        ++others_;
      }
      return true;
    };
  }
  std::vector<uint8_t> Shows() {
    std::lock_guard lock(mutex_);
    return shows_;
  }
  int Others() {
    std::lock_guard lock(mutex_);
    return others_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> shows_;
  int others_ = 0;
};

const RECT kField{800, 500, 1100, 530};  // centre (950, 515), inside the default target

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override { router.Start(proto::PenMode::Pen, proto::TouchMode::Touch, keyboard.Fn()); }
  void Send(uint8_t type, const std::vector<uint8_t>& payload) { router.OnMessage(type, payload); }
  // A touch press and its lift at the current time.
  void TouchTap(float x = 0.5f, float y = 0.5f) {
    Send(kTouch, test::TouchPayload({{1, 0, x, y}}));
    Send(kTouch, test::TouchPayload({}));
  }
  void Advance(uint64_t ms) {
    now += ms;
    backend.tick += ms;
  }

  RecordingInputBackend backend{true};
  ScriptedTextFields fields;
  std::atomic<uint64_t> now{500000};
  KeyboardMessages keyboard;
  InputRouter router{"dev", backend, fields, [this] { return now.load(); }};
};

TEST_F(RouterTest, FieldFocusedSoonAfterATouchOpensTheKeyboardOnce) {
  TouchTap();
  EXPECT_EQ(router.LastPointerTick(), now.load());
  Advance(1500);
  fields.Report(true, kField);
  EXPECT_EQ(keyboard.Shows(), std::vector<uint8_t>{1});
  // The same field reported again, and a later move of its caret, send nothing more.
  fields.Report(true, kField);
  Advance(60000);
  fields.Report(true, RECT{810, 500, 1110, 530});
  EXPECT_EQ(keyboard.Shows(), std::vector<uint8_t>{1});
  EXPECT_TRUE(router.KeyboardShown());
}

TEST_F(RouterTest, FieldFocusedLongAfterATouchWaitsForTheNextTouch) {
  TouchTap();
  Advance(2500);
  fields.Report(true, kField);
  EXPECT_TRUE(keyboard.Shows().empty());
  EXPECT_TRUE(router.TextFieldInTarget());
  // Key and text input do not count as pointer input.
  Send(kKey, test::KeyPayload('A', true, false));
  Send(kText, test::TextPayload("x"));
  router.UpdateDeviceKeyboard();
  EXPECT_TRUE(keyboard.Shows().empty());
  TouchTap();
  router.UpdateDeviceKeyboard();
  EXPECT_EQ(keyboard.Shows(), std::vector<uint8_t>{1});
}

TEST_F(RouterTest, TheTwoSecondLimitIsInclusive) {
  struct Case {
    uint64_t after;
    bool shown;
  };
  for (const Case c : {Case{0, true}, Case{2000, true}, Case{2001, false}}) {
    router.SetDeviceKeyboard(false);
    fields.Report(false, kField);
    Send(kPointer, test::PointerPayload(0, 0, 0.1f, 0.1f));
    Advance(c.after);
    fields.Report(true, kField);
    EXPECT_EQ(router.KeyboardShown(), c.shown) << c.after;
  }
}

TEST_F(RouterTest, NoPointerInputEverDoesNotOpenTheKeyboard) {
  now = 1000;  // a clock close to its start must not count "never" as recent
  fields.Report(true, kField);
  EXPECT_FALSE(router.KeyboardShown());
  EXPECT_TRUE(keyboard.Shows().empty());
}

TEST_F(RouterTest, FieldWhoseCentreIsOutsideTheTargetClosesTheKeyboard) {
  router.Injector().SetTargetRect(RECT{1920, 0, 3840, 1080});
  struct Case {
    RECT field;
    bool inside;
  };
  const std::vector<Case> cases = {
      {RECT{1900, 100, 1940, 120}, true},    // centre x 1920: the left edge is inside
      {RECT{1800, 100, 1838, 120}, false},   // centre x 1819: another monitor
      {RECT{3800, 100, 3880, 120}, false},   // centre x 3840: the right edge is outside
      {RECT{2000, 1070, 2100, 1090}, false}, // centre y 1080: the bottom edge is outside
      {RECT{-40, -10, 0, 0}, false},
  };
  for (const Case& c : cases) {
    TouchTap();
    fields.Report(true, c.field);
    EXPECT_EQ(router.TextFieldInTarget(), c.inside) << c.field.left;
    EXPECT_EQ(router.KeyboardShown(), c.inside) << c.field.left;
    if (c.inside) {
      router.SetDeviceKeyboard(true);
    }
  }
  // Shown for the inside field, then closed by the first field on another monitor.
  const std::vector<uint8_t> want{1, 0};
  EXPECT_EQ(keyboard.Shows(), want);
}

TEST_F(RouterTest, CaretFoundOpensAndAForegroundResetForgetsIt) {
  TouchTap();
  Advance(300);
  router.SetCaretFound(true);
  EXPECT_EQ(keyboard.Shows(), std::vector<uint8_t>{1});
  fields.Report(false, RECT{}, /*reset=*/true);
  const std::vector<uint8_t> want{1, 0};
  EXPECT_EQ(keyboard.Shows(), want);
  router.UpdateDeviceKeyboard();
  EXPECT_EQ(keyboard.Shows(), want);
}

TEST_F(RouterTest, RepeatedRequestsSendOneMessage) {
  router.SetDeviceKeyboard(true);
  router.SetDeviceKeyboard(true);
  router.SetDeviceKeyboard(false);
  router.SetDeviceKeyboard(false);
  const std::vector<uint8_t> want{1, 0};
  EXPECT_EQ(keyboard.Shows(), want);
  EXPECT_EQ(keyboard.Others(), 0);
}

TEST(RouterWithoutStart, KeyboardStateChangesButNothingIsSent) {
  RecordingInputBackend backend{true};
  ScriptedTextFields fields;
  InputRouter router{"dev", backend, fields, [] { return uint64_t{1000}; }};
  router.SetDeviceKeyboard(true);
  EXPECT_TRUE(router.KeyboardShown());
  EXPECT_EQ(fields.Subscribers(), 0u);
}

TEST_F(RouterTest, TapsAreKeptForTheVideoThreadAndStopUndoesStart) {
  EXPECT_EQ(fields.Subscribers(), 1u);
  EXPECT_FALSE(router.TakePendingTap().pending);
  TouchTap(0.25f, 0.5f);
  TouchTap(0.5f, 0.5f);  // a newer tap replaces the untaken one
  const InputRouter::PendingTap tap = router.TakePendingTap();
  EXPECT_TRUE(tap.pending);
  EXPECT_EQ(tap.point.x, 960);
  EXPECT_EQ(tap.point.y, 540);
  EXPECT_FALSE(router.TakePendingTap().pending);

  Send(kKey, test::KeyPayload(VK_SHIFT, true, false));
  Send(kTouch, test::TouchPayload({{1, 0, 0.5f, 0.5f}}));
  backend.Clear();
  router.Stop();
  router.Stop();
  EXPECT_EQ(fields.Subscribers(), 0u);
  // Stop lifted the shift key and the touch contact.
  ASSERT_FALSE(backend.sendCalls.empty());
  EXPECT_EQ(backend.sendCalls.front().front().ki.wVk, VK_SHIFT);
  EXPECT_NE(backend.sendCalls.front().front().ki.dwFlags & KEYEVENTF_KEYUP, 0u);
  ASSERT_FALSE(backend.injections.empty());
  EXPECT_NE(backend.injections.back().info[0].touchInfo.pointerInfo.pointerFlags & POINTER_FLAG_UP, 0u);
  // No taps are reported after Stop.
  TouchTap();
  EXPECT_FALSE(router.TakePendingTap().pending);
}

TEST_F(RouterTest, StartSetsTheInjectorsModes) {
  router.Start(proto::PenMode::Mouse, proto::TouchMode::Touch, keyboard.Fn());
  EXPECT_EQ(fields.Subscribers(), 1u);  // a second Start keeps one subscription
  backend.Clear();
  Send(kPen, test::PenPayload({{0x03, 0.5f, 0.5f, 0.5f}}));
  EXPECT_TRUE(backend.injections.empty());
  ASSERT_EQ(backend.MouseInputs().size(), 1u);
  EXPECT_NE(backend.MouseInputs()[0].dwFlags & MOUSEEVENTF_LEFTDOWN, 0u);
}

TEST_F(RouterTest, LockScreenForwardsInputAndOpensTheKeyboardOnPresses) {
  Send(kPen, test::PenPayload({{0x03, 0.5f, 0.5f, 0.5f}}));  // pen down on the desktop
  backend.Clear();
  router.EnterLockScreen();
  // The pen was lifted first.
  ASSERT_EQ(backend.injections.size(), 1u);
  EXPECT_NE(backend.injections[0].info[0].penInfo.pointerInfo.pointerFlags & POINTER_FLAG_UP, 0u);
  EXPECT_TRUE(router.InLockScreen());
  backend.Clear();

  auto sink = std::make_shared<RecordingSink>();
  router.SetLockScreenClient(sink);
  const std::vector<uint8_t> touch = test::TouchPayload({{1, 0, 0.5f, 0.5f}});
  Send(kTouch, touch);
  ASSERT_EQ(sink->forwarded.size(), 1u);
  EXPECT_EQ(sink->forwarded[0].first, kTouch);
  EXPECT_EQ(sink->forwarded[0].second, touch);
  EXPECT_EQ(keyboard.Shows(), std::vector<uint8_t>{1});

  router.SetDeviceKeyboard(false);
  const std::vector<uint8_t> key = test::KeyPayload('7', true, false);
  Send(kKey, key);
  ASSERT_EQ(sink->forwarded.size(), 2u);
  EXPECT_EQ(sink->forwarded[1].first, kKey);
  EXPECT_EQ(sink->forwarded[1].second, key);
  const std::vector<uint8_t> afterKey{1, 0};
  EXPECT_EQ(keyboard.Shows(), afterKey);

  // Without a client input is dropped, and still never injected.
  router.SetLockScreenClient(nullptr);
  Send(kTouch, touch);
  Send(kText, test::TextPayload("1234"));
  EXPECT_EQ(sink->forwarded.size(), 2u);
  EXPECT_EQ(keyboard.Shows(), afterKey);
  EXPECT_TRUE(backend.injections.empty());
  EXPECT_TRUE(backend.sendCalls.empty());

  router.SetLockScreenClient(sink);
  Send(kPointer, test::PointerPayload(1, 0, 0.5f, 0.5f));
  const std::vector<uint8_t> shownAgain{1, 0, 1};
  EXPECT_EQ(keyboard.Shows(), shownAgain);
  router.LeaveLockScreen();
  const std::vector<uint8_t> hidden{1, 0, 1, 0};
  EXPECT_EQ(keyboard.Shows(), hidden);
  EXPECT_FALSE(router.InLockScreen());
  EXPECT_EQ(sink.use_count(), 1);  // the router let go of the client
  EXPECT_TRUE(backend.injections.empty());
  EXPECT_TRUE(backend.sendCalls.empty());

  // Back on the desktop input is injected again.
  Send(kTouch, touch);
  EXPECT_EQ(backend.injections.size(), 1u);
  EXPECT_EQ(sink->forwarded.size(), 3u);
}

TEST_F(RouterTest, WhichForwardedMessagesStartAPress) {
  std::vector<uint8_t> penTail = test::PenPayload({{0x01, 0.5f, 0.5f}});
  penTail[0] = 2;
  penTail.push_back(0x02);  // the second record's flag byte, in contact, with the rest cut off
  std::vector<uint8_t> penBeyond = test::PenPayload({{0x01, 0.5f, 0.5f}, {0x03, 0.5f, 0.5f}});
  penBeyond[0] = 1;  // the contact lies beyond the count
  struct Case {
    const char* name;
    uint8_t type;
    std::vector<uint8_t> payload;
    bool press;
  };
  const std::vector<Case> cases = {
      {"pen hover", kPen, test::PenPayload({{0x01, 0.5f, 0.5f}}), false},
      {"pen contact second", kPen, test::PenPayload({{0x01, 0.5f, 0.5f}, {0x03, 0.5f, 0.5f}}), true},
      {"pen flag in a cut record", kPen, penTail, true},
      {"pen contact beyond count", kPen, penBeyond, false},
      {"pen count 0", kPen, {0}, false},
      {"empty pen", kPen, {}, false},
      {"touch count 0", kTouch, {0}, false},
      {"touch count 1", kTouch, test::TouchPayload({{1, 0, 0.5f, 0.5f}}), true},
      {"empty touch", kTouch, {}, false},
      {"pointer down", kPointer, test::PointerPayload(1, 1, 0.5f, 0.5f), true},
      {"pointer move", kPointer, test::PointerPayload(0, 0, 0.5f, 0.5f), false},
      {"pointer up", kPointer, test::PointerPayload(2, 0, 0.5f, 0.5f), false},
      {"key", kKey, test::KeyPayload('A', true, false), false},
      {"text", kText, test::TextPayload("abc"), false},
  };
  auto sink = std::make_shared<RecordingSink>();
  router.EnterLockScreen();
  router.SetLockScreenClient(sink);
  for (const Case& c : cases) {
    router.SetDeviceKeyboard(false);
    Send(c.type, c.payload);
    EXPECT_EQ(router.KeyboardShown(), c.press) << c.name;
    ASSERT_FALSE(sink->forwarded.empty());
    EXPECT_EQ(sink->forwarded.back().second, c.payload) << c.name;
  }
  EXPECT_EQ(sink->forwarded.size(), cases.size());
  Send(40, {1});  // not an input message: neither injected nor forwarded
  EXPECT_EQ(sink->forwarded.size(), cases.size());
}

// A backend that knows, under its own lock, whether anything is pressed and how much was
// injected; safe to read while other threads inject.
class PressTrackingBackend final : public InputBackend {
 public:
  explicit PressTrackingBackend(bool withDevices) : withDevices_(withDevices) {}
  HSYNTHETICPOINTERDEVICE CreatePointerDevice(POINTER_INPUT_TYPE type, uint32_t, uint32_t& error) override {
    if (!withDevices_) {
      error = ERROR_BAD_COMMAND;
      return nullptr;
    }
    return reinterpret_cast<HSYNTHETICPOINTERDEVICE>(type == PT_PEN ? 0x10 : 0x20);
  }
  bool InjectPointer(HSYNTHETICPOINTERDEVICE, std::span<const POINTER_TYPE_INFO> info, uint32_t&) override {
    std::lock_guard lock(mutex_);
    ++count_;
    for (const POINTER_TYPE_INFO& i : info) {
      const POINTER_FLAGS flags = i.type == PT_PEN ? i.penInfo.pointerInfo.pointerFlags
                                                   : i.touchInfo.pointerInfo.pointerFlags;
      contacts_[(i.type == PT_PEN ? 100 : 0) + i.touchInfo.pointerInfo.pointerId] =
          (flags & POINTER_FLAG_INCONTACT) != 0;
    }
    return true;
  }
  void DestroyPointerDevice(HSYNTHETICPOINTERDEVICE) override {}
  void SendInput(std::span<const INPUT> inputs) override {
    std::lock_guard lock(mutex_);
    ++count_;
    for (const INPUT& in : inputs) {
      if (in.type == INPUT_MOUSE) {
        if (in.mi.dwFlags & MOUSEEVENTF_LEFTDOWN) left_ = true;
        if (in.mi.dwFlags & MOUSEEVENTF_LEFTUP) left_ = false;
        if (in.mi.dwFlags & MOUSEEVENTF_RIGHTDOWN) right_ = true;
        if (in.mi.dwFlags & MOUSEEVENTF_RIGHTUP) right_ = false;
      } else if (in.type == INPUT_KEYBOARD && (in.ki.dwFlags & KEYEVENTF_UNICODE) == 0) {
        keys_[in.ki.wVk] = (in.ki.dwFlags & KEYEVENTF_KEYUP) == 0;
      }
    }
  }
  uint32_t MapKey(uint32_t code, uint32_t) override { return code; }
  uint64_t TickCount() override { return 1000; }
  POINT CursorPos() override { return POINT{0, 0}; }
  VirtualScreen Screen() override { return VirtualScreen{0, 0, 1920, 1080}; }
  uint32_t MonitorDpi(POINT) override { return 96; }

  struct Snapshot {
    uint64_t count = 0;
    bool pressed = false;
  };
  Snapshot Take() {
    std::lock_guard lock(mutex_);
    bool pressed = left_ || right_;
    for (const auto& [id, down] : contacts_) pressed = pressed || down;
    for (const auto& [vk, down] : keys_) pressed = pressed || down;
    return Snapshot{count_, pressed};
  }

 private:
  std::mutex mutex_;
  bool withDevices_;
  uint64_t count_ = 0;
  std::map<uint32_t, bool> contacts_;
  std::map<uint16_t, bool> keys_;
  bool left_ = false;
  bool right_ = false;
};

TEST(RouterStress, NothingStaysPressedOrIsInjectedWhileLocked) {
  for (const bool withDevices : {true, false}) {
    PressTrackingBackend backend(withDevices);
    ScriptedTextFields fields;
    InputRouter router{"dev", backend, fields, [] { return uint64_t{1000}; }};
    router.Start(proto::PenMode::Pen, proto::TouchMode::Touch, [](const msg::Message&) { return true; });
    std::atomic<bool> stop{false};
    std::thread device([&] {
      // Each press message carries several samples, so it is injected in several steps.
      const auto down = test::PenPayload({{0x03, 0.2f, 0.2f, 0.5f}, {0x03, 0.21f, 0.2f, 0.5f}, {0x03, 0.22f, 0.2f, 0.5f}});
      const auto up = test::PenPayload({{0x01, 0.22f, 0.2f}});
      const auto shiftDown = test::KeyPayload(VK_SHIFT, true, false);
      const auto shiftUp = test::KeyPayload(VK_SHIFT, false, false);
      while (!stop) {
        router.OnMessage(kPen, down);
        router.OnMessage(kKey, shiftDown);
        router.OnMessage(kPen, up);
        router.OnMessage(kKey, shiftUp);
      }
    });
    int failures = 0;
    for (int i = 0; i < 1000 && failures < 5; ++i) {
      router.EnterLockScreen();
      const auto entered = backend.Take();
      std::this_thread::yield();
      std::this_thread::yield();
      const auto before = backend.Take();
      if (entered.pressed || before.count != entered.count) {
        ++failures;
        ADD_FAILURE() << "round " << i << (withDevices ? " (pen device)" : " (pen as mouse)") << ": pressed "
                      << entered.pressed << ", injections while locked " << before.count - entered.count;
      }
      router.LeaveLockScreen();
      std::this_thread::yield();
    }
    stop = true;
    device.join();
  }
}

TEST(RouterStress, LastKeyboardMessageAlwaysMatchesTheShownFlag) {
  RecordingInputBackend backend{true};
  ScriptedTextFields fields;
  InputRouter router{"dev", backend, fields, [] { return uint64_t{1000}; }};
  std::mutex sentMutex;
  int lastSent = -1;
  std::atomic<uint32_t> sends{0};
  router.Start(proto::PenMode::Pen, proto::TouchMode::Touch, [&](const msg::Message& m) {
    // Sends take different times, so a later change can overtake an earlier one.
    for (uint32_t i = sends++ % 4; i > 0; --i) std::this_thread::yield();
    std::lock_guard lock(sentMutex);
    lastSent = m.payload.at(0);
    return true;
  });
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  // Every round the four threads each change the keyboard at once; then the main thread checks.
  std::barrier sync(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<uint32_t>(t + 1));
      for (int round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();
        router.SetDeviceKeyboard((random() & 1) != 0);
        sync.arrive_and_wait();
      }
    });
  }
  int mismatches = 0;
  for (int round = 0; round < kRounds; ++round) {
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    std::lock_guard lock(sentMutex);
    if (lastSent != -1 && lastSent != (router.KeyboardShown() ? 1 : 0)) ++mismatches;
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(sends.load(), 100u);
}

}  // namespace
}  // namespace kelm
