// Packetiser and Annex-B scan: unit boundaries, parameter-set handling, key frames.
#include "media/video_packetizer.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "core/protocol.h"
#include "media/annexb.h"

namespace kelm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// A unit with a 4-byte (or 3-byte) start code, header byte and a short body.
Bytes Unit4(uint8_t header, Bytes body = {0xAA, 0xBB}) { return Cat({{0, 0, 0, 1, header}, body}); }
Bytes Unit3(uint8_t header, Bytes body = {0xCC}) { return Cat({{0, 0, 1, header}, body}); }
uint8_t HevcHeader(uint8_t type) { return static_cast<uint8_t>(type << 1); }

const Bytes kSps = Unit4(0x67, {0x42, 0x00, 0x1F});
const Bytes kPps = Unit4(0x68, {0xCE, 0x38});
const Bytes kIdr = Unit4(0x65, {0x88, 0x84, 0x21});
const Bytes kSlice = Unit4(0x41, {0x9A, 0x02});
const Bytes kAud = Unit4(0x09, {0xF0});

Bytes VideoFramePayloadUnits(const msg::Message& m) { return Bytes(m.payload.begin() + 9, m.payload.end()); }
uint8_t VideoFrameFlags(const msg::Message& m) { return m.payload.at(8); }

VideoPacketizer::SequenceHeaderFn Header(Bytes b) {
  return [b] { return b; };
}

TEST(ScanAnnexB, FindsUnitsWithMixedStartCodes) {
  const Bytes frame = Cat({{0x12, 0x34, 0x00}, Unit4(0x67), Unit3(0x68), Unit4(0x65)});
  const auto units = ScanAnnexB(frame, proto::VideoCodec::H264);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].offset, 3u);
  EXPECT_EQ(units[0].length, 7u);
  EXPECT_EQ(units[0].type, 7);
  EXPECT_EQ(units[1].offset, 10u);
  EXPECT_EQ(units[1].length, 5u);
  EXPECT_EQ(units[1].type, 8);
  EXPECT_EQ(units[2].offset, 15u);
  EXPECT_EQ(units[2].length, 7u);
  EXPECT_EQ(units[2].type, 5);
}

TEST(ScanAnnexB, EdgeInputs) {
  struct Case {
    const char* name;
    Bytes frame;
    size_t units;
  };
  const Case cases[] = {
      {"empty", {}, 0},
      {"two bytes", {0, 0}, 0},
      {"bare three-byte code", {0, 0, 1}, 0},
      {"bare four-byte code", {0, 0, 0, 1}, 0},
      {"no start code", {1, 2, 3, 4, 5, 0, 0, 2, 0, 0}, 0},
      {"zero, zero, zero, two is no code", {0, 0, 0, 2, 0x65, 0}, 0},
      {"trailing code without header", Cat({Unit4(0x65), {0, 0, 1}}), 1},
      {"trailing four-byte code without header", Cat({Unit4(0x65), {0, 0, 0, 1}}), 1},
      {"unit of only a header byte", {0, 0, 1, 0x65}, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScanAnnexB(c.frame, proto::VideoCodec::H264).size(), c.units) << c.name;
  }
}

TEST(ScanAnnexB, FourByteCodeNeedsZeroAtThirdByte) {
  // 00 00 02 01 is no start code although byte 3 is one.
  const Bytes frame = {0, 0, 2, 1, 0x65, 0, 0, 1, 0x41, 7};
  const auto units = ScanAnnexB(frame, proto::VideoCodec::H264);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].offset, 5u);
  EXPECT_EQ(units[0].type, 1);
}

TEST(ScanAnnexB, HevcTypesComeFromBitsOneToSix) {
  const Bytes frame = Cat({Unit4(HevcHeader(32)), Unit4(HevcHeader(21) | 0x01), Unit3(0x80 | HevcHeader(22))});
  const auto units = ScanAnnexB(frame, proto::VideoCodec::Hevc);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].type, 32);
  EXPECT_EQ(units[1].type, 21);
  EXPECT_EQ(units[2].type, 22);
}

TEST(UnitBytes, ClipsToTheFrame) {
  const Bytes frame = Unit4(0x65);
  EXPECT_EQ(UnitBytes(frame, {0, NalUnit::kToEnd, 5}).size(), frame.size());
  EXPECT_EQ(UnitBytes(frame, {2, 1000, 5}).size(), frame.size() - 2);
  EXPECT_TRUE(UnitBytes(frame, {100, 4, 5}).empty());
}

TEST(VideoPacketizer, KeyFrameSendsParameterSetsFirst) {
  VideoPacketizer p;
  const auto out = p.Packetize(1234, false, Cat({kAud, kSps, kPps, kIdr}), proto::VideoCodec::H264, nullptr);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].type, proto::MsgType::CodecConfig);
  EXPECT_EQ(out[0].payload, Cat({kSps, kPps}));
  EXPECT_EQ(out[1].type, proto::MsgType::VideoFrame);
  EXPECT_EQ(VideoFrameFlags(out[1]), 1);
  EXPECT_EQ(VideoFramePayloadUnits(out[1]), kIdr);
  EXPECT_EQ(out[1].payload[0], 0xD2);  // 1234 little-endian
  EXPECT_EQ(out[1].payload[1], 0x04);
}

TEST(VideoPacketizer, RepeatedSetsOnNonKeyFrameAreNotResent) {
  VideoPacketizer p;
  p.Packetize(1, true, Cat({kSps, kPps, kIdr}), proto::VideoCodec::H264, nullptr);
  const auto out = p.Packetize(2, false, Cat({kSps, kPps, kSlice}), proto::VideoCodec::H264, nullptr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, proto::MsgType::VideoFrame);
  EXPECT_EQ(VideoFrameFlags(out[0]), 0);
  EXPECT_EQ(VideoFramePayloadUnits(out[0]), kSlice);
}

TEST(VideoPacketizer, ChangedSetsOnNonKeyFrameAreSentAndRemembered) {
  VideoPacketizer p;
  p.Packetize(1, true, Cat({kSps, kPps, kIdr}), proto::VideoCodec::H264, nullptr);
  const Bytes sps2 = Unit4(0x67, {0x64, 0x00, 0x28});
  const auto out = p.Packetize(2, false, Cat({sps2, kPps, kSlice}), proto::VideoCodec::H264, nullptr);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload, Cat({sps2, kPps}));
  EXPECT_EQ(p.SentParameterSets(), Cat({sps2, kPps}));
}

TEST(VideoPacketizer, KeyFrameWithoutSetsTakesRememberedOrSequenceHeader) {
  const Bytes header = Cat({kSps, kPps});
  VideoPacketizer p;
  // Nothing remembered: the encoder's sequence header is sent and remembered.
  auto out = p.Packetize(1, true, kIdr, proto::VideoCodec::H264, Header(header));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload, header);
  EXPECT_EQ(p.SentParameterSets(), header);
  // Remembered sets win over the encoder's header on the next key frame.
  out = p.Packetize(2, true, kIdr, proto::VideoCodec::H264, Header(Unit4(0x67, {1})));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload, header);
}

TEST(VideoPacketizer, ResetForgetsSetsSoTheSequenceHeaderIsTaken) {
  VideoPacketizer p;
  p.Packetize(1, true, Cat({kSps, kPps, kIdr}), proto::VideoCodec::H264, nullptr);
  p.Reset();
  EXPECT_TRUE(p.SentParameterSets().empty());
  const Bytes header = Cat({Unit4(0x67, {0x4D}), kPps});
  const auto out = p.Packetize(2, true, kIdr, proto::VideoCodec::H264, Header(header));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload, header);
}

TEST(VideoPacketizer, EncoderKeyFlagWithoutUnitsSendsOnlyTheSets) {
  VideoPacketizer p;
  EXPECT_TRUE(p.Packetize(1, true, Bytes{0, 0}, proto::VideoCodec::H264, nullptr).empty());
  const auto out = p.Packetize(1, true, Bytes{1, 2, 3, 4}, proto::VideoCodec::H264, Header(Cat({kSps, kPps})));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, proto::MsgType::CodecConfig);
  EXPECT_TRUE(p.Packetize(2, false, Bytes{1, 2, 3, 4}, proto::VideoCodec::H264, nullptr).empty());
}

TEST(VideoPacketizer, GarbageAndTrailingCodeAreNotSent) {
  VideoPacketizer p;
  const auto out = p.Packetize(5, false, Cat({{9, 9, 9}, kSlice, {0, 0, 0, 1}}), proto::VideoCodec::H264, nullptr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(VideoFramePayloadUnits(out[0]), kSlice);
}

TEST(VideoPacketizer, DelimitersNeverReachAFramePayload) {
  for (const proto::VideoCodec codec : {proto::VideoCodec::H264, proto::VideoCodec::Hevc}) {
    const Bytes aud = codec == proto::VideoCodec::Hevc ? Unit4(HevcHeader(35)) : kAud;
    const Bytes slice = codec == proto::VideoCodec::Hevc ? Unit3(HevcHeader(1)) : Unit3(0x41);
    VideoPacketizer p;
    const auto out = p.Packetize(1, false, Cat({aud, slice, aud, slice}), codec, nullptr);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(VideoFramePayloadUnits(out[0]), Cat({slice, slice})) << static_cast<int>(codec);
    EXPECT_TRUE(p.Packetize(2, false, aud, codec, nullptr).empty());
  }
}

TEST(VideoPacketizer, HevcParameterSetsAndIrapKeyFrames) {
  const Bytes vps = Unit4(HevcHeader(32), {1});
  const Bytes sps = Unit4(HevcHeader(33), {2});
  const Bytes pps = Unit4(HevcHeader(34), {3});
  const Bytes cra = Unit4(HevcHeader(21), {4});
  const Bytes trail = Unit4(HevcHeader(22), {5});
  VideoPacketizer p;
  auto out = p.Packetize(1, false, Cat({vps, sps, pps, cra}), proto::VideoCodec::Hevc, nullptr);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload, Cat({vps, sps, pps}));
  EXPECT_EQ(VideoFrameFlags(out[1]), 1);
  EXPECT_EQ(VideoFramePayloadUnits(out[1]), cra);

  out = p.Packetize(2, false, trail, proto::VideoCodec::Hevc, nullptr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(VideoFrameFlags(out[0]), 0);

  // Every IRAP type (BLA, IDR, CRA) is key; with H.264 the same header is not.
  for (uint8_t type = 16; type <= 21; ++type) {
    VideoPacketizer q;
    out = q.Packetize(3, false, Unit4(HevcHeader(type)), proto::VideoCodec::Hevc, nullptr);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(VideoFrameFlags(out[0]), 1) << int(type);
  }
}

TEST(VideoPacketizer, CodecOtherThanOneIsH264) {
  VideoPacketizer p;
  const auto out = p.Packetize(1, false, Cat({kSps, kPps, kIdr}), static_cast<proto::VideoCodec>(7), nullptr);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].type, proto::MsgType::CodecConfig);
}

}  // namespace
}  // namespace kelm
