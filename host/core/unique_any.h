#pragma once
// Sole owners for values that must be released exactly once: a handle with its close
// function and empty value, a call to undo a start-up, and a scope-exit action.
#include <type_traits>
#include <utility>

namespace kelm {

// Owns one T; `Close(value)` releases it unless it equals `Invalid`. The result of
// `Close` is ignored: nothing can be done about a failed release.
template <typename T, auto Close, auto Invalid = T{}>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) noexcept : value_(value) {}
  ~UniqueAny() { Reset(); }
  UniqueAny(UniqueAny&& other) noexcept : value_(other.Release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;

  T Get() const noexcept { return value_; }
  // For out-parameters: releases what is held and hands out the empty slot.
  T* Put() noexcept {
    Reset();
    return &value_;
  }
  T Release() noexcept { return std::exchange(value_, InvalidValue()); }
  void Reset(T value = InvalidValue()) noexcept {
    const T old = std::exchange(value_, value);
    if (old != InvalidValue()) Close(old);
  }
  explicit operator bool() const noexcept { return value_ != InvalidValue(); }

 private:
  static constexpr T InvalidValue() noexcept { return T(Invalid); }
  T value_ = InvalidValue();
};

// Calls `Undo()` once when destroyed, when armed: the matching end of a start-up call
// that hands back no handle (WSAStartup, MFStartup).
template <auto Undo>
class UniqueCall {
 public:
  UniqueCall() = default;
  explicit UniqueCall(bool armed) noexcept : armed_(armed) {}
  ~UniqueCall() { Reset(); }
  UniqueCall(UniqueCall&& other) noexcept : armed_(std::exchange(other.armed_, false)) {}
  UniqueCall& operator=(UniqueCall&& other) noexcept {
    if (this != &other) {
      Reset();
      armed_ = std::exchange(other.armed_, false);
    }
    return *this;
  }
  UniqueCall(const UniqueCall&) = delete;
  UniqueCall& operator=(const UniqueCall&) = delete;

  void Reset() noexcept {
    if (std::exchange(armed_, false)) Undo();
  }
  explicit operator bool() const noexcept { return armed_; }

 private:
  bool armed_ = false;
};

// Runs an action when the scope ends, unless dismissed.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F action) noexcept(std::is_nothrow_move_constructible_v<F>) : action_(std::move(action)) {}
  ~ScopeExit() {
    if (active_) action_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  void Dismiss() noexcept { active_ = false; }

 private:
  F action_;
  bool active_ = true;
};

}  // namespace kelm
