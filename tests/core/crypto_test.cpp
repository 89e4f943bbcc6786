#include "core/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/cng_handles.h"
#include "core/encoding.h"
#include "support/p256_reference.h"

namespace kelm {
namespace {

Bytes H(const char* hex) {
  auto bytes = HexDecode(hex);
  EXPECT_TRUE(bytes.has_value()) << hex;
  return bytes.value_or(Bytes{});
}

ByteRange Text(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a) {
  return HexEncode(a);
}

TEST(HashTest, Sha256AndSha512KnownAnswers) {
  EXPECT_EQ(Hex(Sha256(Text("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex(Sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Parts are hashed as their concatenation; empty parts are skipped.
  EXPECT_EQ(Hex(Sha512Parts({Text("a"), ByteRange{}, Text("bc")})),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

TEST(HashTest, HmacSha256Rfc4231) {
  struct Case {
    Bytes key;
    std::string data;
    const char* mac;
  };
  const Case cases[] = {
      {Bytes(20, 0x0b), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {Bytes{'J', 'e', 'f', 'e'}, "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      // A key longer than the block is hashed first.
      {Bytes(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(HmacSha256(c.key, Text(c.data))), c.mac);
    const std::string_view d = c.data;
    EXPECT_EQ(Hex(HmacSha256Parts(c.key, {Text(d.substr(0, 3)), Text(d.substr(3))})), c.mac);
  }
}

TEST(HashTest, FailingStepThrowsItsText) {
  const ByteRange parts[] = {Text("x")};
  try {
    CngDigest(nullptr, {}, parts);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "BCryptCreateHash failed");
  }
}

TEST(HkdfTest, ExpandRfc5869) {
  struct Case {
    const char* prk;
    Bytes info;
    size_t length;
    const char* okm;
  };
  Bytes longInfo;
  for (int i = 0xb0; i <= 0xff; ++i) longInfo.push_back(static_cast<uint8_t>(i));
  const Case cases[] = {
      {"077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5", H("f0f1f2f3f4f5f6f7f8f9"), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {"06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244", longInfo, 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
       "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {"19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04", Bytes{}, 42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexEncode(HkdfExpandSha256(H(c.prk), c.info, c.length)), c.okm);
  }
  EXPECT_EQ(HkdfExpandSha256(H(cases[0].prk), cases[0].info, 32).size(), 32u);
  EXPECT_EQ(HkdfExpandSha256(H(cases[0].prk), cases[0].info, 8160).size(), 8160u);
  EXPECT_TRUE(HkdfExpandSha256(H(cases[0].prk), cases[0].info, 8161).empty());
}

// Test case 16 of McGrew and Viega's GCM paper: AES-256, 96-bit nonce, 20 bytes of AAD.
struct GcmVector {
  Bytes key = H("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  Bytes nonce = H("cafebabefacedbaddecaf888");
  Bytes aad = H("feedfacedeadbeeffeedfacedeadbeefabaddad2");
  Bytes plain = H(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
      "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39");
  std::string sealed =
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
      "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662"
      "76fc6ece0f4e1768cddf8853bb2d551b";
  std::span<const uint8_t, 12> Nonce() const { return std::span<const uint8_t, 12>(nonce.data(), 12); }
};

TEST(AesGcmTest, SealMatchesKnownAnswerAndOpens) {
  GcmVector v;
  AesGcmKey key;
  ASSERT_TRUE(key.SetKey(v.key));
  Bytes out(v.plain.size() + 16);
  ASSERT_TRUE(AesGcmSeal(key, v.Nonce(), v.aad, v.plain, out));
  EXPECT_EQ(HexEncode(out), v.sealed);

  Bytes opened(v.plain.size());
  ASSERT_TRUE(AesGcmOpen(key, v.Nonce(), v.aad, out, opened));
  EXPECT_EQ(opened, v.plain);
}

TEST(AesGcmTest, AnyFlippedBitFails) {
  GcmVector v;
  AesGcmKey key;
  ASSERT_TRUE(key.SetKey(v.key));
  const Bytes sealed = H(v.sealed.c_str());
  Bytes opened(v.plain.size());
  for (const size_t bit : {size_t{0}, size_t{8 * 20 - 1}}) {  // AAD
    Bytes aad = v.aad;
    aad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(AesGcmOpen(key, v.Nonce(), aad, sealed, opened)) << "aad bit " << bit;
  }
  for (const size_t index : {size_t{0}, v.plain.size() - 1, v.plain.size(), sealed.size() - 1}) {
    Bytes changed = sealed;  // ciphertext bytes, then tag bytes
    changed[index] ^= 0x10;
    EXPECT_FALSE(AesGcmOpen(key, v.Nonce(), v.aad, changed, opened)) << "byte " << index;
  }
}

TEST(AesGcmTest, RefusesShortInputAndMissingKey) {
  GcmVector v;
  AesGcmKey key;
  Bytes out(64, 0xEE);
  const Bytes sealed = H(v.sealed.c_str());
  EXPECT_FALSE(AesGcmOpen(key, v.Nonce(), v.aad, sealed, out));  // no key yet
  EXPECT_FALSE(AesGcmSeal(key, v.Nonce(), v.aad, v.plain, out));
  ASSERT_TRUE(key.SetKey(v.key));
  EXPECT_FALSE(AesGcmOpen(key, v.Nonce(), v.aad, ByteRange(sealed.data(), 15), out));
  EXPECT_EQ(out, Bytes(64, 0xEE));  // nothing written
  // A tag alone is a valid sealing of the empty plaintext.
  Bytes tagOnly(16);
  ASSERT_TRUE(AesGcmSeal(key, v.Nonce(), v.aad, {}, tagOnly));
  EXPECT_TRUE(AesGcmOpen(key, v.Nonce(), v.aad, tagOnly, {}));
  // A second key replaces the first.
  ASSERT_TRUE(key.SetKey(Bytes(32, 1)));
  EXPECT_FALSE(AesGcmOpen(key, v.Nonce(), v.aad, sealed, out));
}

// Test-only path into CNG: an ECDH key pair from a known private scalar.
void ImportEcdhPrivate(EcdhKeyPair& pair, const Bytes& d, const Bytes& publicKey) {
  uint8_t blob[8 + 96];
  const uint32_t magic = 0x324B4345, length = 32;  // "ECK2"
  std::memcpy(blob, &magic, 4);
  std::memcpy(blob + 4, &length, 4);
  std::memcpy(blob + 8, publicKey.data() + 1, 64);
  std::memcpy(blob + 72, d.data(), 32);
  BCRYPT_KEY_HANDLE key = nullptr;
  ASSERT_GE(BCryptImportKeyPair(cng::EcdhP256Alg(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &key, blob, sizeof blob, 0), 0);
  pair.Reset(key);
  std::memcpy(pair.publicKey.data(), publicKey.data(), 65);
}

TEST(EcdhTest, AgreesWithRfc5903Vector) {
  const Bytes i = H("c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433");
  const Bytes gi = H(
      "04dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c3772581180"
      "5271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f58389e0577b8990bb3");
  const Bytes gr = H(
      "04d12dfb5289c8d4f81208b70270398c342296970a0bccb74c736fc7554494bf63"
      "56fbf3ca366cc23e8157854c13c58d6aac23f046ada30f8353e74f33039872ab");
  EcdhKeyPair own;
  ImportEcdhPrivate(own, i, gi);
  std::array<uint8_t, 32> secret{};
  ASSERT_TRUE(EcdhP256Agree(own, std::span<const uint8_t, 65>(gr.data(), 65), secret));
  EXPECT_EQ(Hex(secret), "d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de");
}

TEST(EcdhTest, FreshKeysAgreeWithIndependentImplementation) {
  EcdhKeyPair a, b;
  ASSERT_TRUE(EcdhP256Generate(a));
  ASSERT_TRUE(EcdhP256Generate(b));
  EXPECT_EQ(a.publicKey[0], 0x04);
  EXPECT_NE(a.publicKey, b.publicKey);
  std::array<uint8_t, 32> ab{}, ba{};
  ASSERT_TRUE(EcdhP256Agree(a, b.publicKey, ab));
  ASSERT_TRUE(EcdhP256Agree(b, a.publicKey, ba));
  EXPECT_EQ(ab, ba);

  // Read a's scalar through a test-only export and recompute outside CNG.
  uint8_t blob[8 + 96];
  ULONG n = 0;
  ASSERT_GE(BCryptExportKey(static_cast<BCRYPT_KEY_HANDLE>(a.Handle()), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob,
                            sizeof blob, &n, 0),
            0);
  ASSERT_EQ(n, sizeof blob);
  const std::span<const uint8_t, 32> d(blob + 72, 32);
  EXPECT_EQ(test::P256PublicFromScalar(d), a.publicKey);
  const auto reference = test::P256SharedX(d, b.publicKey);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(*reference, ab);
}

TEST(EcdhTest, RefusesPeerWithoutUncompressedPrefixAndMissingKey) {
  EcdhKeyPair a, b;
  ASSERT_TRUE(EcdhP256Generate(a));
  ASSERT_TRUE(EcdhP256Generate(b));
  std::array<uint8_t, 32> out{};
  P256PublicKey peer = b.publicKey;
  for (const uint8_t prefix : {0x00, 0x02, 0x03, 0x05}) {
    peer[0] = prefix;
    EXPECT_FALSE(EcdhP256Agree(a, peer, out)) << int{prefix};
  }
  EXPECT_EQ(ImportP256PublicKey(cng::EcdhP256Alg(), peer, cng::kEcdhPublicP256Magic), nullptr);
  EcdhKeyPair empty;
  EXPECT_FALSE(EcdhP256Agree(empty, b.publicKey, out));
}

// RFC 6979 appendix A.2.5: P-256 key, SHA-256 signatures of "sample" and "test".
TEST(EcdsaTest, VerifiesRfc6979SignaturesAndRejectsChanges) {
  const Bytes key = H(
      "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
      "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299");
  const std::span<const uint8_t, 65> publicKey(key.data(), 65);
  struct Case {
    const char* message;
    const char* signature;
  };
  const Case cases[] = {
      {"sample",
       "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
       "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"},
      {"test",
       "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367"
       "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"},
  };
  for (const Case& c : cases) {
    Digest32 hash = Sha256(Text(c.message));
    Bytes signature = H(c.signature);
    const std::span<const uint8_t, 64> sig(signature.data(), 64);
    EXPECT_TRUE(EcdsaP256Verify(publicKey, hash, sig)) << c.message;
    EXPECT_TRUE(test::P256Verify(publicKey, hash, sig)) << c.message;
    hash[5] ^= 1;
    EXPECT_FALSE(EcdsaP256Verify(publicKey, hash, sig));
    EXPECT_FALSE(test::P256Verify(publicKey, hash, sig));
    hash[5] ^= 1;
    signature[40] ^= 1;
    EXPECT_FALSE(EcdsaP256Verify(publicKey, hash, sig));
    EXPECT_FALSE(test::P256Verify(publicKey, hash, sig));
  }
}

TEST(MemoryTest, RandomWipeAndConstantTimeEqual) {
  uint8_t a[64] = {}, b[64] = {};
  ASSERT_TRUE(RandomBytes(a, sizeof a));
  ASSERT_TRUE(RandomBytes(b, sizeof b));
  EXPECT_FALSE(ConstantTimeEqual(a, b, sizeof a));
  std::memcpy(b, a, sizeof a);
  EXPECT_TRUE(ConstantTimeEqual(a, b, sizeof a));
  b[63] ^= 0x80;
  EXPECT_FALSE(ConstantTimeEqual(a, b, sizeof a));
  EXPECT_TRUE(ConstantTimeEqual(a, b, 63));
  EXPECT_TRUE(ConstantTimeEqual(nullptr, nullptr, 0));
  WipeBytes(a, sizeof a);
  EXPECT_TRUE(ConstantTimeEqual(a, Bytes(64, 0).data(), 64));
}

}  // namespace
}  // namespace kelm
