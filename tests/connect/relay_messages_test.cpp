// Relay messages: byte-exact builders, the signed text, the parser's rules and a mutation fuzz.
#include "connect/relay_messages.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>
#include <vector>

#include "connect/base64url.h"

namespace kelm {
namespace {

// 0x04, 1, 2, ..., 64 and its id, worked out with Python's hashlib.
std::array<uint8_t, 65> SampleKey() {
  std::array<uint8_t, 65> key{};
  key[0] = 4;
  for (int i = 1; i < 65; ++i) key[i] = static_cast<uint8_t>(i);
  return key;
}
constexpr char kSampleKeyText[] = "BAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-P0A";
constexpr char kSampleKeyId[] = "0ed3a6ab957ff6f59a9630a473d31a7d04fcb46548b89016196980c7e96584f6";
constexpr char kSignatureText[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-Pw";
constexpr char kPhoneA[] = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
constexpr char kPhoneB[] = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d";

std::array<uint8_t, 64> SampleSignature() {
  std::array<uint8_t, 64> sig{};
  for (int i = 0; i < 64; ++i) sig[i] = static_cast<uint8_t>(i);
  return sig;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// A valid "connect" message with `extra` members appended.
std::string ConnectText(const std::string& extra = "", const std::string& phoneId = kSampleKeyId,
                        const std::string& key = kSampleKeyText) {
  return R"({"type":"connect","requestId":"req-1","phoneId":)" + Quote(phoneId) + R"(,"offer":"v=0 offer",)" +
         R"("phonePublicKey":)" + Quote(key) + extra + "}";
}

TEST(RelayMessagesTest, HelloIsCompactWithSortedKeys) {
  const std::vector<std::string> phones = {kPhoneA, kPhoneB};
  EXPECT_EQ(MakeRelayHello(SampleKey(), phones, "1.0.0", SampleSignature()),
            std::string(R"({"appVersion":"1.0.0","phones":[")") + kPhoneA + R"(",")" + kPhoneB +
                R"("],"publicKey":")" + kSampleKeyText + R"(","signature":")" + kSignatureText +
                R"(","type":"hello"})");
  EXPECT_EQ(MakeRelayHello(SampleKey(), {}, "1.0.0", SampleSignature()),
            std::string(R"({"appVersion":"1.0.0","phones":[],"publicKey":")") + kSampleKeyText +
                R"(","signature":")" + kSignatureText + R"(","type":"hello"})");
}

TEST(RelayMessagesTest, AnswerRejectAndPingTexts) {
  EXPECT_EQ(MakeRelayAnswer("r-1", "a=ice-ufrag:x\r\nb=\"q\"\\\x01"),
            R"({"answer":"a=ice-ufrag:x\r\nb=\"q\"\\\u0001","requestId":"r-1","type":"answer"})");
  EXPECT_EQ(MakeRelayReject("r-2", "not-paired"), R"({"reason":"not-paired","requestId":"r-2","type":"reject"})");
  EXPECT_EQ(RelayPingText(), R"({"type":"ping"})");
  EXPECT_EQ(RelayPingText().size(), 15u);
}

TEST(RelayMessagesTest, BuildersRepairInvalidUtf8InsteadOfThrowing) {
  const std::string answer = MakeRelayAnswer("r\xff", "x\xc3");
  EXPECT_EQ(answer, "{\"answer\":\"x\xef\xbf\xbd\",\"requestId\":\"r\xef\xbf\xbd\",\"type\":\"answer\"}");
}

TEST(RelayMessagesTest, SignedTextForNoneOneAndManyPhones) {
  EXPECT_EQ(RelayHelloText("pc", "n-1", {}), "tavro-connect/1 pc-hello\npc\nn-1\n");
  const std::vector<std::string> one = {kPhoneA};
  EXPECT_EQ(RelayHelloText("pc", "n-1", one), std::string("tavro-connect/1 pc-hello\npc\nn-1\n") + kPhoneA);
  std::vector<std::string> many;
  std::string joined;
  for (int i = 0; i < 64; ++i) {
    many.push_back(std::string(62, 'a') + std::to_string(10 + i));
    joined += (i ? "," : "") + many.back();
  }
  const std::string text = RelayHelloText(kSampleKeyId, "nonce", many);
  EXPECT_EQ(text, std::string("tavro-connect/1 pc-hello\n") + kSampleKeyId + "\nnonce\n" + joined);
  EXPECT_EQ(text.size(), 25u + 65 + 6 + 64 * 64 + 63);
}

TEST(RelayMessagesTest, PublicKeyIdAndPhoneIdRule) {
  EXPECT_EQ(PublicKeyId(SampleKey()), kSampleKeyId);
  EXPECT_TRUE(IsPhoneId(kSampleKeyId));
  std::string upper = kSampleKeyId;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_FALSE(IsPhoneId(upper));
  EXPECT_FALSE(IsPhoneId(std::string(kSampleKeyId).substr(1)));
  EXPECT_FALSE(IsPhoneId(std::string(kSampleKeyId) + "0"));
  EXPECT_FALSE(IsPhoneId(std::string(63, 'a') + "g"));
  EXPECT_FALSE(IsPhoneId(""));
}

struct NoMessageCase {
  const char* name;
  std::string text;
};

TEST(RelayMessagesTest, TextsThatAreNoMessage) {
  std::string upper = kSampleKeyId;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  std::array<uint8_t, 65> otherKey = SampleKey();
  otherKey[64] ^= 1;
  const std::vector<NoMessageCase> cases = {
      {"empty", ""},
      {"invalid JSON", "{\"type\":\"pong\""},
      {"array", "[{\"type\":\"pong\"}]"},
      {"string", "\"pong\""},
      {"null", "null"},
      {"no type", "{}"},
      {"type not a string", R"({"type":7})"},
      {"empty type", R"({"type":""})"},
      {"type over 32 bytes", R"({"type":")" + std::string(33, 'p') + "\"}"},
      {"unknown type", R"({"type":"hello"})"},
      {"type in upper case", R"({"type":"PONG"})"},
      {"challenge without nonce", R"({"type":"challenge"})"},
      {"empty nonce", R"({"type":"challenge","nonce":""})"},
      {"129-byte nonce", R"({"type":"challenge","nonce":")" + std::string(129, 'n') + "\"}"},
      {"nonce not a string", R"({"type":"challenge","nonce":5})"},
      {"nonce with a line feed", R"({"type":"challenge","nonce":"abc\ndef"})"},
      {"nonce with a carriage return", R"({"type":"challenge","nonce":"abc\r"})"},
      {"nonce with a tab", R"({"type":"challenge","nonce":"a\tb"})"},
      {"nonce with NUL", R"({"type":"challenge","nonce":"a\u0000b"})"},
      {"nonce with DEL", R"({"type":"challenge","nonce":"a\u007fb"})"},
      {"nonce with a C1 control", R"({"type":"challenge","nonce":"a\u0085b"})"},
      {"nonce of invalid UTF-8", "{\"type\":\"challenge\",\"nonce\":\"a\xff\"}"},
      {"connect with an upper-case phone id", ConnectText("", upper)},
      {"connect whose key is another phone's", ConnectText("", kSampleKeyId, Base64UrlEncode(otherKey))},
      {"connect with a 64-byte key", ConnectText("", kSampleKeyId, Base64UrlEncode(std::vector<uint8_t>(64, 4)))},
      {"connect with a key that is not base64url", ConnectText("", kSampleKeyId, std::string(kSampleKeyText) + "=")},
      {"connect with a key text over 128 bytes", ConnectText("", kSampleKeyId, std::string(129, 'A'))},
      {"connect without requestId",
       R"({"type":"connect","phoneId":")" + std::string(kSampleKeyId) + R"(","offer":"o","phonePublicKey":")" +
           kSampleKeyText + "\"}"},
      {"connect without offer",
       R"({"type":"connect","requestId":"r","phoneId":")" + std::string(kSampleKeyId) + R"(","phonePublicKey":")" +
           kSampleKeyText + "\"}"},
      {"connect without phoneId",
       R"({"type":"connect","requestId":"r","offer":"o","phonePublicKey":")" + std::string(kSampleKeyText) + "\"}"},
      {"connect without phonePublicKey",
       R"({"type":"connect","requestId":"r","offer":"o","phoneId":")" + std::string(kSampleKeyId) + "\"}"},
      {"connect with a 65-byte requestId",
       R"({"type":"connect","requestId":")" + std::string(65, 'r') + R"(","phoneId":")" + kSampleKeyId +
           R"(","offer":"o","phonePublicKey":")" + kSampleKeyText + "\"}"},
      {"connect with a 4097-byte offer",
       R"({"type":"connect","requestId":"r","phoneId":")" + std::string(kSampleKeyId) + R"(","offer":")" +
           std::string(4097, 'o') + R"(","phonePublicKey":")" + kSampleKeyText + "\"}"},
      {"connect with an empty offer",
       R"({"type":"connect","requestId":"r","phoneId":")" + std::string(kSampleKeyId) +
           R"(","offer":"","phonePublicKey":")" + kSampleKeyText + "\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ParseRelayMessage(c.text).has_value()) << c.name;
  }
}

TEST(RelayMessagesTest, ChallengeKeepsTheNonceExactly) {
  for (const std::string& nonce : {std::string("x"), std::string(128, 'n'), std::string("a b/\xc3\xa9+=\xe2\x82\xac")}) {
    const auto message = ParseRelayMessage(R"({"nonce":")" + nonce + R"(","type":"challenge","other":[1]})");
    ASSERT_TRUE(message && std::holds_alternative<RelayChallenge>(*message)) << nonce;
    EXPECT_EQ(std::get<RelayChallenge>(*message).nonce, nonce);
  }
}

TEST(RelayMessagesTest, PongAndReadyServerLists) {
  const auto pong = ParseRelayMessage(R"({"type":"pong","x":1})");
  ASSERT_TRUE(pong && std::holds_alternative<RelayPong>(*pong));

  struct Case {
    std::string members;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {R"(,"iceServers":"stun:a")", {}},
      {R"(,"iceServers":{"a":"stun:a"})", {}},
      {R"(,"iceServers":[])", {}},
      {R"(,"iceServers":["s0","s1","s2","s3","s4","s5","s6","s7","s8","s9"])",
       {"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7"}},
      {R"(,"iceServers":["s0",3,null,["s"],"s1"])", {"s0", "s1"}},
  };
  for (const auto& c : cases) {
    const auto ready = ParseRelayMessage(R"({"type":"ready")" + c.members + "}");
    ASSERT_TRUE(ready && std::holds_alternative<RelayReady>(*ready)) << c.members;
    EXPECT_EQ(std::get<RelayReady>(*ready).iceServers, c.want) << c.members;
  }
}

TEST(RelayMessagesTest, ConnectRecord) {
  const auto message = ParseRelayMessage(ConnectText());
  ASSERT_TRUE(message && std::holds_alternative<RelayConnect>(*message));
  const auto& connect = std::get<RelayConnect>(*message);
  EXPECT_EQ(connect.requestId, "req-1");
  EXPECT_EQ(connect.phoneId, kSampleKeyId);
  EXPECT_EQ(connect.offer, "v=0 offer");
  EXPECT_EQ(connect.phonePublicKey, SampleKey());
  EXPECT_TRUE(connect.turnServers.empty());
  // Limits are inclusive.
  const auto longest = ParseRelayMessage(R"({"type":"connect","requestId":")" + std::string(64, 'r') +
                                         R"(","phoneId":")" + kSampleKeyId + R"(","offer":")" +
                                         std::string(4096, 'o') + R"(","phonePublicKey":")" + kSampleKeyText + "\"}");
  ASSERT_TRUE(longest && std::holds_alternative<RelayConnect>(*longest));
  EXPECT_EQ(std::get<RelayConnect>(*longest).offer.size(), 4096u);
}

std::vector<RelayTurnServer> TurnOf(const std::string& list) {
  const auto message = ParseRelayMessage(ConnectText(R"(,"turnServers":)" + list));
  EXPECT_TRUE(message && std::holds_alternative<RelayConnect>(*message)) << list;
  if (!message || !std::holds_alternative<RelayConnect>(*message)) return {};
  return std::get<RelayConnect>(*message).turnServers;
}

std::string Turn(const std::string& urls, const std::string& user = "u", const std::string& credential = "c") {
  return R"({"urls":)" + urls + R"(,"username":")" + user + R"(","credential":")" + credential + "\"}";
}

TEST(RelayMessagesTest, TurnServerRules) {
  // Five usable entries keep the first four.
  std::string five = "[";
  for (int i = 0; i < 5; ++i) five += (i ? "," : "") + Turn("[\"turn:t" + std::to_string(i) + "\"]");
  five += "]";
  const auto kept = TurnOf(five);
  ASSERT_EQ(kept.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(kept[i].urls, std::vector<std::string>{"turn:t" + std::to_string(i)});
    EXPECT_EQ(kept[i].username, "u");
    EXPECT_EQ(kept[i].credential, "c");
  }

  // Entries without credential, with an empty username or no usable URL do not count.
  const auto skipped = TurnOf("[" + std::string(R"({"urls":["turn:a"],"username":"u"})") + "," + Turn("[\"turn:b\"]", "") +
                              "," + Turn("[3,\"\"]") + "," + Turn("\"turn:single\"") + "," + 
                              Turn("[\"turn:c\"]", "u", std::string(513, 'c')) + ",7,\"x\"," +
                              Turn("[\"turn:d\"]", std::string(512, 'u'), std::string(512, 'c')) + "]");
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(skipped[0].urls, std::vector<std::string>{"turn:single"});
  EXPECT_EQ(skipped[1].urls, std::vector<std::string>{"turn:d"});
  EXPECT_EQ(skipped[1].username.size(), 512u);

  // URLs: strings of 1..256 bytes, at most 8, others skipped.
  std::string urls = "[\"\",\"" + std::string(257, 'x') + "\",\"" + std::string(256, 'y') + "\",null";
  for (int i = 0; i < 9; ++i) urls += ",\"turn:u" + std::to_string(i) + "\"";
  urls += "]";
  const auto many = TurnOf("[" + Turn(urls) + "]");
  ASSERT_EQ(many.size(), 1u);
  ASSERT_EQ(many[0].urls.size(), 8u);
  EXPECT_EQ(many[0].urls[0], std::string(256, 'y'));
  EXPECT_EQ(many[0].urls[7], "turn:u6");

  EXPECT_TRUE(TurnOf(R"({"urls":"turn:a","username":"u","credential":"c"})").empty());
  EXPECT_TRUE(TurnOf("\"turn:a\"").empty());
}

// Bytes that make a parser take unusual paths.
const std::vector<std::string> kFragments = {
    "{", "}", "[", "]", ",", ":", "\"", "\\", "\\u", "\\ud800", "null", "true", "1e999", "-0", "\xff", "\xc3",
    "\xed\xa0\x80", "\x00", "\n", "\"type\"", "\"connect\"", "\"challenge\"", "\"ready\"", "\"nonce\"",
    "\"turnServers\"", "\"urls\"", "123456789012345678901234567890"};

std::string Mutate(std::string text, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < steps; ++i) {
    const size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
    switch (rng() % 6) {
      case 0:
        if (!text.empty() && at < text.size()) text[at] = static_cast<char>(rng());
        break;
      case 1:
        text.insert(at, 1, static_cast<char>(rng()));
        break;
      case 2:
        text.erase(at, rng() % 16);
        break;
      case 3:
        text.insert(at, kFragments[rng() % kFragments.size()]);
        break;
      case 4: {
        const size_t from = text.empty() ? 0 : rng() % text.size();
        text.insert(at, text.substr(from, rng() % 64));
        break;
      }
      default:
        if (!text.empty() && at < text.size()) text[at] ^= static_cast<char>(1 << (rng() % 8));
        break;
    }
  }
  return text;
}

// What any parsed message must satisfy, whatever text it came from.
void ExpectWithinLimits(const RelayMessage& message) {
  if (const auto* c = std::get_if<RelayChallenge>(&message)) {
    EXPECT_FALSE(c->nonce.empty());
    EXPECT_LE(c->nonce.size(), kRelayNonceMax);
    EXPECT_EQ(c->nonce.find('\n'), std::string::npos);
  } else if (const auto* r = std::get_if<RelayReady>(&message)) {
    EXPECT_LE(r->iceServers.size(), kRelayIceServersMax);
  } else if (const auto* k = std::get_if<RelayConnect>(&message)) {
    EXPECT_TRUE(IsPhoneId(k->phoneId));
    EXPECT_EQ(PublicKeyId(k->phonePublicKey), k->phoneId);
    EXPECT_LE(k->requestId.size(), kRelayRequestIdMax);
    EXPECT_LE(k->offer.size(), kRelayOfferMax);
    EXPECT_LE(k->turnServers.size(), kRelayTurnServersMax);
    for (const auto& t : k->turnServers) {
      EXPECT_FALSE(t.urls.empty());
      EXPECT_LE(t.urls.size(), kRelayTurnUrlsMax);
    }
  }
}

TEST(RelayMessagesTest, MutatedMessagesNeverThrowOrCrash) {
  const std::vector<std::string> seeds = {
      R"({"type":"challenge","nonce":"abc"})",
      R"({"type":"ready","iceServers":["stun:a:3478","turn:b"]})",
      R"({"type":"pong"})",
      ConnectText(R"(,"turnServers":[)" + Turn(R"(["turn:a","turns:b"])") + "," + Turn("\"turn:c\"") + "]"),
  };
  std::mt19937 rng(20261210);
  int parsed = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::string text = Mutate(seeds[i % seeds.size()], rng);
    const auto message = ParseRelayMessage(text);
    if (message) {
      ++parsed;
      ExpectWithinLimits(*message);
    }
  }
  // Some mutations keep a message valid, most do not.
  EXPECT_GT(parsed, 1000);
  EXPECT_LT(parsed, 99000);
}

TEST(RelayMessagesTest, HostileShapesAreNoMessage) {
  constexpr int kDepth = 30000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(kDepth, '}');
  EXPECT_FALSE(ParseRelayMessage(arrays));
  EXPECT_FALSE(ParseRelayMessage(objects));
  EXPECT_FALSE(ParseRelayMessage(std::string(kDepth, '[')));  // unterminated
  // Deep values inside members the parser reads.
  const auto deepTurn = ParseRelayMessage(ConnectText(R"(,"turnServers":)" + arrays));
  ASSERT_TRUE(deepTurn && std::holds_alternative<RelayConnect>(*deepTurn));
  EXPECT_TRUE(std::get<RelayConnect>(*deepTurn).turnServers.empty());
  const auto deepUrls = ParseRelayMessage(ConnectText(R"(,"turnServers":[{"username":"u","credential":"c","urls":)" +
                                                      objects + "}]"));
  ASSERT_TRUE(deepUrls && std::holds_alternative<RelayConnect>(*deepUrls));
  EXPECT_TRUE(std::get<RelayConnect>(*deepUrls).turnServers.empty());
  const auto deepIce = ParseRelayMessage(R"({"type":"ready","iceServers":[)" + arrays + ",\"s\"]}");
  ASSERT_TRUE(deepIce && std::holds_alternative<RelayReady>(*deepIce));
  EXPECT_EQ(std::get<RelayReady>(*deepIce).iceServers, std::vector<std::string>{"s"});

  // Invalid UTF-8 anywhere makes the text invalid JSON.
  for (const std::string bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(ParseRelayMessage(R"({"type":"ready","iceServers":[")" + bad + "\"]}")) << "ready";
    EXPECT_FALSE(ParseRelayMessage(R"({"type":"pong","x":")" + bad + "\"}")) << "pong";
  }

  // 64 KiB strings in every member.
  const std::string big(65536, 'z');
  EXPECT_FALSE(ParseRelayMessage(R"({"type":")" + big + "\"}"));
  EXPECT_FALSE(ParseRelayMessage(R"({"type":"challenge","nonce":")" + big + "\"}"));
  EXPECT_FALSE(ParseRelayMessage(ConnectText("", kSampleKeyId, big)));
  EXPECT_FALSE(ParseRelayMessage(R"({"type":"connect","requestId":")" + big + R"(","phoneId":")" + kSampleKeyId +
                                 R"(","offer":"o","phonePublicKey":")" + kSampleKeyText + "\"}"));
  const auto bigTurn = ParseRelayMessage(ConnectText(R"(,"turnServers":[)" + Turn("\"" + big + "\"") + "," +
                                                     Turn("[\"t\"]", big) + "]"));
  ASSERT_TRUE(bigTurn && std::holds_alternative<RelayConnect>(*bigTurn));
  EXPECT_TRUE(std::get<RelayConnect>(*bigTurn).turnServers.empty());
  const auto bigIce = ParseRelayMessage(R"({"type":"ready","iceServers":[")" + big + "\"]}");
  ASSERT_TRUE(bigIce && std::holds_alternative<RelayReady>(*bigIce));
  EXPECT_EQ(std::get<RelayReady>(*bigIce).iceServers.at(0).size(), big.size());
}

}  // namespace
}  // namespace kelm
