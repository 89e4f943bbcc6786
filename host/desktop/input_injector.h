#pragma once
// Injects the device's pen, touch, key, text and pointer messages into Windows: synthetic
// pointer devices for pen and touch, absolute mouse input as their fallback, SendInput for
// keys and text. Shared by the host's sessions and the lock agent.
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/protocol.h"
#include "desktop/input_backend.h"
#include "desktop/input_records.h"

namespace kelm {

class InputInjector {
 public:
  static constexpr size_t kPenRecordBytes = input::kPenRecordBytes;
  static constexpr size_t kTouchRecordBytes = input::kTouchRecordBytes;
  static constexpr size_t kKeyBytes = input::kKeyBytes;
  static constexpr size_t kPointerBytes = input::kPointerBytes;
  static constexpr size_t kMaxTextBytes = 4096;
  static constexpr size_t kTouchSlots = 10;
  static constexpr uint64_t kTapMaxMs = 700;
  static constexpr int32_t kTapSlopPx = 24;  // a tap moves at most this far on each axis

  // Pen record flags.
  static constexpr uint8_t kPenInRange = 0x01;
  static constexpr uint8_t kPenContact = 0x02;
  static constexpr uint8_t kPenEraser = 0x04;
  static constexpr uint8_t kPenBarrel = 0x08;
  static constexpr uint8_t kPenCancelled = 0x20;
  static constexpr uint8_t kPenInverted = 0x40;
  // Touch record flags.
  static constexpr uint8_t kTouchCancelled = input::kTouchCancelled;

  // Pointer message kinds and buttons.
  using PointerKind = input::PointerKind;
  using PointerButton = input::PointerButton;

  using PenSample = input::PenSample;
  using TouchContact = input::TouchContact;

  // Uses the real Win32 calls.
  InputInjector();
  // `backend` must outlive the injector. Without `openDevices` the synthetic pen and touch
  // devices wait for OpenDevices (a session makes them only once its input starts).
  explicit InputInjector(InputBackend& backend, bool openDevices = true);
  ~InputInjector();
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  void SetModes(proto::PenMode pen, proto::TouchMode touch);
  // A rectangle narrower or lower than one pixel is ignored.
  void SetTargetRect(const RECT& rect);
  RECT TargetRect();
  // Called with the injector's lock held: it must not call back into the injector.
  void SetTapCallback(std::function<void(POINT)> onTap);

  void HandleMessage(uint8_t type, const uint8_t* data, size_t size);
  void HandleMessage(uint8_t type, std::span<const uint8_t> payload) {
    HandleMessage(type, payload.data(), payload.size());
  }
  // Lifts every key, button, pen and touch contact that is held.
  void ReleaseAll();

  // Creates the synthetic pen and touch devices, once; before any message is handled.
  void OpenDevices();

  bool HasPenDevice() const { return penDevice_ != nullptr; }
  bool HasTouchDevice() const { return touchDevice_ != nullptr; }

 private:
  struct TapTracker {
    bool candidate = false;
    bool moved = false;
    POINT start{};
    uint64_t startTick = 0;
  };
  struct TouchSlot {
    bool active = false;
    uint8_t contactId = 0;
    POINT lastPoint{};
  };

  void HandlePen(std::span<const uint8_t> payload);
  void HandleTouch(std::span<const uint8_t> payload);
  void HandleKey(std::span<const uint8_t> payload);
  void HandlePointer(std::span<const uint8_t> payload);

  void PenSampleLocked(const PenSample& s);
  void InjectPen(const PenSample& s);
  void PenAsMouse(const PenSample& s);
  void TouchFrameLocked(std::span<const TouchContact> contacts);
  void InjectTouch(std::span<const TouchContact> contacts);
  void TouchAsMouse(std::span<const TouchContact> contacts);
  void InjectKey(uint16_t vk, bool down, bool extended);
  void InjectText(std::wstring_view text);
  void InjectMouse(PointerKind kind, uint8_t button, float x, float y, float h, float v);

  void SendMouse(POINT pt, DWORD flags, DWORD data = 0);
  void FinishTap(TapTracker& tap, bool cancelled);
  void StartTap(TapTracker& tap, POINT pt);
  void ReleaseTouchMouse();
  // Mapped point, or false for a non-finite fraction.
  bool Map(float fx, float fy, POINT& out) const;

  InputBackend& backend_;
  bool devicesOpened_ = false;

  TapTracker penTap_;
  TapTracker touchTap_;
  std::function<void(POINT)> onTap_;
  std::mutex mutex_;
  RECT target_{0, 0, 1920, 1080};
  proto::PenMode penMode_ = proto::PenMode::Pen;
  proto::TouchMode touchMode_ = proto::TouchMode::Touch;
  HSYNTHETICPOINTERDEVICE penDevice_ = nullptr;
  HSYNTHETICPOINTERDEVICE touchDevice_ = nullptr;

  bool penInRange_ = false;
  bool penInContact_ = false;
  bool penSecondButton_ = false;
  POINT penLastPoint_{};

  std::array<TouchSlot, kTouchSlots> slots_{};

  bool leftDown_ = false;
  bool rightDown_ = false;
  bool middleDown_ = false;
  double wheelRemainderH_ = 0;
  double wheelRemainderV_ = 0;
  int32_t mouseContact_ = -1;

  std::set<std::pair<uint16_t, uint8_t>> heldKeys_;
};

}  // namespace kelm
