#pragma once
// Session messages: the little-endian reader and writer, Hello and Welcome, and the
// builders and parsers of the payloads the session itself makes or reads.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"

namespace kelm::msg {

struct Message {
  proto::MsgType type{};
  std::vector<uint8_t> payload;
};

}  // namespace kelm::msg

namespace kelm {

// Sends one message on a session; false once the session no longer runs.
using SendMessageFn = std::function<bool(const msg::Message&)>;

}  // namespace kelm

namespace kelm::msg {

// Payload cursor with a sticky fail flag: once a read runs past the end every later
// read yields zeros (an empty text) without moving.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data.data()), size_(data.size()) {}

  bool ReadBytes(void* out, size_t n);
  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  uint64_t ReadU64();
  std::string ReadString();

  bool Ok() const { return ok_; }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return ok_ ? size_ - pos_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

inline constexpr size_t kMaxTextBytes = 65535;

void WriteU8(std::vector<uint8_t>& out, uint8_t v);
void WriteU16(std::vector<uint8_t>& out, uint16_t v);
void WriteU32(std::vector<uint8_t>& out, uint32_t v);
void WriteU64(std::vector<uint8_t>& out, uint64_t v);
// u16 byte count (capped at 65535) and the first min(size, 65535) bytes.
void WriteString(std::vector<uint8_t>& out, std::string_view text);

struct Hello {
  uint16_t versionMax = 0;
  uint16_t versionMin = 0;
  uint16_t panelWidth = 0;
  uint16_t panelHeight = 0;
  uint16_t dpi = 0;
  uint16_t monitorParamA = 0;
  uint16_t monitorParamB = 0;
  uint16_t displayWidth = 0;
  uint16_t displayHeight = 0;
  uint16_t fps = 0;
  uint32_t kbps = 0;
  uint8_t displayMode = 0;
  uint8_t flags = 0;
  uint8_t codecPreference = 0;
  uint8_t mirrorIndex = 0;
  uint8_t penMode = 0;
  uint8_t touchMode = 0;
  uint8_t audio = 0;
  uint16_t displayScale = 0;
  uint8_t displayFlags = 0;
  uint8_t featureFlags = 0;
  std::string deviceName;
  bool valid = false;
};

struct Welcome {
  uint16_t version = 0;
  uint8_t status = 0;
  uint8_t useHevc = 0;
  uint16_t fps = 0;
  uint32_t kbps = 0;
  uint8_t displayMode = 0;
  std::string pcName;
  std::string message;
};

struct ConnectInfo {
  bool relayOn = false;
  std::string relayServer;
  std::string iceServers;  // joined with ","
};

struct Limits {
  uint32_t kbps = 0;
  uint16_t fps = 0;
};

struct DisplayOptions {
  uint16_t scale = 0;
  uint8_t flags = 0;
};

struct ClipboardContent {
  proto::ClipboardFormat format{};
  std::vector<uint8_t> data;
};

struct StreamSize {
  uint16_t panelWidth = 0;
  uint16_t panelHeight = 0;
  uint16_t displayWidth = 0;
  uint16_t displayHeight = 0;
};

inline constexpr size_t kMaxClipboardBytes = 0xC00000;  // 12 MiB of content
inline constexpr size_t kMaxNotificationTitle = 1000;
inline constexpr size_t kMaxNotificationBody = 4000;

Message MakeWelcome(const Welcome& w);
Message MakeCodecConfig(std::span<const uint8_t> parameterSets);
Message MakeVideoFrame(uint64_t stamp, uint8_t flags, std::span<const uint8_t> nalUnits);
Message MakeVideoFormat(uint16_t encodedWidth, uint16_t encodedHeight, proto::VideoCodec codec,
                        uint16_t sourceWidth, uint16_t sourceHeight);
Message MakeCursorShape(uint16_t width, uint16_t height, uint16_t hotX, uint16_t hotY,
                        std::span<const uint8_t> pixels);
Message MakeCursorPosition(bool visible, int32_t x, int32_t y);
Message MakeDeviceKeyboard(uint8_t show);
Message MakeAudioFormat(uint32_t sampleRate, uint8_t channels);
Message MakeAudioData(uint64_t hostMicros, std::span<const uint8_t> samples);
Message MakeClipboard(proto::ClipboardFormat format, std::span<const uint8_t> content);
Message MakeNotification(uint32_t id, std::string_view app, std::string_view title,
                         std::string_view body);
Message MakePong(uint64_t value, uint64_t hostMicros);
Message MakeConnectInfo(const ConnectInfo& info);
Message MakeErrorText(std::string_view text);

Hello ParseHello(std::span<const uint8_t> payload);
std::optional<Limits> ParseLimits(std::span<const uint8_t> payload);
std::optional<uint64_t> ParseU64(std::span<const uint8_t> payload);
std::optional<uint8_t> ParseU8(std::span<const uint8_t> payload);
std::optional<DisplayOptions> ParseDisplayOptions(std::span<const uint8_t> payload);
std::optional<ClipboardContent> ParseClipboard(std::span<const uint8_t> payload);
std::optional<StreamSize> ParseStreamSize(std::span<const uint8_t> payload);
std::optional<uint32_t> ParseU32(std::span<const uint8_t> payload);

// A text cut to at most `limit` bytes without splitting a UTF-8 character.
std::string_view CutAtCharacter(std::string_view text, size_t limit);

// Whether an input message is a press (the router notices taps by it).
bool IsPress(proto::MsgType type, std::span<const uint8_t> payload);

}  // namespace kelm::msg
