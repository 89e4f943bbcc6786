// Tests of the ICE description text, candidate lines and STUN/TURN server URLs.
#include <gtest/gtest.h>

#include <string>

#include "connect/ice_description.h"
#include "connect/ice_server_url.h"

namespace tavro::connect {
namespace {

constexpr std::string_view kOffer =
    "v=0\r\n"
    "a=ice-options:ice2\r\n"
    "a=ice-ufrag:Zx9q\r\n"
    "a=ice-pwd:abcdefghijklmnopqrstuv\r\n"
    "a=candidate:1 1 UDP 2130706431 127.0.0.1 50000 typ host\r\n"
    "a=candidate:2 1 udp 1694498815 203.0.113.7 40000 typ srflx raddr 127.0.0.1 rport 50000\r\n"
    "a=candidate:3 1 UDP 16777215 198.51.100.2 3478 typ relay raddr 203.0.113.7 rport 40000\r\n"
    "a=candidate:4 1 UDP 2130706431 phone.local 50001 typ host\r\n"
    "a=candidate:5 1 TCP 2130706431 127.0.0.1 50002 typ host\r\n"
    "a=candidate:6 2 UDP 2130706431 127.0.0.1 50003 typ host\r\n"
    "a=candidate:7 1 UDP 2130706431 ::1 50004 typ host generation 0\r\n"
    "a=end-of-candidates\r\n";

TEST(IceDescription, ParsesTheFields) {
  auto d = ParseIceDescription(kOffer);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->ufrag, "Zx9q");
  EXPECT_EQ(d->pwd, "abcdefghijklmnopqrstuv");
  EXPECT_TRUE(d->ice2);
  EXPECT_TRUE(d->endOfCandidates);
  // The name, the TCP and the second-component candidates are skipped.
  ASSERT_EQ(d->candidates.size(), 4u);
  EXPECT_EQ(d->candidates[0].address, "127.0.0.1");
  EXPECT_EQ(d->candidates[0].port, 50000);
  EXPECT_EQ(d->candidates[0].type, "host");
  EXPECT_EQ(d->candidates[1].type, "srflx");
  EXPECT_EQ(d->candidates[1].relatedAddress, "127.0.0.1");
  EXPECT_EQ(d->candidates[1].relatedPort, 50000);
  EXPECT_EQ(d->candidates[2].type, "relay");
  EXPECT_EQ(d->candidates[3].address, "::1");
}

TEST(IceDescription, WritesWhatItParses) {
  auto d = ParseIceDescription(kOffer);
  ASSERT_TRUE(d);
  std::string text = WriteIceDescription(*d);
  EXPECT_NE(text.find("a=ice-ufrag:Zx9q\r\n"), std::string::npos);
  EXPECT_NE(text.find("a=candidate:2 1 UDP 1694498815 203.0.113.7 40000 typ srflx raddr 127.0.0.1 rport 50000\r\n"),
            std::string::npos);
  auto again = ParseIceDescription(text);
  ASSERT_TRUE(again);
  EXPECT_EQ(WriteIceDescription(*again), text);
}

TEST(IceDescription, RefusesMissingOrBadCredentials) {
  const char* bad[] = {
      "a=ice-pwd:abcdefghijklmnopqrstuv\r\n",
      "a=ice-ufrag:Zx9q\r\n",
      "a=ice-ufrag:Zx9\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n",       // ufrag too short
      "a=ice-ufrag:Zx9q\r\na=ice-pwd:short\r\n",                        // pwd too short
      "a=ice-ufrag:Zx 9q\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n",      // not ice-char
      "a=ice-ufrag:Zx9q\r\na=ice-ufrag:Zx9r\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n",
      "",
  };
  for (const char* text : bad) EXPECT_FALSE(ParseIceDescription(text)) << text;
}

TEST(IceDescription, LimitsRemoteCandidates) {
  std::string text = "a=ice-ufrag:Zx9q\na=ice-pwd:abcdefghijklmnopqrstuv\n";
  for (int i = 0; i < 100; ++i) {
    text += "a=candidate:" + std::to_string(i) + " 1 UDP 100 127.0.0.1 " + std::to_string(1000 + i) + " typ host\n";
  }
  auto d = ParseIceDescription(text);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->candidates.size(), kMaxRemoteCandidates);
}

TEST(IceDescription, MalformedCandidatesAreSkipped) {
  const char* bad[] = {
      "a=candidate:1 1 UDP 100 127.0.0.1 0 typ host",
      "a=candidate:1 1 UDP 100 127.0.0.1 65536 typ host",
      "a=candidate:1 1 UDP 100 127.0.0.1 5000 type host",
      "a=candidate:1 1 UDP 100 127.0.0.1 5000 typ weird",
      "a=candidate:1 1 UDP 4294967296 127.0.0.1 5000 typ host",
      "a=candidate:1 1 UDP x 127.0.0.1 5000 typ host",
      "a=candidate:1 1 UDP 100 127.0.0.1 5000 typ",
      "a=candidate: 1 UDP 100 127.0.0.1 5000 typ host",
      "a=candidate:1 1 UDP 100 example.com 5000 typ host",
  };
  for (const char* line : bad) EXPECT_FALSE(ParseCandidateAttribute(line)) << line;
  EXPECT_TRUE(ParseCandidateAttribute("candidate:a+/9 1 udp 100 10.0.0.1 5000 typ prflx"));
}

TEST(ParseCandidate, TypeAndAddress) {
  auto c = ParseCandidate("a=candidate:1 1 UDP 2130706431 192.168.1.4 50000 typ host");
  EXPECT_EQ(c.type, "host");
  EXPECT_EQ(c.address, "192.168.1.4 50000");
  c = ParseCandidate("a=candidate:2 1 1\ttyp\tsrflx");
  EXPECT_EQ(c.type, "srflx");
  EXPECT_EQ(c.address, "");
}

TEST(StripRelayCandidates, RemovesOnlyRelayCandidateLines) {
  std::string in =
      "a=ice-ufrag:Zx9q\n"
      "a=candidate:3 1 UDP 16777215 198.51.100.2 3478 typ relay raddr 203.0.113.7 rport 40000\r\n"
      "a=candidate:1 1 UDP 2130706431 127.0.0.1 50000 typ host\n"
      "a=note: typ relay\n"
      "a=candidate:9 1 UDP 1 1.2.3.4 5 typ relay";
  EXPECT_EQ(StripRelayCandidates(in),
            "a=ice-ufrag:Zx9q\n"
            "a=candidate:1 1 UDP 2130706431 127.0.0.1 50000 typ host\n"
            "a=note: typ relay\n");
}

TEST(ParseIceServerUrl, Cases) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"stun.example.org", true, "stun.example.org", 3478},
      {"stun.example.org:19302", true, "stun.example.org", 19302},
      {"127.0.0.1:3479", true, "127.0.0.1", 3479},
      {"[::1]:3478", true, "::1", 3478},
      {"[::1]", true, "::1", 3478},
      {"[2001:db8::5]:5349", true, "2001:db8::5", 5349},
      {"::1", true, "::1", 3478},
      {"2001:db8::5", true, "2001:db8::5", 3478},
      {"h:65535", true, "h", 65535},
      {"h:1", true, "h", 1},
      {"h:0", false, "", 0},
      {"h:65536", false, "", 0},
      {"h:123456", false, "", 0},
      {"h:", false, "", 0},
      {"h:12a", false, "", 0},
      {":3478", false, "", 0},
      {"", false, "", 0},
      {"h/path", false, "", 0},
      {"h?x", false, "", 0},
      {"h#x", false, "", 0},
      {"user@h", false, "", 0},
      {"h x", false, "", 0},
      {"[::1", false, "", 0},
      {"[::1]3478", false, "", 0},
      {"[]:3478", false, "", 0},
      {"[host]:3478", false, "", 0},
      {"a:b:c", false, "", 0},
  };
  for (const auto& c : cases) {
    auto r = ParseIceServerUrl(c.text);
    ASSERT_EQ(r.has_value(), c.ok) << c.text;
    if (r) {
      EXPECT_EQ(r->host, c.host) << c.text;
      EXPECT_EQ(r->port, c.port) << c.text;
    }
  }
}

TEST(ParseStunServer, SchemeIsOptional) {
  auto a = ParseStunServer("stun:stun.example.org");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->host, "stun.example.org");
  EXPECT_EQ(a->port, 3478);
  auto b = ParseStunServer("127.0.0.1:3480");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->port, 3480);
  EXPECT_FALSE(ParseStunServer("stun:"));
}

TEST(ParseTurnServer, Cases) {
  auto ok = ParseTurnServer("turn:turn.example.org:3479?transport=udp", "u", "p");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->host, "turn.example.org");
  EXPECT_EQ(ok->port, 3479);
  EXPECT_EQ(ok->username, "u");
  EXPECT_EQ(ok->password, "p");
  auto v6 = ParseTurnServer("turn:[::1]:3478", "u", "p");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
  std::string long512(512, 'x'), long513(513, 'x');
  EXPECT_TRUE(ParseTurnServer("turn:h", long512, long512));
  EXPECT_FALSE(ParseTurnServer("turn:h", "u", long513));
  EXPECT_FALSE(ParseTurnServer("turn:h", "", "p"));
  EXPECT_FALSE(ParseTurnServer("turn:h", "u", ""));
  EXPECT_FALSE(ParseTurnServer("turn:h?transport=tcp", "u", "p"));
  EXPECT_FALSE(ParseTurnServer("turn:h?transport=udpx", "u", "p"));
  EXPECT_FALSE(ParseTurnServer("turns:h", "u", "p"));
  EXPECT_FALSE(ParseTurnServer("stun:h", "u", "p"));
}

}  // namespace
}  // namespace tavro::connect
