// The service's update checks: their order, each refusal's exact reply and log line,
// and that a refusal after the download removes it, over a recording double of the steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update_request.h"

namespace kelm::helperservice {
namespace {

// Which step fails (0: none) and what the double reports.
struct Script {
  int failAt = 0;
  std::string error;
  uint64_t hashedSize = 3;
  uint8_t firstDigestByte = 0xAB;
  Version offered{1, 2, 0};
};

class RecordingSteps : public UpdateRequestSteps {
 public:
  explicit RecordingSteps(Script script) : script_(std::move(script)) {}

  std::optional<update::Manifest> FetchManifest(std::string_view channel, std::string& error) override {
    calls.push_back("fetch " + std::string(channel));
    if (Fails(3, error)) return std::nullopt;
    update::Manifest manifest;
    manifest.channel = std::string(channel);
    manifest.version = script_.offered;
    manifest.size = 3;
    manifest.sha256.fill(0x11);
    manifest.sha256[0] = 0xAB;
    return manifest;
  }
  bool PrepareUpdatesFolder() override {
    calls.push_back("prepare");
    std::string unused;
    return !Fails(5, unused);
  }
  bool DownloadInstaller(const update::Manifest& manifest, std::string& error) override {
    calls.push_back("download " + manifest.version.ToString());
    return !Fails(6, error);
  }
  bool HashSavedInstaller(std::array<uint8_t, 32>& digest, uint64_t& size) override {
    calls.push_back("hash");
    std::string unused;
    digest.fill(0x11);
    digest[0] = script_.firstDigestByte;
    size = script_.hashedSize;
    return !Fails(7, unused);
  }
  bool CheckSameSigner(std::string& error) override {
    calls.push_back("signer");
    return !Fails(8, error);
  }
  bool FindElevatedToken(uint32_t session) override {
    calls.push_back("token " + std::to_string(session));
    std::string unused;
    return !Fails(9, unused);
  }
  void DeleteDownload() override { calls.push_back("delete"); }

  std::vector<std::string> calls;

 private:
  bool Fails(int step, std::string& error) {
    if (script_.failAt != step) return false;
    error = script_.error;
    return true;
  }
  Script script_;
};

const std::vector<std::string> kAllSteps = {"fetch stable", "prepare",      "download 1.2.0", "hash",
                                            "signer",       "token 1"};

std::vector<std::string> StepsUpTo(size_t count) { return {kAllSteps.begin(), kAllSteps.begin() + count}; }

std::vector<std::string> WithDelete(std::vector<std::string> calls) {
  calls.push_back("delete");
  return calls;
}

struct Case {
  const char* name;
  std::string body;
  Script script;
  std::string reply;
  std::vector<std::string> calls;
};

TEST(UpdateRequestTest, EachCheckRefusesWithItsTextInOrder) {
  const std::string good = R"({"channel":"stable","version":"1.2.0"})";
  const std::vector<Case> cases = {
      {"not JSON", "{channel", {}, R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"an array", R"(["stable","1.2.0"])", {}, R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"nightly", R"({"channel":"nightly","version":"1.2.0"})", {},
       R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"two parts", R"({"channel":"stable","version":"1.2"})", {},
       R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"version a number", R"({"channel":"stable","version":120})", {},
       R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"no version", R"({"channel":"beta"})", {}, R"({"error":"invalid request","fallback":false,"ok":false})", {}},
      {"the installed version", R"({"channel":"stable","version":"1.0.0"})", {},
       R"({"error":"that version isn't newer than the installed one","fallback":false,"ok":false})", {}},
      {"an older version", R"({"channel":"stable","version":"0.9.9"})", {},
       R"({"error":"that version isn't newer than the installed one","fallback":false,"ok":false})", {}},
      {"no manifest", good, {.failAt = 3, .error = "manifest: HTTP 404"},
       R"({"error":"manifest: HTTP 404","fallback":false,"ok":false})", StepsUpTo(1)},
      {"another version offered", good, {.offered = {1, 3, 0}},
       R"({"error":"the download site now offers another version: check again","fallback":false,"ok":false})",
       StepsUpTo(1)},
      {"no updates folder", good, {.failAt = 5},
       R"({"error":"can't prepare the updates folder","fallback":false,"ok":false})", StepsUpTo(2)},
      {"download refused", good, {.failAt = 6, .error = "the installer has the wrong size"},
       R"({"error":"the installer has the wrong size","fallback":false,"ok":false})", StepsUpTo(3)},
      {"saved file unreadable", good, {.failAt = 7},
       R"({"error":"the saved installer doesn't match the manifest","fallback":false,"ok":false})",
       WithDelete(StepsUpTo(4))},
      {"saved file of another size", good, {.hashedSize = 4},
       R"({"error":"the saved installer doesn't match the manifest","fallback":false,"ok":false})",
       WithDelete(StepsUpTo(4))},
      {"saved file of another digest", good, {.firstDigestByte = 0xAC},
       R"({"error":"the saved installer doesn't match the manifest","fallback":false,"ok":false})",
       WithDelete(StepsUpTo(4))},
      {"another signer", good, {.failAt = 8, .error = "the update is signed by 'Other Signer', not 'tavro Test Signer'"},
       R"({"error":"the update is signed by 'Other Signer', not 'tavro Test Signer'","fallback":false,"ok":false})",
       WithDelete(StepsUpTo(5))},
      {"no administrator", good, {.failAt = 9},
       R"({"error":"this Windows account isn't an administrator: Windows will ask for approval","fallback":true,"ok":false})",
       WithDelete(StepsUpTo(6))},
      {"approved", good, {}, R"({"ok":true})", StepsUpTo(6)},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    RecordingSteps steps(test.script);
    testing::internal::CaptureStderr();
    const nlohmann::json reply = CheckUpdateRequest(test.body, 1, steps);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reply.dump(), test.reply);
    EXPECT_EQ(steps.calls, test.calls);
    if (IsApproval(reply)) {
      EXPECT_NE(log.find("Update to tavro 1.2.0 approved by the user in session 1"), std::string::npos) << log;
      EXPECT_EQ(log.find("Update refused"), std::string::npos) << log;
    } else {
      const std::string line = "Update refused: " + reply["error"].get<std::string>() + "\n";
      EXPECT_NE(log.find(line), std::string::npos) << log;
    }
  }
}

TEST(UpdateRequestTest, ParsesOnlyAnObjectWithAKnownChannelAndAVersion) {
  const auto beta = ParseUpdateRequest(R"({"version":"00002.0.65535","channel":"beta","extra":[1]})");
  ASSERT_TRUE(beta.has_value());
  EXPECT_EQ(beta->channel, "beta");
  EXPECT_EQ(beta->version, (Version{2, 0, 65535}));
  for (const char* body : {"", "null", "\"stable\"", R"({"channel":"Stable","version":"1.2.0"})",
                           R"({"channel":"stable","version":"1.2.0 "})", R"({"channel":null,"version":"1.2.0"})",
                           R"({"channel":"stable","version":"65536.0.0"})", "{\"channel\":\"stable\",\"version\":\"1.2.0\"",
                           "{\"channel\":\"stable\",\"version\":\"\xff\"}"}) {
    EXPECT_FALSE(ParseUpdateRequest(body).has_value()) << body;
  }
}

TEST(UpdateRequestTest, ARefusalIsCompactAndCarriesItsFallback) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MakeRefusal("a \"quoted\" reason", true).dump(),
            R"({"error":"a \"quoted\" reason","fallback":true,"ok":false})");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("WARN  Update refused: a \"quoted\" reason"),
            std::string::npos);
  EXPECT_FALSE(IsApproval(MakeRefusal("x", false)));
  EXPECT_FALSE(IsApproval(nlohmann::json{{"ok", 1}}));
  EXPECT_TRUE(IsApproval(nlohmann::json{{"ok", true}}));
}

}  // namespace
}  // namespace kelm::helperservice
