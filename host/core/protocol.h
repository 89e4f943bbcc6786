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

}  // namespace kelm::proto
