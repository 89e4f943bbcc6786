#pragma once
// The session's record types as the device sends and reads them, written for the tests
// from the protocol's description and on purpose not taken from the host's own list,
// so that a renumbered host type shows up as a failing test.
#include <cstddef>
#include <cstdint>

namespace kelm::test::dev {

inline constexpr uint8_t kHello = 1;
inline constexpr uint8_t kWelcome = 2;
inline constexpr uint8_t kCodecConfig = 3;
inline constexpr uint8_t kVideoFrame = 4;
inline constexpr uint8_t kVideoFormat = 5;
inline constexpr uint8_t kCursorShape = 6;
inline constexpr uint8_t kCursorPosition = 7;
inline constexpr uint8_t kKeyboard = 8;
inline constexpr uint8_t kAudioFormat = 9;
inline constexpr uint8_t kPen = 10;
inline constexpr uint8_t kTouch = 11;
inline constexpr uint8_t kKey = 12;
inline constexpr uint8_t kText = 13;
inline constexpr uint8_t kAudioData = 14;
inline constexpr uint8_t kPointer = 15;
inline constexpr uint8_t kLimits = 21;
inline constexpr uint8_t kFrameAck = 22;
inline constexpr uint8_t kAudio = 23;
inline constexpr uint8_t kClipboard = 25;
inline constexpr uint8_t kFeatureFlags = 26;
inline constexpr uint8_t kStreamSize = 27;
inline constexpr uint8_t kNotification = 28;
inline constexpr uint8_t kNotificationActivate = 29;
inline constexpr uint8_t kPing = 30;
inline constexpr uint8_t kPong = 31;
inline constexpr uint8_t kPause = 32;
inline constexpr uint8_t kBye = 40;
inline constexpr uint8_t kError = 41;

// The Welcome's status byte and where it sits in the payload.
inline constexpr size_t kWelcomeStatusAt = 6;
inline constexpr uint8_t kWelcomeAccepted = 0;

}  // namespace kelm::test::dev
