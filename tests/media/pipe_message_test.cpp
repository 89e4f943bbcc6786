// The pipe header and lock-frame body checks: which bytes a reader takes and which it refuses.
#include "media/pipe_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kelm {
namespace {

PipeHeader Header(uint32_t length, uint8_t type) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 24), type};
}

TEST(PipeMessageTest, TypesKeepTheirWireValues) {
  EXPECT_EQ(static_cast<uint8_t>(PipeMessageType::LockScreenFrame), 1);
  EXPECT_EQ(static_cast<uint8_t>(PipeMessageType::Input), 2);
  EXPECT_EQ(static_cast<uint8_t>(PipeMessageType::UpdateRequest), 3);
  EXPECT_EQ(static_cast<uint8_t>(PipeMessageType::UpdateReply), 4);
}

TEST(PipeMessageTest, HeaderLengthTable) {
  struct Case {
    uint32_t length;
    size_t limit;
    bool accepted;
    size_t body;
  };
  const Case cases[] = {
      {0, kPipeMaxBody, false, 0},
      {1, kPipeMaxBody, true, 0},
      {2, 0, false, 0},
      {1025, 1024, true, 1024},
      {1026, 1024, false, 0},
      {0x10000009, kPipeMaxBody, true, 0x10000008},
      {0x10000009, 1024, false, 0},
      {0x1000000A, kPipeMaxBody, false, 0},
      // A limit above the framing's own never lets a larger body through.
      {0x1000000A, SIZE_MAX, false, 0},
      {0xFFFFFFFF, SIZE_MAX, false, 0},
  };
  for (const Case& c : cases) {
    const auto fields = ParsePipeHeader(Header(c.length, 9), c.limit);
    ASSERT_EQ(fields.has_value(), c.accepted) << "L=" << c.length << " limit=" << c.limit;
    if (fields) {
      EXPECT_EQ(fields->bodySize, c.body);
      EXPECT_EQ(fields->type, 9);
    }
  }
}

TEST(PipeMessageTest, EncodedHeaderCountsTheTypeByte) {
  EXPECT_EQ(EncodePipeHeader(2, 6), (PipeHeader{7, 0, 0, 0, 2}));
  EXPECT_EQ(EncodePipeHeader(1, 0), (PipeHeader{1, 0, 0, 0, 1}));
  EXPECT_EQ(EncodePipeHeader(1, kPipeMaxBody), (PipeHeader{0x09, 0, 0, 0x10, 1}));
  const auto back = ParsePipeHeader(EncodePipeHeader(4, 65536), 65536);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->bodySize, 65536u);
  EXPECT_EQ(back->type, 4);
}

std::vector<uint8_t> FrameBody(uint32_t width, uint32_t height, size_t pixelBytes) {
  std::vector<uint8_t> body(kLockFrameHeaderSize + pixelBytes, 0x5A);
  std::memcpy(body.data(), &width, 4);
  std::memcpy(body.data() + 4, &height, 4);
  return body;
}

TEST(PipeMessageTest, LockFrameTable) {
  struct Case {
    const char* what;
    std::vector<uint8_t> body;
    bool accepted;
  };
  const Case cases[] = {
      {"100x100 exact", FrameBody(100, 100, 100 * 100 * 4), true},
      {"1x1 exact", FrameBody(1, 1, 4), true},
      {"8192x1 exact", FrameBody(8192, 1, 8192 * 4), true},
      {"one byte more", FrameBody(100, 100, 100 * 100 * 4 + 1), false},
      {"one byte less", FrameBody(100, 100, 100 * 100 * 4 - 1), false},
      {"width 8193", FrameBody(8193, 1, 8193 * 4), false},
      {"height 8193", FrameBody(1, 8193, 8193 * 4), false},
      {"width 0", FrameBody(0, 100, 0), false},
      {"height 0", FrameBody(100, 0, 0), false},
      {"under 8 bytes", std::vector<uint8_t>(7, 1), false},
      {"empty", {}, false},
      // width x height x 4 wraps to 0 in 32 bits: only the 8 header bytes came.
      {"width 0x40000000 height 4", FrameBody(0x40000000, 4, 0), false},
  };
  for (const Case& c : cases) {
    const auto size = ParseLockFrame(c.body);
    EXPECT_EQ(size.has_value(), c.accepted) << c.what;
  }
  const auto size = ParseLockFrame(FrameBody(100, 50, 100 * 50 * 4));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 100u);
  EXPECT_EQ(size->height, 50u);
}

}  // namespace
}  // namespace kelm
