#include "core/messages.h"

#include <cstring>

#include "core/byte_order.h"

namespace kelm::msg {
namespace {

constexpr uint8_t kMagic[4] = {'K', 'E', 'L', 'M'};

Message FromBuffer(proto::MsgType type, const std::vector<uint8_t>& buffer) {
  // The growing buffer over-allocates; the message gets one exact copy.
  Message m{type, {}};
  m.payload.assign(buffer.begin(), buffer.end());
  return m;
}

// One allocation of the exact size, one copy of the bulk bytes.
Message WithHeader(proto::MsgType type, std::span<const uint8_t> header,
                   std::span<const uint8_t> bulk) {
  Message m{type, std::vector<uint8_t>(header.size() + bulk.size())};
  if (!header.empty()) std::memcpy(m.payload.data(), header.data(), header.size());
  if (!bulk.empty()) std::memcpy(m.payload.data() + header.size(), bulk.data(), bulk.size());
  return m;
}

template <typename T>
T ReadLe(Reader& r) {
  uint8_t b[sizeof(T)];
  r.ReadBytes(b, sizeof(T));
  return bytes::LoadLe<T>(b);
}

}  // namespace

bool Reader::ReadBytes(void* out, size_t n) {
  if (!ok_ || size_ - pos_ < n) {
    ok_ = false;
    if (n != 0) std::memset(out, 0, n);
    return false;
  }
  if (n != 0) std::memcpy(out, data_ + pos_, n);
  pos_ += n;
  return true;
}

uint8_t Reader::ReadU8() { return ReadLe<uint8_t>(*this); }
uint16_t Reader::ReadU16() { return ReadLe<uint16_t>(*this); }
uint32_t Reader::ReadU32() { return ReadLe<uint32_t>(*this); }
uint64_t Reader::ReadU64() { return ReadLe<uint64_t>(*this); }

std::string Reader::ReadString() {
  const uint16_t count = ReadU16();
  if (!ok_) return {};
  if (size_ - pos_ < count) {
    ok_ = false;  // the count stays consumed
    return {};
  }
  std::string s(reinterpret_cast<const char*>(data_ + pos_), count);
  pos_ += count;
  return s;
}

void WriteU8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void WriteU16(std::vector<uint8_t>& out, uint16_t v) { bytes::AppendLe(out, v); }
void WriteU32(std::vector<uint8_t>& out, uint32_t v) { bytes::AppendLe(out, v); }
void WriteU64(std::vector<uint8_t>& out, uint64_t v) { bytes::AppendLe(out, v); }

void WriteString(std::vector<uint8_t>& out, std::string_view text) {
  const size_t n = text.size() < kMaxTextBytes ? text.size() : kMaxTextBytes;
  WriteU16(out, static_cast<uint16_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string_view CutAtCharacter(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  // The byte at `cut` is the first one dropped; a continuation byte there means the
  // character straddles the limit and goes whole.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

Message MakeWelcome(const Welcome& w) {
  std::vector<uint8_t> b;
  b.reserve(24 + w.pcName.size() + w.message.size());
  b.insert(b.end(), std::begin(kMagic), std::end(kMagic));
  WriteU16(b, w.version);
  WriteU8(b, w.status);
  WriteU8(b, w.useHevc);
  WriteU16(b, 0);
  WriteU16(b, 0);
  WriteU16(b, w.fps);
  WriteU32(b, w.kbps);
  WriteU8(b, w.displayMode);
  WriteU8(b, 0);
  WriteString(b, w.pcName);
  WriteString(b, w.message);
  return FromBuffer(proto::MsgType::Welcome, b);
}

Message MakeCodecConfig(std::span<const uint8_t> parameterSets) {
  return WithHeader(proto::MsgType::CodecConfig, {}, parameterSets);
}

Message MakeVideoFrame(uint64_t stamp, uint8_t flags, std::span<const uint8_t> nalUnits) {
  uint8_t header[9];
  bytes::StoreLe(header, stamp);
  header[8] = flags;
  return WithHeader(proto::MsgType::VideoFrame, header, nalUnits);
}

Message MakeVideoFormat(uint16_t encodedWidth, uint16_t encodedHeight, proto::VideoCodec codec,
                        uint16_t sourceWidth, uint16_t sourceHeight) {
  std::vector<uint8_t> b;
  WriteU16(b, encodedWidth);
  WriteU16(b, encodedHeight);
  WriteU8(b, static_cast<uint8_t>(codec));
  WriteU8(b, 0);
  WriteU16(b, sourceWidth);
  WriteU16(b, sourceHeight);
  return FromBuffer(proto::MsgType::VideoFormat, b);
}

Message MakeCursorShape(uint16_t width, uint16_t height, uint16_t hotX, uint16_t hotY,
                        std::span<const uint8_t> pixels) {
  uint8_t header[8];
  bytes::StoreLe(header, width);
  bytes::StoreLe(header + 2, height);
  bytes::StoreLe(header + 4, hotX);
  bytes::StoreLe(header + 6, hotY);
  return WithHeader(proto::MsgType::CursorShape, header, pixels);
}

Message MakeCursorPosition(bool visible, int32_t x, int32_t y) {
  std::vector<uint8_t> b;
  WriteU8(b, visible ? 1 : 0);
  WriteU32(b, static_cast<uint32_t>(x));
  WriteU32(b, static_cast<uint32_t>(y));
  return FromBuffer(proto::MsgType::CursorPosition, b);
}

Message MakeDeviceKeyboard(uint8_t show) {
  return Message{proto::MsgType::DeviceKeyboard, {show}};
}

Message MakeAudioFormat(uint32_t sampleRate, uint8_t channels) {
  std::vector<uint8_t> b;
  WriteU32(b, sampleRate);
  WriteU8(b, channels);
  WriteU8(b, 0);
  return FromBuffer(proto::MsgType::AudioFormat, b);
}

Message MakeAudioData(uint64_t hostMicros, std::span<const uint8_t> samples) {
  uint8_t header[8];
  bytes::StoreLe(header, hostMicros);
  return WithHeader(proto::MsgType::AudioData, header, samples);
}

Message MakeClipboard(proto::ClipboardFormat format, std::span<const uint8_t> content) {
  const uint8_t header[1] = {static_cast<uint8_t>(format)};
  return WithHeader(proto::MsgType::Clipboard, header, content);
}

Message MakeNotification(uint32_t id, std::string_view app, std::string_view title,
                         std::string_view body) {
  title = CutAtCharacter(title, kMaxNotificationTitle);
  body = CutAtCharacter(body, kMaxNotificationBody);
  std::vector<uint8_t> b;
  b.reserve(10 + (app.size() < kMaxTextBytes ? app.size() : kMaxTextBytes) + title.size() +
            body.size());
  WriteU32(b, id);
  WriteString(b, app);
  WriteString(b, title);
  WriteString(b, body);
  return FromBuffer(proto::MsgType::Notification, b);
}

Message MakePong(uint64_t value, uint64_t hostMicros) {
  std::vector<uint8_t> b;
  WriteU64(b, value);
  WriteU64(b, hostMicros);
  return FromBuffer(proto::MsgType::Pong, b);
}

Message MakeConnectInfo(const ConnectInfo& info) {
  std::vector<uint8_t> b;
  WriteU8(b, info.relayOn ? 1 : 0);
  WriteString(b, info.relayServer);
  WriteString(b, info.iceServers);
  return FromBuffer(proto::MsgType::ConnectInfo, b);
}

Message MakeErrorText(std::string_view text) {
  std::vector<uint8_t> b;
  WriteString(b, text);
  return FromBuffer(proto::MsgType::ErrorMessage, b);
}

Hello ParseHello(std::span<const uint8_t> payload) {
  Reader r(payload);
  Hello h;
  uint8_t magic[4];
  r.ReadBytes(magic, sizeof(magic));
  h.versionMax = r.ReadU16();
  h.panelWidth = r.ReadU16();
  h.panelHeight = r.ReadU16();
  h.dpi = r.ReadU16();
  h.monitorParamA = r.ReadU16();
  h.monitorParamB = r.ReadU16();
  h.displayWidth = r.ReadU16();
  h.displayHeight = r.ReadU16();
  h.fps = r.ReadU16();
  h.kbps = r.ReadU32();
  h.displayMode = r.ReadU8();
  h.flags = r.ReadU8();
  h.codecPreference = r.ReadU8();
  h.mirrorIndex = r.ReadU8();
  h.penMode = r.ReadU8();
  h.touchMode = r.ReadU8();
  h.audio = r.ReadU8();
  r.ReadU8();   // skipped
  r.ReadU32();  // skipped
  h.deviceName = r.ReadString();
  h.versionMin = h.versionMax;
  if (!r.Ok() || std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
    return Hello{};
  }
  if (r.Remaining() >= 3) {
    h.displayScale = r.ReadU16();
    h.displayFlags = r.ReadU8();
  }
  if (r.Remaining() >= 1) h.featureFlags = r.ReadU8();
  if (r.Remaining() >= 2) h.versionMin = r.ReadU16();
  h.valid = true;
  return h;
}

std::optional<Limits> ParseLimits(std::span<const uint8_t> payload) {
  Reader r(payload);
  Limits l;
  l.kbps = r.ReadU32();
  l.fps = r.ReadU16();
  if (!r.Ok()) return std::nullopt;
  return l;
}

std::optional<uint64_t> ParseU64(std::span<const uint8_t> payload) {
  Reader r(payload);
  const uint64_t v = r.ReadU64();
  if (!r.Ok()) return std::nullopt;
  return v;
}

std::optional<uint8_t> ParseU8(std::span<const uint8_t> payload) {
  Reader r(payload);
  const uint8_t v = r.ReadU8();
  if (!r.Ok()) return std::nullopt;
  return v;
}

std::optional<uint32_t> ParseU32(std::span<const uint8_t> payload) {
  Reader r(payload);
  const uint32_t v = r.ReadU32();
  if (!r.Ok()) return std::nullopt;
  return v;
}

std::optional<DisplayOptions> ParseDisplayOptions(std::span<const uint8_t> payload) {
  Reader r(payload);
  DisplayOptions d;
  d.scale = r.ReadU16();
  d.flags = r.ReadU8();
  if (!r.Ok()) return std::nullopt;
  return d;
}

std::optional<ClipboardContent> ParseClipboard(std::span<const uint8_t> payload) {
  if (payload.size() < 2 || payload[0] >= 2) return std::nullopt;
  const auto content = payload.subspan(1);
  if (content.size() > kMaxClipboardBytes) return std::nullopt;
  return ClipboardContent{static_cast<proto::ClipboardFormat>(payload[0]),
                          std::vector<uint8_t>(content.begin(), content.end())};
}

std::optional<StreamSize> ParseStreamSize(std::span<const uint8_t> payload) {
  Reader r(payload);
  StreamSize s;
  s.panelWidth = r.ReadU16();
  s.panelHeight = r.ReadU16();
  s.displayWidth = r.ReadU16();
  s.displayHeight = r.ReadU16();
  if (!r.Ok() || s.panelWidth == 0 || s.panelHeight == 0) return std::nullopt;
  return s;
}

bool IsPress(proto::MsgType type, std::span<const uint8_t> payload) {
  if (payload.empty()) return false;
  switch (type) {
    case proto::MsgType::PenSamples: {
      constexpr size_t kRecord = 28;
      const size_t count = payload[0];
      for (size_t i = 0; i < count; ++i) {
        const size_t at = 1 + i * kRecord;
        if (at >= payload.size()) return false;
        if (payload[at] & 0x02) return true;
      }
      return false;
    }
    case proto::MsgType::TouchContacts:
      return payload[0] != 0;
    case proto::MsgType::Pointer:
      return payload[0] == 1;
    default:
      return false;
  }
}

}  // namespace kelm::msg
