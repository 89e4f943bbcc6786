#include "core/cpace.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "core/curve25519.h"
#include "core/encoding.h"

namespace kelm {
namespace {

using Key = std::array<uint8_t, 32>;

Key K32(const char* hex) {
  Key k{};
  const auto bytes = HexDecode(hex);
  EXPECT_TRUE(bytes && bytes->size() == 32) << hex;
  if (bytes && bytes->size() == 32) std::copy(bytes->begin(), bytes->end(), k.begin());
  return k;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::vector<uint8_t> FromHex(const char* hex) { return HexDecode(hex).value_or(std::vector<uint8_t>{}); }

// RFC 7748 section 5.2.
TEST(X25519Test, Rfc7748Vectors) {
  const struct {
    const char* scalar;
    const char* u;
    const char* out;
  } cases[] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
  };
  for (const auto& c : cases) {
    Key out{};
    X25519(out, K32(c.scalar), K32(c.u));
    EXPECT_EQ(HexEncode(out), c.out);
  }
}

TEST(X25519Test, Rfc7748IteratedVector) {
  Key k = K32("0900000000000000000000000000000000000000000000000000000000000000");
  Key u = k;
  for (int i = 1; i <= 1000; ++i) {
    Key next{};
    X25519(next, k, u);
    u = k;
    k = next;
    if (i == 1) {
      EXPECT_EQ(HexEncode(k), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
    }
  }
  EXPECT_EQ(HexEncode(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST(X25519Test, Rfc7748DiffieHellman) {
  const Key alice = K32("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Key bob = K32("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  const Key base = K32("0900000000000000000000000000000000000000000000000000000000000000");
  Key alicePublic{}, bobPublic{}, k1{}, k2{};
  X25519(alicePublic, alice, base);
  X25519(bobPublic, bob, base);
  EXPECT_EQ(HexEncode(alicePublic), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(HexEncode(bobPublic), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  ASSERT_TRUE(X25519NonZero(alice, bobPublic, k1));
  ASSERT_TRUE(X25519NonZero(bob, alicePublic, k2));
  EXPECT_EQ(HexEncode(k1), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
  EXPECT_EQ(k1, k2);
}

// The CPace draft's low-order points: u0..u5 and u7 give the neutral element (and
// must abort); u6, u8..ub are non-canonical encodings with the expected results.
TEST(X25519Test, LowOrderSharesAreRejected) {
  const Key s = K32("af46e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449aff");
  const char* zero[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0100000000000000000000000000000000000000000000000000000000000000",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
      "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
  };
  for (const char* u : zero) {
    Key out;
    out.fill(0xAA);
    EXPECT_FALSE(X25519NonZero(s, K32(u), out)) << u;
    EXPECT_EQ(out, Key{}) << u;
  }
  const std::pair<const char*, const char*> nonZero[] = {
      {"daffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "d8e2c776bbacd510d09fd9278b7edcd25fc5ae9adfba3b6e040e8d3b71b21806"},
      {"dbffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "c85c655ebe8be44ba9c0ffde69f2fe10194458d137f09bbff725ce58803cdb38"},
      {"d9ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "db64dafa9b8fdd136914e61461935fe92aa372cb056314e1231bc4ec12417456"},
      {"cdeb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b880",
       "e062dcd5376d58297be2618c7498f55baa07d7e03184e8aada20bca28888bf7a"},
      {"4c9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f11d7",
       "993c6ad11c4c29da9a56f7691fd0ff8d732e49de6250b6c2e80003ff4629a175"},
  };
  for (const auto& [u, q] : nonZero) {
    Key out{};
    EXPECT_TRUE(X25519NonZero(s, K32(u), out)) << u;
    EXPECT_EQ(HexEncode(out), q);
  }
}

TEST(LvTest, Leb128Lengths) {
  std::vector<uint8_t> out;
  AppendLv(out, {});
  EXPECT_EQ(out, std::vector<uint8_t>{0});
  out.clear();
  AppendLv(out, std::vector<uint8_t>(127, 7));
  EXPECT_EQ(out.size(), 128u);
  EXPECT_EQ(out[0], 127);
  out.clear();
  AppendLv(out, std::vector<uint8_t>(300, 7));
  ASSERT_EQ(out.size(), 302u);
  EXPECT_EQ(out[0], 0x80 | (300 & 0x7F));
  EXPECT_EQ(out[1], 300 >> 7);
}

// The CFRG draft's X25519 test vectors (initiator/responder), for two versions of
// the draft's channel identifier.
struct DraftVector {
  const char* ci;
  const char* generatorString;
  const char* g;
  const char* ya;
  const char* bigYa;
  const char* yb;
  const char* bigYb;
  const char* k;
  const char* isk;
};

const DraftVector kDraftVectors[] = {
    {"6f630b425f726573706f6e6465720b415f696e69746961746f72",
     "0843506163653235350850617373776f72646d000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000001a6f630b425f726573706f6e"
     "6465720b415f696e69746961746f72107e4b4791d6a8ef019b936c79"
     "fb7f2c57",
     "64e8099e3ea682cfdc5cb665c057ebb514d06bf23ebc9f743b51b82242327074",
     "21b4f4bd9e64ed355c3eb676a28ebedaf6d8f17bdc365995b319097153044080",
     "1b02dad6dbd29a07b6d28c9e04cb2f184f0734350e32bb7e62ff9dbcfdb63d15",
     "848b0779ff415f0af4ea14df9dd1d3c29ac41d836c7808896c4eba19c51ac40a",
     "20cda5955f82c4931545bcbf40758ce1010d7db4db2a907013d79c7a8fcf957f",
     "f97fdfcfff1c983ed6283856a401de3191ca919902b323c5f950c9703df7297a",
     "a051ee5ee2499d16da3f69f430218b8ea94a18a45b67f9e86495b382c33d14a5"
     "c38cecc0cc834f960e39e0d1bf7d76b9ef5d54eecc5e0f386c97ad12da8c3d5f"},
    {"0a41696e69746961746f720a42726573706f6e646572",
     "0843506163653235350850617373776f72646d000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000160a41696e69746961746f72"
     "0a42726573706f6e646572107e4b4791d6a8ef019b936c79fb7f2c57",
     "4e6098733061c0e8486611a904fe5edb049804d26130a44131a6229e55c5c321",
     "21b4f4bd9e64ed355c3eb676a28ebedaf6d8f17bdc365995b319097153044080",
     "f970e36f37cfcd9a39e37dd2d1fbc9156d6d2f9ae422f4722cbd9d32e9b1e704",
     "848b0779ff415f0af4ea14df9dd1d3c29ac41d836c7808896c4eba19c51ac40a",
     "0178bbbab0804a4455b8f02e5d6e7d80997c6470bfb3618d7e74c39647af5a29",
     "42ba4c6dc4c184a1cf405d4503f64bf7f015e2a0107450e38b9efff3bee52412",
     "f5ef3c13fdb9dfe839bdbf8a9256e8cee7db8a8f1dfa74958a925450cf8089cd"
     "560d9a4e7956b7334b6f625c8559b75ea0764ac2be894b8f3d434b30e87797d5"},
};

TEST(CpaceTest, ReproducesDraftX25519Vectors) {
  const std::vector<uint8_t> prs = Bytes("Password");
  const std::vector<uint8_t> sid = FromHex("7e4b4791d6a8ef019b936c79fb7f2c57");
  const std::vector<uint8_t> ada = Bytes("ADa"), adb = Bytes("ADb");
  for (const DraftVector& v : kDraftVectors) {
    SCOPED_TRACE(v.ci);
    const std::vector<uint8_t> ci = FromHex(v.ci);
    EXPECT_EQ(HexEncode(CpaceGeneratorString(prs, ci, sid)), v.generatorString);
    const Key g = CpaceGenerator(prs, ci, sid);
    EXPECT_EQ(HexEncode(g), v.g);

    Key ya{}, yb{}, kInitiator{}, kResponder{};
    ASSERT_TRUE(X25519NonZero(K32(v.ya), g, ya));
    EXPECT_EQ(HexEncode(ya), v.bigYa);
    ASSERT_TRUE(X25519NonZero(K32(v.yb), g, yb));
    EXPECT_EQ(HexEncode(yb), v.bigYb);
    ASSERT_TRUE(X25519NonZero(K32(v.yb), ya, kResponder));
    ASSERT_TRUE(X25519NonZero(K32(v.ya), yb, kInitiator));
    EXPECT_EQ(HexEncode(kResponder), v.k);
    EXPECT_EQ(kInitiator, kResponder);

    EXPECT_EQ(HexEncode(CpaceIsk(sid, kResponder, ya, ada, yb, adb)), v.isk);
  }
}

TEST(CpaceTest, GeneratorStringForSixDigitCode) {
  const std::vector<uint8_t> prs = Bytes("123456");
  const std::vector<uint8_t> ci = Bytes("tavro-v2 pairing");
  const std::vector<uint8_t> sid(32, 0x5C);
  const std::vector<uint8_t> text = CpaceGeneratorString(prs, ci, sid);
  ASSERT_EQ(text.size(), 178u);
  EXPECT_EQ(HexEncode(std::span(text.data(), 16)), "08435061636532353506313233343536");
  EXPECT_EQ(text[16], 111);  // lv of 111 zero bytes
  EXPECT_EQ(std::count(text.begin() + 17, text.begin() + 128, 0), 111);
  EXPECT_EQ(text[128], 16);
  EXPECT_EQ(text[145], 32);
}

TEST(CpaceTest, LongCodeGetsNoPadding) {
  const std::vector<uint8_t> ci = Bytes("tavro-v2 pairing");
  const std::vector<uint8_t> sid(32, 1);
  for (const size_t length : {size_t{117}, size_t{200}}) {
    const std::vector<uint8_t> prs(length, '7');
    const std::vector<uint8_t> text = CpaceGeneratorString(prs, ci, sid);
    const size_t lvPrs = (length < 128 ? 1 : 2) + length;
    ASSERT_EQ(text.size(), 9 + lvPrs + 1 + 17 + 33) << length;
    EXPECT_EQ(text[9 + lvPrs], 0) << length;  // lv(Z) is the single byte 0
  }
  // 116 bytes: one byte of padding.
  const std::vector<uint8_t> text = CpaceGeneratorString(std::vector<uint8_t>(116, '7'), ci, sid);
  EXPECT_EQ(text.size(), 9u + 117 + 2 + 17 + 33);
}

TEST(CpaceTest, GeneratorDependsOnCodeAndSid) {
  const std::vector<uint8_t> ci = Bytes("tavro-v2 pairing");
  std::vector<uint8_t> sid(32, 9);
  const Key g1 = CpaceGenerator(Bytes("123456"), ci, sid);
  EXPECT_EQ(CpaceGenerator(Bytes("123456"), ci, sid), g1);
  EXPECT_NE(CpaceGenerator(Bytes("123457"), ci, sid), g1);
  sid[31] ^= 1;
  EXPECT_NE(CpaceGenerator(Bytes("123456"), ci, sid), g1);
}

TEST(CpaceTest, HostAndDeviceReachTheSameIskWithEmptyAssociatedData) {
  const std::vector<uint8_t> ci = Bytes("tavro-v2 pairing");
  const std::vector<uint8_t> sid(32, 0x42);
  const Key g = CpaceGenerator(Bytes("424242"), ci, sid);
  const Key y = K32("1111111111111111111111111111111111111111111111111111111111111111");
  const Key x = K32("2222222222222222222222222222222222222222222222222222222222222222");
  Key ya{}, yb{}, kHost{}, kDevice{};
  ASSERT_TRUE(X25519NonZero(x, g, ya));
  ASSERT_TRUE(X25519NonZero(y, g, yb));
  ASSERT_TRUE(X25519NonZero(y, ya, kHost));
  ASSERT_TRUE(X25519NonZero(x, yb, kDevice));
  EXPECT_EQ(CpaceIsk(sid, kHost, ya, {}, yb, {}), CpaceIsk(sid, kDevice, ya, {}, yb, {}));
  // A device with the wrong code derives a different key.
  const Key wrong = CpaceGenerator(Bytes("424243"), ci, sid);
  Key yaWrong{}, kWrong{};
  ASSERT_TRUE(X25519NonZero(x, wrong, yaWrong));
  ASSERT_TRUE(X25519NonZero(y, yaWrong, kWrong));
  EXPECT_NE(kWrong, kDevice);
}

}  // namespace
}  // namespace kelm
