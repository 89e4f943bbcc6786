#pragma once
// A session's input front end: hands the device's input to the injector, or to the
// lock-screen helper while the PC is locked, and decides when the device's soft keyboard
// should be open (text-field reports, the caret search after a tap, recent pointer input).
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "core/messages.h"
#include "core/protocol.h"
#include "desktop/input_injector.h"
#include "core/lock_screen_input_sink.h"
#include "desktop/text_field_source.h"

namespace kelm {

class InputRouter {
 public:
  using SendFn = std::function<bool(const msg::Message&)>;
  using Clock = std::function<uint64_t()>;  // milliseconds, like GetTickCount64

  // A text field opens the device keyboard only this soon after the device's last pointer input.
  static constexpr uint64_t kKeyboardAfterPointerMs = 2000;

  struct PendingTap {
    POINT point{};
    bool pending = false;
  };

  // The real injector, the process-wide text-field detector and GetTickCount64.
  explicit InputRouter(std::string label);
  // `backend` and `fields` must outlive the router.
  InputRouter(std::string label, InputBackend& backend, TextFieldSource& fields, Clock clock);
  ~InputRouter();
  InputRouter(const InputRouter&) = delete;
  InputRouter& operator=(const InputRouter&) = delete;

  void Start(proto::PenMode pen, proto::TouchMode touch, SendFn send);
  // Safe to repeat; the keyboard state is kept.
  void Stop();

  // The device's input messages 10, 11, 12, 13 and 15 (others are ignored).
  void OnMessage(uint8_t type, std::span<const uint8_t> payload);

  PendingTap TakePendingTap();
  void SetCaretFound(bool found);
  // Runs the keyboard rule.
  void UpdateDeviceKeyboard();
  void SetDeviceKeyboard(bool show);

  // Lifts everything on the user's desktop; from its return until LeaveLockScreen nothing
  // is injected there.
  void EnterLockScreen();
  void LeaveLockScreen();
  void SetLockScreenClient(std::shared_ptr<LockScreenInputSink> client);

  InputInjector& Injector() { return injector_; }
  uint64_t LastPointerTick() const { return lastPointerTick_.load(); }
  bool TextFieldInTarget() const { return textFieldInTarget_.load(); }
  bool KeyboardShown() const { return keyboardShown_.load(); }
  bool InLockScreen() const { return lockScreen_.load(); }

 private:
  void OnTextField(bool active, const RECT& rect, bool reset);
  void OnTap(POINT point);
  void KeyboardRuleLocked();
  void SetKeyboardLocked(bool show);

  std::string label_;
  InputInjector injector_;
  Clock clock_;
  TextFieldSource& fields_;

  // Guards the send callback and makes each change of the shown flag one step with the
  // message that tells the device; taken before the send lock (the detector calls in on a
  // thread of the router's own, outside its lock).
  std::mutex keyboardMutex_;
  SendFn send_;
  int32_t subscription_ = 0;  // 0 = none; changed only by Start and Stop

  std::atomic<bool> textFieldInTarget_{false};
  std::atomic<bool> caretFound_{false};
  std::atomic<bool> keyboardShown_{false};
  std::atomic<uint64_t> lastPointerTick_{0};

  std::mutex tapMutex_;  // taken inside the injector's lock
  PendingTap pendingTap_;

  // Makes "check the lock-screen flag and inject" and "release all and set the flag" exclusive;
  // taken before the injector's lock, never held while forwarding to the lock screen.
  std::mutex routeMutex_;
  std::atomic<bool> lockScreen_{false};

  std::mutex lockMutex_;  // guards lockClient_
  std::shared_ptr<LockScreenInputSink> lockClient_;
};

}  // namespace kelm
