// Routing of the device's input and the device-keyboard rule.
#include "desktop/input_router.h"

#include "core/log.h"
#include "desktop/input_message_types.h"
#include "desktop/win32_input_backend.h"

namespace kelm {
namespace {

bool IsInput(uint8_t type) {
  return type == kTypePen || type == kTypeTouch || type == kTypeKey || type == kTypeText || type == kTypePointer;
}

bool IsPointer(uint8_t type) { return type == kTypePen || type == kTypeTouch || type == kTypePointer; }

// Whether a message forwarded to the lock screen starts a press (and so wants the keyboard).
bool StartsPress(uint8_t type, std::span<const uint8_t> payload) {
  if (payload.empty()) {
    return false;
  }
  switch (type) {
    case kTypePen: {
      const size_t count = payload[0];
      for (size_t i = 0; i < count; ++i) {
        const size_t flagsAt = 1 + i * InputInjector::kPenRecordBytes;
        if (flagsAt >= payload.size()) {
          break;
        }
        if ((payload[flagsAt] & InputInjector::kPenContact) != 0) {
          return true;
        }
      }
      return false;
    }
    case kTypeTouch:
      return payload[0] > 0;
    case kTypePointer:
      return payload[0] == static_cast<uint8_t>(InputInjector::PointerKind::Down);
    default:
      return false;
  }
}

}  // namespace

InputRouter::InputRouter(std::string label)
    : InputRouter(std::move(label), Win32InputBackend::Shared(), ProcessTextFieldSource(),
                  [] { return static_cast<uint64_t>(GetTickCount64()); }) {}

InputRouter::InputRouter(std::string label, InputBackend& backend, TextFieldSource& fields, Clock clock)
    : label_(std::move(label)), injector_(backend, false), clock_(std::move(clock)), fields_(fields) {}

InputRouter::~InputRouter() { Stop(); }

void InputRouter::Start(proto::PenMode pen, proto::TouchMode touch, SendFn send) {
  {
    std::lock_guard lock(keyboardMutex_);
    send_ = std::move(send);
  }
  // The system's pointer devices are made here, for a device past its Welcome, never for
  // a connection that has not proved itself.
  injector_.OpenDevices();
  injector_.SetModes(pen, touch);
  if (subscription_ == 0) {
    subscription_ = fields_.Subscribe(
        [this](bool active, const RECT& rect, bool reset) { OnTextField(active, rect, reset); });
  }
  injector_.SetTapCallback([this](POINT point) { OnTap(point); });
}

void InputRouter::Stop() {
  if (subscription_ != 0) {
    fields_.Unsubscribe(subscription_);
    subscription_ = 0;
  }
  injector_.SetTapCallback({});
  std::lock_guard route(routeMutex_);
  injector_.ReleaseAll();
}

void InputRouter::OnMessage(uint8_t type, std::span<const uint8_t> payload) {
  if (!IsInput(type)) {
    return;
  }
  if (IsPointer(type)) {
    lastPointerTick_ = clock_();
  }
  {
    std::lock_guard route(routeMutex_);
    if (!lockScreen_) {
      injector_.HandleMessage(type, payload);
      return;
    }
  }
  std::shared_ptr<LockScreenInputSink> client;
  {
    std::lock_guard lock(lockMutex_);
    client = lockClient_;
  }
  if (!client) {
    return;
  }
  client->SendInput(type, payload.data(), payload.size());
  if (StartsPress(type, payload)) {
    SetDeviceKeyboard(true);
  }
}

InputRouter::PendingTap InputRouter::TakePendingTap() {
  std::lock_guard lock(tapMutex_);
  const PendingTap tap = pendingTap_;
  pendingTap_.pending = false;
  return tap;
}

void InputRouter::OnTap(POINT point) {
  std::lock_guard lock(tapMutex_);
  pendingTap_ = PendingTap{point, true};
}

void InputRouter::OnTextField(bool active, const RECT& rect, bool reset) {
  const RECT target = injector_.TargetRect();
  // 64-bit sums: screen coordinates near the limits must not overflow.
  const int64_t x = (static_cast<int64_t>(rect.left) + rect.right) / 2;
  const int64_t y = (static_cast<int64_t>(rect.top) + rect.bottom) / 2;
  const bool inside = target.left <= x && x < target.right && target.top <= y && y < target.bottom;
  textFieldInTarget_ = active && inside;
  if (reset) {
    caretFound_ = false;
  }
  UpdateDeviceKeyboard();
}

void InputRouter::SetCaretFound(bool found) {
  caretFound_ = found;
  UpdateDeviceKeyboard();
}

void InputRouter::UpdateDeviceKeyboard() {
  std::lock_guard lock(keyboardMutex_);
  KeyboardRuleLocked();
}

void InputRouter::KeyboardRuleLocked() {
  if (!textFieldInTarget_ && !caretFound_) {
    SetKeyboardLocked(false);
    return;
  }
  if (keyboardShown_) {
    SetKeyboardLocked(true);
    return;
  }
  // No pointer input yet counts as none recent.
  const uint64_t last = lastPointerTick_;
  const uint64_t now = clock_();
  SetKeyboardLocked(last != 0 && now >= last && now - last <= kKeyboardAfterPointerMs);
}

void InputRouter::SetDeviceKeyboard(bool show) {
  std::lock_guard lock(keyboardMutex_);
  SetKeyboardLocked(show);
}

void InputRouter::SetKeyboardLocked(bool show) {
  if (keyboardShown_.exchange(show) == show || !send_) {
    return;
  }
  LogDebug("[{}] device keyboard {}", label_, show ? "on" : "off");
  send_(msg::MakeDeviceKeyboard(show ? 1 : 0));
}

void InputRouter::EnterLockScreen() {
  std::lock_guard route(routeMutex_);
  injector_.ReleaseAll();
  lockScreen_ = true;
}

void InputRouter::SetLockScreenClient(std::shared_ptr<LockScreenInputSink> client) {
  std::lock_guard lock(lockMutex_);
  lockClient_ = std::move(client);
}

void InputRouter::LeaveLockScreen() {
  {
    std::lock_guard lock(lockMutex_);
    lockClient_.reset();
  }
  {
    std::lock_guard route(routeMutex_);
    lockScreen_ = false;
  }
  SetDeviceKeyboard(false);
}

}  // namespace kelm
