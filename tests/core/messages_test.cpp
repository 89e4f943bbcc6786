#include "core/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelm::msg {
namespace {

using Bytes = std::vector<uint8_t>;
using proto::MsgType;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Str(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The 38 fixed bytes of a Hello before the name, with distinct values per field.
Bytes HelloFixed(std::string_view magic = "KELM") {
  Bytes b = Str(magic);
  const Bytes rest = {
      0x05, 0x00,              // versionMax 5
      0x38, 0x04,              // panelWidth 1080
      0x70, 0x08,              // panelHeight 2160
      0x90, 0x01,              // dpi 400
      0x11, 0x22,              // monitorParamA
      0x33, 0x44,              // monitorParamB
      0x80, 0x07,              // displayWidth 1920
      0x38, 0x04,              // displayHeight 1080
      0x78, 0x00,              // fps 120
      0x40, 0x9C, 0x00, 0x00,  // kbps 40000
      0x01, 0x02, 0x01, 0x03, 0x00, 0x01, 0x03,  // mode, flags, codec, mirror, pen, touch, audio
      0xAA, 0xBB, 0xCC, 0xDD, 0xEE,              // skipped
  };
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

TEST(HelloTest, MinimalHelloIsValidWithDefaults) {
  const Bytes p = Cat({HelloFixed(), {0x00, 0x00}});
  ASSERT_EQ(p.size(), 40u);
  const Hello h = ParseHello(p);
  ASSERT_TRUE(h.valid);
  EXPECT_EQ(h.versionMax, 5);
  EXPECT_EQ(h.versionMin, 5);
  EXPECT_EQ(h.panelWidth, 1080);
  EXPECT_EQ(h.panelHeight, 2160);
  EXPECT_EQ(h.dpi, 400);
  EXPECT_EQ(h.monitorParamA, 0x2211);
  EXPECT_EQ(h.monitorParamB, 0x4433);
  EXPECT_EQ(h.displayWidth, 1920);
  EXPECT_EQ(h.displayHeight, 1080);
  EXPECT_EQ(h.fps, 120);
  EXPECT_EQ(h.kbps, 40000u);
  EXPECT_EQ(h.displayMode, 1);
  EXPECT_EQ(h.flags, 2);
  EXPECT_EQ(h.codecPreference, 1);
  EXPECT_EQ(h.mirrorIndex, 3);
  EXPECT_EQ(h.penMode, 0);
  EXPECT_EQ(h.touchMode, 1);
  EXPECT_EQ(h.audio, 3);
  EXPECT_EQ(h.displayScale, 0);
  EXPECT_EQ(h.displayFlags, 0);
  EXPECT_EQ(h.featureFlags, 0);
  EXPECT_EQ(h.deviceName, "");
}

struct TrailerCase {
  Bytes trailer;
  uint16_t scale;
  uint8_t displayFlags;
  uint8_t featureFlags;
  uint16_t versionMin;
};

TEST(HelloTest, OptionalTrailer) {
  const TrailerCase cases[] = {
      {{0x03}, 0, 0, 3, 5},
      {{0x03, 0x02}, 0, 0, 3, 5},
      {{0x96, 0x00, 0x01}, 150, 1, 0, 5},
      {{0x96, 0x00, 0x01, 0x03}, 150, 1, 3, 5},
      {{0x96, 0x00, 0x01, 0x03, 0x04}, 150, 1, 3, 5},
      {{0x96, 0x00, 0x01, 0x03, 0x02, 0x00}, 150, 1, 3, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trailer.size());
    const Bytes p = Cat({HelloFixed(), {0x03, 0x00}, Str("Tab"), c.trailer});
    const Hello h = ParseHello(p);
    ASSERT_TRUE(h.valid);
    EXPECT_EQ(h.deviceName, "Tab");
    EXPECT_EQ(h.displayScale, c.scale);
    EXPECT_EQ(h.displayFlags, c.displayFlags);
    EXPECT_EQ(h.featureFlags, c.featureFlags);
    EXPECT_EQ(h.versionMin, c.versionMin);
    EXPECT_EQ(h.versionMax, 5);
  }
}

TEST(HelloTest, InvalidPayloads) {
  const Bytes fixed = HelloFixed();
  const struct {
    const char* what;
    Bytes payload;
  } cases[] = {
      {"bad magic", Cat({HelloFixed("KELN"), {0x00, 0x00}})},
      {"empty", {}},
      {"ends before the skipped bytes", Bytes(fixed.begin(), fixed.begin() + 33)},
      {"ends inside the skipped bytes", Bytes(fixed.begin(), fixed.begin() + 36)},
      {"no name count", fixed},
      {"half a name count", Cat({fixed, {0x04}})},
      {"ends inside the name", Cat({fixed, {0x04, 0x00}, Str("Tab")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ParseHello(c.payload).valid);
  }
}

TEST(ReaderTest, FailFlagIsStickyAndZeroFills) {
  const Bytes p = {0x01, 0x02, 0x03};
  Reader r(p);
  EXPECT_EQ(r.ReadU16(), 0x0201);
  EXPECT_EQ(r.ReadU16(), 0);  // one byte left: fails
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.ReadU8(), 0);  // the remaining byte is not read any more
  EXPECT_EQ(r.Position(), 2u);
  EXPECT_EQ(r.ReadString(), "");
}

TEST(ReaderTest, StringCountStaysConsumedWhenBytesAreMissing) {
  const Bytes p = {0x05, 0x00, 'a', 'b'};
  Reader r(p);
  EXPECT_EQ(r.ReadString(), "");
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.Position(), 2u);
}

TEST(ReaderTest, ReadsLittleEndian) {
  const Bytes p = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                   0x0D, 0x0E, 0x0F, 0x02, 0x00, 'h', 'i'};
  Reader r(p);
  EXPECT_EQ(r.ReadU8(), 0x01);
  EXPECT_EQ(r.ReadU16(), 0x0302);
  EXPECT_EQ(r.ReadU32(), 0x07060504u);
  EXPECT_EQ(r.ReadU64(), 0x0F0E0D0C0B0A0908ull);
  EXPECT_EQ(r.ReadString(), "hi");
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(WriteStringTest, LongTextIsCappedAt65535) {
  std::string text(70000, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  Bytes out;
  WriteString(out, text);
  ASSERT_EQ(out.size(), 2u + 65535u);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(std::string(out.begin() + 2, out.end()), text.substr(0, 65535));
}

TEST(WriteStringTest, ShortText) {
  Bytes out;
  WriteString(out, "");
  WriteString(out, "ab");
  EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x02, 0x00, 'a', 'b'}));
}

TEST(BuilderTest, FixtureBytes) {
  const Bytes nal = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88};
  Welcome w;
  w.version = 3;
  w.status = 4;
  w.useHevc = 1;
  w.fps = 60;
  w.kbps = 20000;
  w.displayMode = 1;
  w.pcName = "PC";
  w.message = "Update";
  ConnectInfo ci{true, "wss://r", "a,b"};
  const struct {
    const char* what;
    Message message;
    MsgType type;
    Bytes payload;
  } cases[] = {
      {"Welcome", MakeWelcome(w), MsgType::Welcome,
       Cat({Str("KELM"),
            {0x03, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x20, 0x4E, 0x00, 0x00,
             0x01, 0x00, 0x02, 0x00},
            Str("PC"),
            {0x06, 0x00},
            Str("Update")})},
      {"CodecConfig", MakeCodecConfig(nal), MsgType::CodecConfig, nal},
      {"VideoFrame", MakeVideoFrame(0x0102030405060708ull, 1, nal), MsgType::VideoFrame,
       Cat({{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x01}, nal})},
      {"VideoFormat", MakeVideoFormat(1920, 1080, proto::VideoCodec::Hevc, 3840, 2160), MsgType::VideoFormat,
       {0x80, 0x07, 0x38, 0x04, 0x01, 0x00, 0x00, 0x0F, 0x70, 0x08}},
      {"CursorShape", MakeCursorShape(1, 2, 3, 4, Bytes{1, 2, 3, 4, 5, 6, 7, 8}),
       MsgType::CursorShape,
       {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"CursorPosition", MakeCursorPosition(true, -2, 300), MsgType::CursorPosition,
       {0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x2C, 0x01, 0x00, 0x00}},
      {"DeviceKeyboard", MakeDeviceKeyboard(1), MsgType::DeviceKeyboard, {0x01}},
      {"AudioFormat", MakeAudioFormat(48000, 2), MsgType::AudioFormat,
       {0x80, 0xBB, 0x00, 0x00, 0x02, 0x00}},
      {"AudioData", MakeAudioData(0x10, Bytes{9, 8, 7, 6}), MsgType::AudioData,
       {0x10, 0, 0, 0, 0, 0, 0, 0, 9, 8, 7, 6}},
      {"Clipboard", MakeClipboard(proto::ClipboardFormat::Image, Bytes{0x89, 'P'}),
       MsgType::Clipboard, {0x01, 0x89, 'P'}},
      {"Notification", MakeNotification(7, "Mail", "Hi", "Body"), MsgType::Notification,
       Cat({{0x07, 0x00, 0x00, 0x00, 0x04, 0x00},
            Str("Mail"),
            {0x02, 0x00},
            Str("Hi"),
            {0x04, 0x00},
            Str("Body")})},
      {"Pong", MakePong(5, 0x0100), MsgType::Pong,
       {0x05, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0}},
      {"ConnectInfo", MakeConnectInfo(ci), MsgType::ConnectInfo,
       Cat({{0x01, 0x07, 0x00}, Str("wss://r"), {0x03, 0x00}, Str("a,b")})},
      {"ErrorText", MakeErrorText("No"), MsgType::ErrorMessage, {0x02, 0x00, 'N', 'o'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.message.type, c.type);
    EXPECT_EQ(c.message.payload, c.payload);
  }
}

TEST(BuilderTest, NotificationCutsAtCharacterBoundary) {
  // 998 ASCII bytes, then a two-byte character at 998..999, then one at 1000..1001
  // whose second byte lies past the limit: dropped whole.
  std::string title(998, 't');
  title += "\xC3\xBC";
  title += "\xC3\xBC";
  ASSERT_EQ(title.size(), 1002u);
  std::string title1001(999, 't');
  title1001 += "\xC3\xBC";  // bytes 999..1000: byte 1000 is the continuation
  ASSERT_EQ(title1001.size(), 1001u);
  const std::string body(4001, 'b');
  const std::string exact(1000, 'e');

  const struct {
    std::string title;
    size_t titleBytes;
  } cases[] = {{title, 1000}, {title1001, 999}, {exact, 1000}, {"", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title.size());
    const Message m = MakeNotification(1, "A", c.title, body);
    Reader r(m.payload);
    EXPECT_EQ(r.ReadU32(), 1u);
    EXPECT_EQ(r.ReadString(), "A");
    EXPECT_EQ(r.ReadString(), c.title.substr(0, c.titleBytes));
    EXPECT_EQ(r.ReadString(), body.substr(0, 4000));
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
  }
}

TEST(BuilderTest, NotificationAppUsesPlainCap) {
  const std::string app(70000, 'a');
  const Message m = MakeNotification(1, app, "", "");
  Reader r(m.payload);
  r.ReadU32();
  EXPECT_EQ(r.ReadString().size(), 65535u);
}

TEST(ParserTest, Clipboard) {
  Bytes exact(1 + kMaxClipboardBytes, 0x41);
  exact[0] = 0;
  Bytes over(2 + kMaxClipboardBytes, 0x41);
  over[0] = 1;
  EXPECT_FALSE(ParseClipboard(Bytes{0x00}));
  EXPECT_FALSE(ParseClipboard(Bytes{}));
  EXPECT_FALSE(ParseClipboard(Bytes{0x02, 'x'}));
  const auto small = ParseClipboard(Bytes{0x01, 'x', 'y'});
  ASSERT_TRUE(small);
  EXPECT_EQ(small->format, proto::ClipboardFormat::Image);
  EXPECT_EQ(small->data, (Bytes{'x', 'y'}));
  const auto big = ParseClipboard(exact);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->format, proto::ClipboardFormat::Text);
  EXPECT_EQ(big->data.size(), 12u * 1024 * 1024);
  EXPECT_FALSE(ParseClipboard(over));
}

TEST(ParserTest, FixedSizeParsers) {
  EXPECT_FALSE(ParseDisplayOptions(Bytes{0x64, 0x00}));
  const auto d = ParseDisplayOptions(Bytes{0x96, 0x00, 0x01, 0xFF});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->scale, 150);
  EXPECT_EQ(d->flags, 1);

  EXPECT_FALSE(ParseLimits(Bytes{1, 2, 3, 4, 5}));
  const auto l = ParseLimits(Bytes{0x10, 0x27, 0x00, 0x00, 0x3C, 0x00});
  ASSERT_TRUE(l);
  EXPECT_EQ(l->kbps, 10000u);
  EXPECT_EQ(l->fps, 60);

  EXPECT_FALSE(ParseU64(Bytes(7, 1)));
  EXPECT_EQ(ParseU64(Bytes{1, 0, 0, 0, 0, 0, 0, 0x80, 9}), 0x8000000000000001ull);
  EXPECT_FALSE(ParseU8(Bytes{}));
  EXPECT_EQ(ParseU8(Bytes{0x03, 0x09}), 3);
  EXPECT_FALSE(ParseU32(Bytes{1, 2, 3}));
  EXPECT_EQ(ParseU32(Bytes{0x2A, 0, 0, 0}), 42u);
}

TEST(ParserTest, StreamSize) {
  const auto s = ParseStreamSize(Bytes{0x38, 0x04, 0x70, 0x08, 0, 0, 0x80, 0x07});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->panelWidth, 1080);
  EXPECT_EQ(s->panelHeight, 2160);
  EXPECT_EQ(s->displayWidth, 0);
  EXPECT_EQ(s->displayHeight, 1920);
  EXPECT_FALSE(ParseStreamSize(Bytes{1, 0, 1, 0, 1, 0, 1}));
  EXPECT_FALSE(ParseStreamSize(Bytes{0, 0, 1, 0, 1, 0, 1, 0}));
  EXPECT_FALSE(ParseStreamSize(Bytes{1, 0, 0, 0, 1, 0, 1, 0}));
}

TEST(IsPressTest, Table) {
  Bytes pen2(1 + 28 * 2, 0);
  pen2[0] = 2;
  Bytes pen2Contact = pen2;
  pen2Contact[1 + 28] = 0x02;
  Bytes penShort(1 + 28, 0);  // the second record's flags byte lies beyond the payload
  penShort[0] = 2;
  Bytes penShortFirst = {2, 0x02};
  Bytes penCountLow = pen2Contact;
  penCountLow[0] = 1;  // only the first record counts
  const struct {
    const char* what;
    MsgType type;
    Bytes payload;
    bool press;
  } cases[] = {
      {"pen without contact", MsgType::PenSamples, pen2, false},
      {"pen second in contact", MsgType::PenSamples, pen2Contact, true},
      {"pen record beyond payload", MsgType::PenSamples, penShort, false},
      {"pen first flags present", MsgType::PenSamples, penShortFirst, true},
      {"pen count excludes contact", MsgType::PenSamples, penCountLow, false},
      {"touch count 0", MsgType::TouchContacts, {0x00}, false},
      {"touch count 1", MsgType::TouchContacts, {0x01}, true},
      {"pointer press", MsgType::Pointer, {0x01, 0x00}, true},
      {"pointer release", MsgType::Pointer, {0x00}, false},
      {"pointer 2", MsgType::Pointer, {0x02}, false},
      {"empty", MsgType::Pointer, {}, false},
      {"other type", MsgType::Key, {0x01}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsPress(c.type, c.payload), c.press);
  }
}

}  // namespace
}  // namespace kelm::msg
