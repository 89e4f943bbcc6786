// BackgroundSha256: every byte fed, in order, reaches the digest, whatever the pieces
// and however far the feeder runs ahead of the hashing thread.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto.h"
#include "core/encoding.h"
#include "update/background_sha256.h"

namespace kelm::update {
namespace {

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  return bytes;
}

std::string FedInPieces(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieces) {
  BackgroundSha256 hasher;
  size_t at = 0;
  for (size_t i = 0; at < bytes.size(); ++i) {
    const size_t take = std::min(pieces[i % pieces.size()], bytes.size() - at);
    EXPECT_TRUE(hasher.Feed(std::span(bytes).subspan(at, take)));
    at += take;
  }
  const auto digest = hasher.Finish();
  return digest ? HexEncode(*digest) : "failed";
}

TEST(BackgroundSha256Test, KnownDigests) {
  const std::string abc = "abc";
  BackgroundSha256 hasher;
  for (char c : abc) hasher.Feed(std::span(reinterpret_cast<const uint8_t*>(&c), 1));
  hasher.Feed({});
  const auto digest = hasher.Finish();
  ASSERT_TRUE(digest);
  EXPECT_EQ(HexEncode(*digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  BackgroundSha256 empty;
  EXPECT_EQ(HexEncode(*empty.Finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(BackgroundSha256Test, PiecesOfEverySizeGiveTheOnePassDigest) {
  constexpr size_t kBlock = BackgroundSha256::kBlockBytes;
  // Sizes around the block edge and well past the queue's bound (the feeder must wait).
  const auto bytes = Pattern(kBlock * (BackgroundSha256::kMaxQueuedBlocks + 5) + 12345);
  const std::string expected = HexEncode(Sha256(bytes));
  const std::vector<std::vector<size_t>> cases = {
      {1 << 16}, {kBlock}, {kBlock - 1}, {kBlock + 1}, {3 * kBlock + 7}, {bytes.size()}, {1, 8191, 65537, 0, 999983}};
  for (const auto& pieces : cases) EXPECT_EQ(FedInPieces(bytes, pieces), expected) << pieces.front();
  std::mt19937 random(7);
  std::vector<size_t> randomPieces;
  for (int i = 0; i < 200; ++i) randomPieces.push_back(random() % (2 * kBlock));
  EXPECT_EQ(FedInPieces(bytes, randomPieces), expected);
}

TEST(BackgroundSha256Test, DroppingItUnfinishedReturnsAtOnce) {
  const auto bytes = Pattern(BackgroundSha256::kBlockBytes * 4);
  const auto started = std::chrono::steady_clock::now();
  {
    BackgroundSha256 hasher;
    hasher.Feed(bytes);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace kelm::update
