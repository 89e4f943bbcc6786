// The update parsers without Windows: versions, manifests, download addresses,
// Content-Length, the service reply and the page's update message.
#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "update/download_url.h"
#include "update/manifest.h"
#include "update/service_reply.h"
#include "update/updater.h"
#include "update/version.h"

namespace kelm::update {
namespace {

TEST(UpdateVersionTest, ParsesThreeDecimalPartsOnly) {
  const auto v = ParseVersion("1.2.3");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->ToString(), "1.2.3");
  const auto zeros = ParseVersion("01.002.3");
  ASSERT_TRUE(zeros);
  EXPECT_EQ(*zeros, (Version{1, 2, 3}));
  EXPECT_EQ(ParseVersion("65535.0.65535")->ToString(), "65535.0.65535");
  for (const char* bad : {"1.2", "1.2.3.4", "1..3", "1.2.70000", "1.2.123456", "+1.2.3", " 1.2.3", "1.2.3 ", "",
                          "1.2.", ".1.2", "1.-2.3", "1.2.65536", "a.b.c", "1.2.3\n"}) {
    EXPECT_FALSE(ParseVersion(bad)) << bad;
  }
  EXPECT_LT((Version{1, 9, 9}), (Version{2, 0, 0}));
  EXPECT_LT((Version{1, 2, 3}), (Version{1, 2, 4}));
  EXPECT_GT((Version{1, 3, 0}), (Version{1, 2, 9}));
}

constexpr const char* kSite = "https://dl.example";

nlohmann::json GoodManifest() {
  return {{"app", "tavro"},
          {"platform", "windows"},
          {"channel", "stable"},
          {"version", "1.2.0"},
          {"url", "https://dl.example/files/tavro-Setup-1.2.0.exe"},
          {"size", 1234},
          {"sha256", std::string(64, 'a')},
          {"notes", "https://dl.example/notes/1.2.0"},
          {"released", "2026-12-01"}};
}

struct ManifestCase {
  const char* name;
  std::function<void(nlohmann::json&)> change;
  const char* error;  // empty: accepted
};

TEST(UpdateManifestTest, EachCheckFailsWithItsText) {
  const std::string longText(33, 'x');
  const ManifestCase cases[] = {
      {"good", [](nlohmann::json&) {}, ""},
      {"app missing", [](nlohmann::json& j) { j.erase("app"); }, "manifest isn't for tavro on Windows"},
      {"app other", [](nlohmann::json& j) { j["app"] = "other"; }, "manifest isn't for tavro on Windows"},
      {"app number", [](nlohmann::json& j) { j["app"] = 5; }, "manifest isn't for tavro on Windows"},
      {"platform", [](nlohmann::json& j) { j["platform"] = "linux"; }, "manifest isn't for tavro on Windows"},
      {"channel other", [](nlohmann::json& j) { j["channel"] = "beta"; }, "manifest is for another channel"},
      {"channel missing", [](nlohmann::json& j) { j.erase("channel"); }, "manifest is for another channel"},
      {"version object", [](nlohmann::json& j) { j["version"] = nlohmann::json::object(); }, "invalid version"},
      {"version bad", [](nlohmann::json& j) { j["version"] = "1.2"; }, "invalid version"},
      {"version long", [&](nlohmann::json& j) { j["version"] = "1.2.3" + std::string(28, ' '); }, "invalid version"},
      {"minimum number", [](nlohmann::json& j) { j["minimumVersion"] = 3; }, "invalid minimumVersion"},
      {"minimum bad", [](nlohmann::json& j) { j["minimumVersion"] = "1.x.0"; }, "invalid minimumVersion"},
      {"minimum good", [](nlohmann::json& j) { j["minimumVersion"] = "1.1.0"; }, ""},
      {"url prefix only", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/"; },
       "installer address isn't on the download site"},
      {"url other site", [](nlohmann::json& j) { j["url"] = "https://evil.example/files/a.exe"; },
       "installer address isn't on the download site"},
      {"url dots", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/../a.exe"; },
       "installer address isn't on the download site"},
      {"url query", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/a.exe?x"; },
       "installer address isn't on the download site"},
      {"url fragment", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/a.exe#x"; },
       "installer address isn't on the download site"},
      {"url at", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/a@b.exe"; },
       "installer address isn't on the download site"},
      {"url space", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/a b.exe"; },
       "installer address isn't on the download site"},
      {"url backslash", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/a\\b.exe"; },
       "installer address isn't on the download site"},
      {"url too long", [](nlohmann::json& j) { j["url"] = "https://dl.example/files/" + std::string(500, 'a'); },
       "installer address isn't on the download site"},
      {"size missing", [](nlohmann::json& j) { j.erase("size"); }, "invalid size"},
      {"size zero", [](nlohmann::json& j) { j["size"] = 0; }, "invalid size"},
      {"size above", [](nlohmann::json& j) { j["size"] = 200000001; }, "invalid size"},
      {"size limit", [](nlohmann::json& j) { j["size"] = 200000000; }, ""},
      {"size float", [](nlohmann::json& j) { j["size"] = 1.5; }, "invalid size"},
      {"size string", [](nlohmann::json& j) { j["size"] = "100"; }, "invalid size"},
      {"size negative", [](nlohmann::json& j) { j["size"] = -1; }, "invalid size"},
      {"sha upper", [](nlohmann::json& j) { j["sha256"] = std::string(63, 'a') + "A"; }, "invalid sha256"},
      {"sha short", [](nlohmann::json& j) { j["sha256"] = std::string(62, 'a'); }, "invalid sha256"},
      {"sha long", [](nlohmann::json& j) { j["sha256"] = std::string(66, 'a'); }, "invalid sha256"},
      {"sha not hex", [](nlohmann::json& j) { j["sha256"] = std::string(63, 'a') + "g"; }, "invalid sha256"},
      {"notes empty", [](nlohmann::json& j) { j["notes"] = ""; }, ""},
      {"notes missing", [](nlohmann::json& j) { j.erase("notes"); }, ""},
      {"notes http", [](nlohmann::json& j) { j["notes"] = "http://dl.example/n"; }, "invalid notes link"},
      {"notes number", [](nlohmann::json& j) { j["notes"] = 1; }, "invalid notes link"},
      {"notes quote", [](nlohmann::json& j) { j["notes"] = "https://dl.example/\"x"; }, "invalid notes link"},
      {"unknown keys", [](nlohmann::json& j) { j["extra"] = {1, 2}; j["nested"] = {{"app", "x"}}; }, ""},
      {"first failure wins", [](nlohmann::json& j) { j["version"] = "x"; j["size"] = 0; }, "invalid version"},
  };
  for (const auto& c : cases) {
    nlohmann::json j = GoodManifest();
    c.change(j);
    std::string error = "stale";
    const auto manifest = ParseManifest(j.dump(), "stable", kSite, error);
    if (*c.error == '\0') {
      EXPECT_TRUE(manifest) << c.name << ": " << error;
    } else {
      EXPECT_FALSE(manifest) << c.name;
      EXPECT_EQ(error, c.error) << c.name;
    }
  }
}

TEST(UpdateManifestTest, ReadsEveryFieldAndItsEdges) {
  nlohmann::json j = GoodManifest();
  j["sha256"] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  std::string error;
  auto m = ParseManifest(j.dump(), "stable", kSite, error);
  ASSERT_TRUE(m) << error;
  EXPECT_EQ(m->channel, "stable");
  EXPECT_EQ(m->version.ToString(), "1.2.0");
  EXPECT_EQ(m->url, "https://dl.example/files/tavro-Setup-1.2.0.exe");
  EXPECT_EQ(m->size, 1234u);
  EXPECT_EQ(m->sha256[0], 0x00);
  EXPECT_EQ(m->sha256[1], 0x11);
  EXPECT_EQ(m->sha256[31], 0xff);
  EXPECT_FALSE(m->minimumVersion);
  EXPECT_EQ(m->notes, "https://dl.example/notes/1.2.0");
  EXPECT_EQ(m->released, "2026-12-01");

  j["released"] = std::string(33, '2');  // over-long: left empty, not refused
  j["minimumVersion"] = "1.1.0";
  m = ParseManifest(j.dump(), "stable", kSite, error);
  ASSERT_TRUE(m) << error;
  EXPECT_EQ(m->released, "");
  ASSERT_TRUE(m->minimumVersion);
  EXPECT_EQ(m->minimumVersion->ToString(), "1.1.0");
  j["released"] = std::string(32, '2');
  EXPECT_EQ(ParseManifest(j.dump(), "stable", kSite, error)->released, std::string(32, '2'));

  // An over-long app counts as missing.
  j["app"] = "tavro" + std::string(28, ' ');
  EXPECT_FALSE(ParseManifest(j.dump(), "stable", kSite, error));
  EXPECT_EQ(error, "manifest isn't for tavro on Windows");

  for (const char* text : {"[1,2]", "\"text\"", "{", "", "null", "{\"app\":\"tavro\"}x"}) {
    EXPECT_FALSE(ParseManifest(text, "stable", kSite, error)) << text;
    EXPECT_EQ(error, "manifest isn't a JSON object") << text;
  }
  const std::string big = "{\"pad\":\"" + std::string(16384, 'x') + "\"}";
  EXPECT_FALSE(ParseManifest(big, "stable", kSite, error));
  EXPECT_EQ(error, "manifest too large");
}

TEST(UpdateManifestTest, ChannelsAndAddresses) {
  EXPECT_TRUE(IsKnownChannel("stable"));
  EXPECT_TRUE(IsKnownChannel("beta"));
  EXPECT_FALSE(IsKnownChannel("Stable"));
  EXPECT_FALSE(IsKnownChannel("nightly"));
  EXPECT_FALSE(IsKnownChannel(""));
  EXPECT_EQ(ManifestUrl("https://dl.example", "beta"), "https://dl.example/beta/windows/latest.json");
  EXPECT_TRUE(IsUrlText(""));
  EXPECT_TRUE(IsUrlText("https://a.b/c-d_e~f!$%&'()*+,;=:"));
  for (const char* bad : {"a b", "a\"b", "a<b", "a>b", "a\\b", "a`b", "a\x7f", "a\tb", "\xc3\xa9"}) {
    EXPECT_FALSE(IsUrlText(bad)) << bad;
  }
}

TEST(UpdateDownloadUrlTest, AllowsHttpsWithAHostAndLoopbackHttpOnlyWhenAsked) {
  struct Case {
    const char* url;
    bool local;
    bool allowed;
  };
  const std::string longUrl = "https://a/" + std::string(1015, 'x');  // 1025 characters
  const std::string longestUrl = "https://a/" + std::string(1014, 'x');
  const Case cases[] = {
      {"https://", true, false},
      {"https:///x", true, false},
      {"https://a", false, true},
      {"https://dl.example/files/x.exe", false, true},
      {"http://127.0.0.1:8080/x", false, false},
      {"http://127.0.0.1:8080/x", true, true},
      {"http://127.0.0.1/x", true, true},
      {"http://localhost:1/", true, true},
      {"http://localhost/", true, true},
      {"http://localhost", true, false},
      {"http://127.0.0.2:80/", true, false},
      {"http://127.0.0.1.evil/", true, false},
      {"http://localhost.evil:80/", true, false},
      {"http://127.0.0.1:1@example.com/", true, false},
      {"http://user@127.0.0.1:1/", true, false},
      {"http://127.0.0.1:x/", true, false},
      {"http://example.com/", true, false},
      {"ftp://127.0.0.1/", true, false},
      {"https://a b", true, false},
      {"https://a\tb", true, false},
      {"https://a\r", true, false},
      {"https://a\n", true, false},
      {"https://a\"", true, false},
      {"https://a<", true, false},
      {"https://a>", true, false},
      {"https://a\\b", true, false},
      {longUrl.c_str(), false, false},
      {longestUrl.c_str(), false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAllowedDownloadUrl(c.url, c.local), c.allowed) << c.url << " local " << c.local;
  }
}

TEST(UpdateDownloadUrlTest, ContentLengthIsParsedChecked) {
  using Kind = ContentLength::Kind;
  struct Case {
    const char* text;
    uint64_t max;
    Kind kind;
    uint64_t value;
  };
  const Case cases[] = {
      {"0", 10, Kind::Value, 0},
      {"10", 10, Kind::Value, 10},
      {"11", 10, Kind::TooLarge, 11},
      {"abc", 10, Kind::Absent, 0},
      {"", 10, Kind::Absent, 0},
      {"-1", 10, Kind::Absent, 0},
      {"1 0", 10, Kind::Absent, 0},
      {"18446744073709551615", UINT64_MAX, Kind::Value, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, Kind::TooLarge, 0},
      {"99999999999999999999", 200000000, Kind::TooLarge, 0},
      {"99999999999999999999x", 200000000, Kind::Absent, 0},
  };
  for (const auto& c : cases) {
    const ContentLength length = ParseContentLength(c.text, c.max);
    EXPECT_EQ(length.kind, c.kind) << c.text;
    if (c.kind == Kind::Value) {
      EXPECT_EQ(length.value, c.value) << c.text;
    }
  }
}

TEST(UpdateServiceReplyTest, EveryReplyFoldsIntoOneResult) {
  using R = ServiceRequestResult;
  struct Case {
    std::string body;
    R result;
    const char* error;
  };
  const Case cases[] = {
      {R"({"ok":true})", R::Accepted, ""},
      {R"({"ok":true,"error":"x","fallback":false})", R::Accepted, ""},
      {R"({"ok":false})", R::Refused, "the service refused the update"},
      {R"({})", R::Refused, "the service refused the update"},
      {R"({"ok":false,"error":"x","fallback":true})", R::RefusedFallback, "x"},
      {R"({"ok":false,"error":"nope","fallback":false})", R::Refused, "nope"},
      {R"({"ok":"yes"})", R::NoUsableService, ""},
      {R"({"ok":1})", R::NoUsableService, ""},
      {R"({"ok":false,"error":5})", R::NoUsableService, ""},
      {R"({"ok":false,"fallback":"true"})", R::NoUsableService, ""},
      {R"({"ok":false,"error":null})", R::NoUsableService, ""},
      {R"([{"ok":true}])", R::NoUsableService, ""},
      {R"(not json)", R::NoUsableService, ""},
      {R"("ok")", R::NoUsableService, ""},
      {"", R::NoUsableService, ""},
      {R"({"ok":true,"pad":")" + std::string(1024, 'x') + R"("})", R::NoUsableService, ""},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(ParseServiceReply(c.body, error), c.result) << c.body;
    if (c.result == R::Refused || c.result == R::RefusedFallback) {
      EXPECT_EQ(error, c.error) << c.body;
    }
  }
  EXPECT_EQ(ServiceRequestBody("stable", "1.2.0"), R"({"channel":"stable","version":"1.2.0"})");
}

TEST(UpdateStateJsonTest, KeysAndPhaseNames) {
  Updater::State state;
  auto json = nlohmann::json::parse(UpdateStateJson(state, Version{1, 0, 0}));
  EXPECT_EQ(json["type"], "update");
  EXPECT_EQ(json["phase"], "idle");
  EXPECT_EQ(json["current"], "1.0.0");
  EXPECT_EQ(json["required"], false);
  EXPECT_EQ(json["error"], "");
  EXPECT_EQ(json["lastCheck"], "");
  EXPECT_EQ(json["downloading"], false);
  EXPECT_EQ(json["progress"], 0.0);
  EXPECT_FALSE(json.contains("version"));
  EXPECT_FALSE(json.contains("notes"));
  EXPECT_EQ(json.size(), 8u);

  const char* names[] = {"idle", "checking", "available", "installing", "failed", "idle", "idle"};
  for (uint32_t phase = 0; phase < 7; ++phase) {
    state.phase = phase == 6 ? 0xFFFFFFFFu : phase;
    EXPECT_EQ(nlohmann::json::parse(UpdateStateJson(state, Version{}))["phase"], names[phase]) << phase;
  }

  state.phase = Updater::kAvailable;
  state.manifest = Manifest{};
  state.manifest->version = Version{1, 2, 0};
  state.manifest->notes = "https://n";
  state.bytesReceived = 50;
  state.bytesTotal = 0;
  json = nlohmann::json::parse(UpdateStateJson(state, Version{1, 0, 0}));
  EXPECT_EQ(json["progress"], 0.0);  // no total: no fraction
  EXPECT_EQ(json["version"], "1.2.0");
  EXPECT_EQ(json["notes"], "https://n");
  state.bytesTotal = 200;
  EXPECT_DOUBLE_EQ(nlohmann::json::parse(UpdateStateJson(state, Version{}))["progress"].get<double>(), 0.25);
}

}  // namespace
}  // namespace kelm::update
