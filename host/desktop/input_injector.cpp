// Pen, touch, key, text and pointer messages turned into Windows input.
#include "desktop/input_injector.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "core/log.h"
#include "core/text.h"
#include "desktop/input_math.h"
#include "desktop/input_message_types.h"
#include "desktop/win32_input_backend.h"

namespace kelm {

namespace {

constexpr uint32_t kPenPointerId = 1;
constexpr int32_t kLiftHalfSize = 2;  // contact rectangle of a lifted touch: point +/- 2

// A device that cannot be made is reported once per process: every accepted connection
// builds an injector, and an unauthenticated peer must not be able to flood the log.
std::atomic<bool> penWarned{false};
std::atomic<bool> touchWarned{false};

input::PixelRect ToPixelRect(const RECT& r) {
  return input::PixelRect{r.left, r.top, r.right, r.bottom};
}

bool FarFrom(POINT a, POINT b, int32_t slop) {
  return std::abs(a.x - b.x) > slop || std::abs(a.y - b.y) > slop;
}

POINTER_TYPE_INFO TouchEntry(uint32_t slot, POINT pt, POINTER_FLAGS flags, RECT contact, uint32_t pressure) {
  POINTER_TYPE_INFO info{};
  info.type = PT_TOUCH;
  POINTER_TOUCH_INFO& t = info.touchInfo;
  t.pointerInfo.pointerId = slot;
  t.pointerInfo.pointerFlags = flags;
  t.pointerInfo.ptPixelLocation = pt;
  t.pointerInfo.ptPixelLocationRaw = pt;
  t.touchFlags = TOUCH_FLAG_NONE;
  t.touchMask = TOUCH_MASK_CONTACTAREA | TOUCH_MASK_PRESSURE;
  t.rcContact = contact;
  t.orientation = 0;
  t.pressure = pressure;
  return info;
}

RECT AroundPoint(POINT pt, int32_t halfW, int32_t halfH) {
  return RECT{pt.x - halfW, pt.y - halfH, pt.x + halfW, pt.y + halfH};
}

}  // namespace

InputInjector::InputInjector() : InputInjector(Win32InputBackend::Shared()) {}

InputInjector::InputInjector(InputBackend& backend, bool openDevices) : backend_(backend) {
  if (openDevices) OpenDevices();
}

void InputInjector::OpenDevices() {
  if (devicesOpened_) return;
  devicesOpened_ = true;
  uint32_t error = 0;
  penDevice_ = backend_.CreatePointerDevice(PT_PEN, 1, error);
  if (penDevice_ == nullptr && !penWarned.exchange(true)) {
    LogWarn("Windows Ink pen injection unavailable ({}); pen falls back to mouse", ErrorText(HRESULT_FROM_WIN32(error)));
  }
  error = 0;
  touchDevice_ = backend_.CreatePointerDevice(PT_TOUCH, static_cast<uint32_t>(kTouchSlots), error);
  if (touchDevice_ == nullptr && !touchWarned.exchange(true)) {
    LogWarn("Touch injection unavailable ({}); touch falls back to mouse", ErrorText(HRESULT_FROM_WIN32(error)));
  }
}

InputInjector::~InputInjector() {
  ReleaseAll();
  if (penDevice_ != nullptr) {
    backend_.DestroyPointerDevice(penDevice_);
  }
  if (touchDevice_ != nullptr) {
    backend_.DestroyPointerDevice(touchDevice_);
  }
}

void InputInjector::SetModes(proto::PenMode pen, proto::TouchMode touch) {
  std::lock_guard lock(mutex_);
  penMode_ = pen;
  touchMode_ = touch;
}

void InputInjector::SetTargetRect(const RECT& rect) {
  // 64-bit differences: a hostile or broken rectangle must not overflow the check.
  const int64_t w = static_cast<int64_t>(rect.right) - rect.left;
  const int64_t h = static_cast<int64_t>(rect.bottom) - rect.top;
  if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) {
    return;
  }
  std::lock_guard lock(mutex_);
  target_ = rect;
}

RECT InputInjector::TargetRect() {
  std::lock_guard lock(mutex_);
  return target_;
}

void InputInjector::SetTapCallback(std::function<void(POINT)> onTap) {
  std::lock_guard lock(mutex_);
  onTap_ = std::move(onTap);
}

void InputInjector::HandleMessage(uint8_t type, const uint8_t* data, size_t size) {
  const std::span<const uint8_t> payload(data, data == nullptr ? 0 : size);
  switch (type) {
    case kTypePen:
      HandlePen(payload);
      break;
    case kTypeTouch:
      HandleTouch(payload);
      break;
    case kTypeKey:
      HandleKey(payload);
      break;
    case kTypeText:
      if (!payload.empty() && payload.size() <= kMaxTextBytes) {
        InjectText(Utf8ToWide(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size())));
      }
      break;
    case kTypePointer:
      HandlePointer(payload);
      break;
    default:
      break;
  }
}

void InputInjector::HandlePen(std::span<const uint8_t> payload) {
  for (const PenSample& s : input::ReadPenSamples(payload)) {
    std::lock_guard lock(mutex_);
    PenSampleLocked(s);
  }
}

void InputInjector::PenSampleLocked(const PenSample& s) {
  if (penMode_ == proto::PenMode::Pen && penDevice_ != nullptr) {
    InjectPen(s);
  } else {
    PenAsMouse(s);
  }
}

void InputInjector::HandleTouch(std::span<const uint8_t> payload) {
  const std::vector<TouchContact> contacts = input::ReadTouchContacts(payload);
  std::lock_guard lock(mutex_);
  TouchFrameLocked(contacts);
}

void InputInjector::TouchFrameLocked(std::span<const TouchContact> contacts) {
  if (touchMode_ == proto::TouchMode::Touch && touchDevice_ != nullptr) {
    InjectTouch(contacts);
  } else if (touchMode_ == proto::TouchMode::Touch || touchMode_ == proto::TouchMode::Mouse) {
    TouchAsMouse(contacts);
  }
}

void InputInjector::HandleKey(std::span<const uint8_t> payload) {
  if (const auto key = input::ReadKey(payload)) InjectKey(key->vk, key->down, key->extended);
}

void InputInjector::HandlePointer(std::span<const uint8_t> payload) {
  const auto p = input::ReadPointer(payload);
  if (!p) return;
  std::lock_guard lock(mutex_);
  InjectMouse(p->kind, p->button, p->x, p->y, p->h, p->v);
}

bool InputInjector::Map(float fx, float fy, POINT& out) const {
  const auto p = input::MapFraction(ToPixelRect(target_), fx, fy);
  if (!p) {
    return false;
  }
  out = POINT{p->x, p->y};
  return true;
}

void InputInjector::SendMouse(POINT pt, DWORD flags, DWORD data) {
  const VirtualScreen screen = backend_.Screen();
  const int64_t spanX = std::max<int64_t>(static_cast<int64_t>(screen.width) - 1, 1);
  const int64_t spanY = std::max<int64_t>(static_cast<int64_t>(screen.height) - 1, 1);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = static_cast<LONG>((static_cast<int64_t>(pt.x) - screen.x) * 65535 / spanX);
  in.mi.dy = static_cast<LONG>((static_cast<int64_t>(pt.y) - screen.y) * 65535 / spanY);
  in.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE;
  in.mi.mouseData = data;
  backend_.SendInput(std::span<const INPUT>(&in, 1));
}

void InputInjector::StartTap(TapTracker& tap, POINT pt) {
  tap = TapTracker{true, false, pt, backend_.TickCount()};
}

void InputInjector::FinishTap(TapTracker& tap, bool cancelled) {
  const bool tapped = tap.candidate && !cancelled && !tap.moved && backend_.TickCount() - tap.startTick < kTapMaxMs;
  tap.candidate = false;
  if (tapped && onTap_) {
    onTap_(tap.start);
  }
}

void InputInjector::InjectPen(const PenSample& s) {
  const bool inRange = (s.flags & kPenInRange) != 0 && (s.flags & kPenCancelled) == 0;
  const bool contact = inRange && (s.flags & kPenContact) != 0;
  const bool barrel = (s.flags & kPenBarrel) != 0;
  POINT point{};
  if (inRange) {
    if (!Map(s.x, s.y, point)) {
      return;
    }
  } else {
    if (!penInRange_) {
      return;
    }
    point = penLastPoint_;
  }

  POINTER_FLAGS flags = POINTER_FLAG_PRIMARY;
  POINTER_BUTTON_CHANGE_TYPE change = POINTER_CHANGE_NONE;
  if (contact && penInContact_) {
    flags |= POINTER_FLAG_UPDATE | POINTER_FLAG_INRANGE | POINTER_FLAG_INCONTACT |
             (penSecondButton_ ? POINTER_FLAG_SECONDBUTTON : POINTER_FLAG_FIRSTBUTTON);
  } else if (contact) {
    flags |= POINTER_FLAG_DOWN | POINTER_FLAG_INRANGE | POINTER_FLAG_INCONTACT |
             (barrel ? POINTER_FLAG_SECONDBUTTON : POINTER_FLAG_FIRSTBUTTON);
    change = barrel ? POINTER_CHANGE_SECONDBUTTON_DOWN : POINTER_CHANGE_FIRSTBUTTON_DOWN;
  } else if (penInContact_) {
    flags |= POINTER_FLAG_UP;
    if ((s.flags & kPenCancelled) != 0) {
      flags |= POINTER_FLAG_CANCELED;
    }
    if (inRange) {
      flags |= POINTER_FLAG_INRANGE;
    }
    change = penSecondButton_ ? POINTER_CHANGE_SECONDBUTTON_UP : POINTER_CHANGE_FIRSTBUTTON_UP;
  } else {
    flags |= POINTER_FLAG_UPDATE;
    if (inRange) {
      flags |= POINTER_FLAG_INRANGE;
    }
  }

  POINTER_TYPE_INFO info{};
  info.type = PT_PEN;
  POINTER_PEN_INFO& pen = info.penInfo;
  pen.pointerInfo.pointerId = kPenPointerId;
  pen.pointerInfo.pointerFlags = flags;
  pen.pointerInfo.ptPixelLocation = point;
  pen.pointerInfo.ptPixelLocationRaw = point;
  pen.pointerInfo.ButtonChangeType = change;
  pen.penFlags = PEN_FLAG_NONE;
  if (barrel) {
    pen.penFlags |= PEN_FLAG_BARREL;
  }
  if ((s.flags & (kPenEraser | kPenInverted)) != 0) {
    pen.penFlags |= PEN_FLAG_INVERTED;
  }
  if ((s.flags & kPenEraser) != 0 && contact) {
    pen.penFlags |= PEN_FLAG_ERASER;
  }
  pen.penMask = PEN_MASK_PRESSURE | PEN_MASK_ROTATION | PEN_MASK_TILT_X | PEN_MASK_TILT_Y;
  pen.pressure = contact ? static_cast<UINT32>(input::PenPressure(s.pressure)) : 0;
  pen.rotation = input::PenRotation(s.rotation);
  pen.tiltX = input::PenTilt(s.tiltX);
  pen.tiltY = input::PenTilt(s.tiltY);

  uint32_t error = 0;
  if (!backend_.InjectPointer(penDevice_, std::span<const POINTER_TYPE_INFO>(&info, 1), error)) {
    LogDebug("InjectSyntheticPointerInput(pen) failed: {}", ErrorText(HRESULT_FROM_WIN32(error)));
  }

  if (contact && !penInContact_) {
    StartTap(penTap_, point);
    penSecondButton_ = barrel;
  } else if (contact && penTap_.candidate && FarFrom(point, penTap_.start, kTapSlopPx)) {
    penTap_.moved = true;
  } else if (!contact && penInContact_) {
    FinishTap(penTap_, (s.flags & kPenCancelled) != 0);
  }
  penInContact_ = contact;
  penInRange_ = inRange;
  penLastPoint_ = point;
}

void InputInjector::PenAsMouse(const PenSample& s) {
  const bool inRange = (s.flags & kPenInRange) != 0 && (s.flags & kPenCancelled) == 0;
  const bool barrel = (s.flags & kPenBarrel) != 0;
  POINT point = penLastPoint_;
  bool contact = false;
  const DWORD upFlag = penSecondButton_ ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
  if (!inRange) {
    if (penInContact_) {
      SendMouse(point, upFlag);
    }
  } else {
    if (!Map(s.x, s.y, point)) {
      return;
    }
    contact = (s.flags & kPenContact) != 0;
    if (contact && penInContact_) {
      SendMouse(point, 0);
    } else if (contact) {
      penSecondButton_ = barrel;
      SendMouse(point, barrel ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN);
    } else if (penInContact_) {
      SendMouse(point, upFlag);
    } else {
      SendMouse(point, 0);
    }
  }

  if (contact && !penInContact_) {
    StartTap(penTap_, point);
  } else if (contact && penTap_.candidate && FarFrom(point, penTap_.start, kTapSlopPx)) {
    penTap_.moved = true;
  } else if (!contact && penInContact_) {
    FinishTap(penTap_, false);
  }
  penInContact_ = contact;
  penInRange_ = inRange;
  penLastPoint_ = point;
}

void InputInjector::InjectTouch(std::span<const TouchContact> contacts) {
  const std::array<TouchSlot, kTouchSlots> before = slots_;
  const bool anyActiveBefore = std::any_of(before.begin(), before.end(), [](const TouchSlot& s) { return s.active; });
  std::array<bool, kTouchSlots> seen{};
  std::array<bool, 256> idSeen{};
  bool cancelInFrame = false;
  std::vector<POINTER_TYPE_INFO> entries;
  entries.reserve(kTouchSlots);
  const int32_t targetWidth = target_.right - target_.left;

  for (const TouchContact& c : contacts) {
    if (entries.size() >= kTouchSlots) {
      break;
    }
    // One contact id and one slot at most once per frame: a pointer id twice in one
    // injection makes the whole injection fail.
    if (idSeen[c.id]) {
      continue;
    }
    idSeen[c.id] = true;
    size_t slot = kTouchSlots;
    bool isNew = false;
    for (size_t i = 0; i < kTouchSlots; ++i) {
      if (slots_[i].active && slots_[i].contactId == c.id) {
        slot = i;
        break;
      }
    }
    if (slot == kTouchSlots) {
      for (size_t i = 0; i < kTouchSlots; ++i) {
        if (!slots_[i].active && !seen[i]) {
          slot = i;
          isNew = true;
          break;
        }
      }
    }
    if (slot == kTouchSlots) {
      continue;
    }
    seen[slot] = true;
    TouchSlot& s = slots_[slot];

    if ((c.flags & kTouchCancelled) != 0) {
      cancelInFrame = true;
      if (s.active) {
        entries.push_back(TouchEntry(static_cast<uint32_t>(slot), s.lastPoint,
                                     POINTER_FLAG_UP | POINTER_FLAG_CANCELED,
                                     AroundPoint(s.lastPoint, kLiftHalfSize, kLiftHalfSize), 0));
      }
      s.active = false;
      continue;
    }

    POINT point{};
    Map(c.x, c.y, point);  // finite: checked when the frame was read
    if (isNew) {
      if (!anyActiveBefore && !touchTap_.candidate) {
        StartTap(touchTap_, point);
      } else {
        touchTap_.moved = true;
      }
    } else if (touchTap_.candidate && FarFrom(point, touchTap_.start, kTapSlopPx)) {
      touchTap_.moved = true;
    }
    const int32_t halfW = input::ContactHalf(targetWidth, c.width);
    const int32_t halfH = input::ContactHalf(targetWidth, c.height);
    const POINTER_FLAGS flags =
        (isNew ? POINTER_FLAG_DOWN : POINTER_FLAG_UPDATE) | POINTER_FLAG_INRANGE | POINTER_FLAG_INCONTACT;
    entries.push_back(TouchEntry(static_cast<uint32_t>(slot), point, flags, AroundPoint(point, halfW, halfH),
                                 static_cast<uint32_t>(input::TouchPressure(c.pressure))));
    s.active = true;
    s.contactId = c.id;
    s.lastPoint = point;
  }

  for (size_t i = 0; i < kTouchSlots && entries.size() < kTouchSlots; ++i) {
    TouchSlot& s = slots_[i];
    if (s.active && !seen[i]) {
      entries.push_back(TouchEntry(static_cast<uint32_t>(i), s.lastPoint, POINTER_FLAG_UP,
                                   AroundPoint(s.lastPoint, kLiftHalfSize, kLiftHalfSize), 0));
      s.active = false;
    }
  }

  const bool noneActive = std::none_of(slots_.begin(), slots_.end(), [](const TouchSlot& s) { return s.active; });
  if (noneActive && touchTap_.candidate) {
    FinishTap(touchTap_, cancelInFrame);
  }
  if (entries.empty()) {
    return;
  }
  for (POINTER_TYPE_INFO& e : entries) {
    if ((e.touchInfo.pointerInfo.pointerFlags & POINTER_FLAG_INCONTACT) != 0) {
      e.touchInfo.pointerInfo.pointerFlags |= POINTER_FLAG_PRIMARY;
      break;
    }
  }
  uint32_t error = 0;
  if (backend_.InjectPointer(touchDevice_, entries, error)) {
    return;
  }
  LogDebug("InjectSyntheticPointerInput(touch) failed: {}", ErrorText(HRESULT_FROM_WIN32(error)));
  // The system still holds the contacts that were down before this frame: lift them, so
  // that forgetting them does not leave them pressed.
  std::vector<POINTER_TYPE_INFO> lifts;
  for (size_t i = 0; i < kTouchSlots; ++i) {
    if (before[i].active) {
      lifts.push_back(TouchEntry(static_cast<uint32_t>(i), before[i].lastPoint, POINTER_FLAG_UP,
                                 AroundPoint(before[i].lastPoint, kLiftHalfSize, kLiftHalfSize), 0));
    }
  }
  if (!lifts.empty()) {
    uint32_t liftError = 0;
    backend_.InjectPointer(touchDevice_, lifts, liftError);
  }
  for (TouchSlot& s : slots_) {
    s.active = false;
  }
}

void InputInjector::ReleaseTouchMouse() {
  const POINT cursor = backend_.CursorPos();
  if (leftDown_) {
    SendMouse(cursor, MOUSEEVENTF_LEFTUP);
  }
  leftDown_ = false;
  mouseContact_ = -1;
}

void InputInjector::TouchAsMouse(std::span<const TouchContact> contacts) {
  if (mouseContact_ >= 0) {
    const TouchContact* found = nullptr;
    for (const TouchContact& c : contacts) {
      if (c.id == mouseContact_) {
        found = &c;
      }
    }
    if (found != nullptr && (found->flags & kTouchCancelled) == 0) {
      POINT point{};
      Map(found->x, found->y, point);
      SendMouse(point, 0);
      if (touchTap_.candidate && FarFrom(point, touchTap_.start, kTapSlopPx)) {
        touchTap_.moved = true;
      }
    } else if (found != nullptr) {
      ReleaseTouchMouse();
      touchTap_.candidate = false;
    } else {
      ReleaseTouchMouse();
      FinishTap(touchTap_, false);
    }
    return;
  }
  if (contacts.empty() || (contacts.front().flags & kTouchCancelled) != 0) {
    return;
  }
  const TouchContact& first = contacts.front();
  POINT point{};
  Map(first.x, first.y, point);
  mouseContact_ = first.id;
  SendMouse(point, MOUSEEVENTF_LEFTDOWN);
  leftDown_ = true;
  StartTap(touchTap_, point);
}

void InputInjector::InjectKey(uint16_t vk, bool down, bool extended) {
  std::lock_guard lock(mutex_);
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(backend_.MapKey(vk, MAPVK_VK_TO_VSC_EX) & 0xFF);
  in.ki.dwFlags = (down ? 0 : KEYEVENTF_KEYUP) | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
  backend_.SendInput(std::span<const INPUT>(&in, 1));
  const std::pair<uint16_t, uint8_t> key{vk, static_cast<uint8_t>(extended ? 1 : 0)};
  if (down) {
    heldKeys_.insert(key);
  } else {
    heldKeys_.erase(key);
  }
}

void InputInjector::InjectText(std::wstring_view text) {
  std::vector<INPUT> inputs;
  inputs.reserve(text.size() * 2);
  const auto appendKeyPress = [&](WORD vk) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(backend_.MapKey(vk, MAPVK_VK_TO_VSC));
    inputs.push_back(in);
    in.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(in);
  };
  for (const wchar_t unit : text) {
    switch (unit) {
      case L'\r':
        break;
      case L'\n':
        appendKeyPress(VK_RETURN);
        break;
      case L'\t':
        appendKeyPress(VK_TAB);
        break;
      case L'\b':
        appendKeyPress(VK_BACK);
        break;
      default: {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wScan = static_cast<WORD>(unit);
        in.ki.dwFlags = KEYEVENTF_UNICODE;
        inputs.push_back(in);
        in.ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
        inputs.push_back(in);
        break;
      }
    }
  }
  if (!inputs.empty()) {
    backend_.SendInput(inputs);
  }
}

void InputInjector::InjectMouse(PointerKind kind, uint8_t button, float x, float y, float h, float v) {
  POINT point{};
  if (!Map(x, y, point)) {
    return;
  }
  switch (kind) {
    case PointerKind::Move:
      SendMouse(point, 0);
      if (touchTap_.candidate && FarFrom(point, touchTap_.start, kTapSlopPx)) {
        touchTap_.moved = true;
      }
      break;
    case PointerKind::Down:
    case PointerKind::Up: {
      const bool down = kind == PointerKind::Down;
      bool* state = nullptr;
      DWORD flag = 0;
      switch (static_cast<PointerButton>(button)) {
        case PointerButton::Left:
          state = &leftDown_;
          flag = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
          break;
        case PointerButton::Right:
          state = &rightDown_;
          flag = down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
          break;
        case PointerButton::Middle:
          state = &middleDown_;
          flag = down ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
          break;
        default:
          return;
      }
      if (*state == down) {
        return;
      }
      SendMouse(point, flag);
      *state = down;
      if (static_cast<PointerButton>(button) == PointerButton::Left) {
        if (down) {
          StartTap(touchTap_, point);
        } else {
          FinishTap(touchTap_, false);
        }
      }
      break;
    }
    case PointerKind::DragScroll: {
      uint32_t dpi = backend_.MonitorDpi(point);
      if (dpi == 0) {
        dpi = 96;
      }
      const input::ScrollStep vertical =
          input::DragScroll(wheelRemainderV_, v, target_.bottom - target_.top, dpi, +1);
      const input::ScrollStep horizontal =
          input::DragScroll(wheelRemainderH_, h, target_.right - target_.left, dpi, -1);
      wheelRemainderV_ = vertical.remainder;
      wheelRemainderH_ = horizontal.remainder;
      if (vertical.units != 0) {
        SendMouse(point, MOUSEEVENTF_WHEEL, static_cast<DWORD>(vertical.units));
      }
      if (horizontal.units != 0) {
        SendMouse(point, MOUSEEVENTF_HWHEEL, static_cast<DWORD>(horizontal.units));
      }
      break;
    }
    case PointerKind::Wheel: {
      const int32_t vUnits = input::WheelUnits(v);
      const int32_t hUnits = input::WheelUnits(h);
      if (vUnits != 0) {
        SendMouse(point, MOUSEEVENTF_WHEEL, static_cast<DWORD>(vUnits));
      }
      if (hUnits != 0) {
        SendMouse(point, MOUSEEVENTF_HWHEEL, static_cast<DWORD>(hUnits));
      }
      break;
    }
    default:
      break;
  }
}

void InputInjector::ReleaseAll() {
  std::set<std::pair<uint16_t, uint8_t>> keys;
  {
    std::lock_guard lock(mutex_);
    keys = heldKeys_;
  }
  for (const auto& [vk, extended] : keys) {
    InjectKey(vk, false, extended != 0);
  }
  std::lock_guard lock(mutex_);
  PenSampleLocked(PenSample{});
  TouchFrameLocked({});
  if (leftDown_ || rightDown_) {
    const POINT cursor = backend_.CursorPos();
    if (leftDown_) {
      SendMouse(cursor, MOUSEEVENTF_LEFTUP);
    }
    if (rightDown_) {
      SendMouse(cursor, MOUSEEVENTF_RIGHTUP);
    }
    leftDown_ = false;
    rightDown_ = false;
  }
  if (middleDown_) {
    SendMouse(backend_.CursorPos(), MOUSEEVENTF_MIDDLEUP);
    middleDown_ = false;
  }
  mouseContact_ = -1;
}

}  // namespace kelm
