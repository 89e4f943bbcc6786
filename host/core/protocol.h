#pragma once
// Session protocol constants shared by the session, the codec and the services.
#include <cstdint>

namespace kelm::proto {

// Every value not listed here is unknown to the host; the session ignores it.
enum class MsgType : uint8_t {
  Hello = 1,
  Welcome = 2,
  CodecConfig = 3,
  VideoFrame = 4,
  VideoFormat = 5,
  CursorShape = 6,
  CursorPosition = 7,
  DeviceKeyboard = 8,
  AudioFormat = 9,
  PenSamples = 10,
  TouchContacts = 11,
  Key = 12,
  Text = 13,
  AudioData = 14,
  Pointer = 15,
  FileBegin = 16,
  FileData = 17,
  FileEnd = 18,
  FileAck = 19,
  KeyFrameRequest = 20,
  Limits = 21,
  FrameAck = 22,
  Audio = 23,
  DisplayOptions = 24,
  Clipboard = 25,
  FeatureFlags = 26,
  StreamSize = 27,
  Notification = 28,
  NotificationActivate = 29,
  Ping = 30,
  Pong = 31,
  Pause = 32,
  ConnectInfo = 33,
  Bye = 40,
  ErrorMessage = 41,
  ClientHello = 50,
  HostHello = 51,
  ClientFinish = 52,
  Admission = 53,
};

// Welcome `status`.
enum class WelcomeStatus : uint8_t {
  Accepted = 0,
  IncompatibleVersions = 1,
  DisplayFailedNoDriver = 3,  // the display could not be set up and no driver is open
  Refused = 4,                // update pending, device removed, or display failed with the driver open
};

// Admission `result`, the first record after the handshake.
enum class AdmissionResult : uint8_t {
  Admitted = 0,
  NotPaired = 10,     // not paired and may not pair now
  CodeEveryTime = 11, // the PC wants an authenticator code on every connection
};

// The code of a handshake error reply (a HostHello frame with a non-zero status).
enum class HandshakeError : uint8_t {
  LockedOut = 1,          // too many wrong codes from this source
  PairingOff = 2,         // no code expected: pairing is off and the device offered a PIN
  NoCodeExpected = 3,     // no code expected in every other case
  VersionMismatch = 4,    // handshake version is not 1
};

// Bits of the Hello's and message 26's `featureFlags`.
inline constexpr uint8_t kFeatureClipboard = 1 << 0;
inline constexpr uint8_t kFeatureNotifications = 1 << 1;
// Bit of the Hello's `flags`: the device can decode HEVC.
inline constexpr uint8_t kHelloFlagHevc = 1 << 1;
// Bit 0 of ClientHello flags: pairing requested.
inline constexpr uint8_t kClientHelloPairing = 1 << 0;

enum class ClipboardFormat : uint8_t {
  Text = 0,   // UTF-8
  Image = 1,  // PNG
};

// Hello field penMode: 0 pen, any other value mouse.
enum class PenMode : uint8_t {
  Pen = 0,
  Mouse = 1,
};

// Hello field touchMode: 0 touch, 1 mouse emulation, any other value drops touch input.
enum class TouchMode : uint8_t {
  Touch = 0,
  Mouse = 1,
  Off = 2,
};

// Video codecs, as the video format message and the Hello's preference carry them.
enum class VideoCodec : uint8_t {
  H264 = 0,
  Hevc = 1,
};

}  // namespace kelm::proto
