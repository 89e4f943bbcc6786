// HttpGet, the manifest signature and FetchManifest against the local update site.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "connect/base64url.h"
#include "update/fetch_manifest.h"
#include "update/http_get.h"
#include "update/manifest_signature.h"
#include "update/site_test_base.h"

namespace kelm::test {
namespace {

using namespace std::chrono_literals;
using update::HttpGet;
using update::HttpGetOptions;
using Clock = std::chrono::steady_clock;

std::string Pattern(size_t size, uint32_t seed = 7) {
  std::string out(size, '\0');
  uint32_t x = seed;
  for (auto& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return out;
}

HttpGetOptions Local(uint64_t maxBytes) {
  HttpGetOptions options;
  options.maxBytes = maxBytes;
  options.allowLocalHttp = true;
  return options;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using HttpGetTest = UpdateSiteTest;

TEST_F(HttpGetTest, ReadsAMebibyteByteExactWithProgress) {
  const std::string body = Pattern(1 << 20);
  ASSERT_TRUE(UpdateSite::WriteFile(Path("big.bin"), body));
  HttpGetOptions options = Local(1 << 20);
  uint64_t lastReceived = 0, lastTotal = 0;
  int calls = 0;
  options.progress = [&](uint64_t received, uint64_t total) {
    EXPECT_GE(received, lastReceived);
    lastReceived = received;
    lastTotal = total;
    ++calls;
  };
  std::string error;
  const auto got = HttpGet(Base() + "/big.bin", options, error);
  ASSERT_TRUE(got) << error;
  EXPECT_TRUE(*got == body);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(lastReceived, body.size());
  EXPECT_EQ(lastTotal, body.size());
}

TEST_F(HttpGetTest, StatusAndRedirectsAreFailures) {
  ASSERT_TRUE(UpdateSite::WriteFile(Path("f.bin"), "data"));
  std::string error;
  EXPECT_FALSE(HttpGet(Base() + "/missing.bin", Local(100), error));
  EXPECT_EQ(error, "HTTP 404");
  for (const char* code : {"301", "302"}) {
    EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/status/" + code + "/" + Path("f.bin"), Local(100), error));
    EXPECT_EQ(error, std::string("HTTP ") + code);
  }
  // The Location of both answers was never asked for.
  EXPECT_EQ(UpdateSite::Count("/" + Path("f.bin")), 0);
}

TEST_F(HttpGetTest, BodiesPastTheLimitFailAtOnce) {
  const std::string body = Pattern(2 << 20);
  ASSERT_TRUE(UpdateSite::WriteFile(Path("two.bin"), body));
  std::string error;
  // The server announces 2 MiB and then holds the body back.
  auto start = Clock::now();
  EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/hold/" + Path("two.bin"), Local(1 << 20), error));
  EXPECT_EQ(error, "file too large");
  EXPECT_LT(SecondsSince(start), 1.0);
  // No Content-Length: fails as soon as the body grows past the limit.
  EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/chunked/" + Path("two.bin"), Local(1 << 20), error));
  EXPECT_EQ(error, "file too large");
  EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/nolength/" + Path("two.bin"), Local((2 << 20) - 1), error));
  EXPECT_EQ(error, "file too large");
  // Exactly at the limit is fine, with or without a length.
  EXPECT_TRUE(HttpGet(UpdateSite::HttpBase() + "/chunked/" + Path("two.bin"), Local(2 << 20), error)) << error;
  EXPECT_TRUE(HttpGet(Base() + "/two.bin", Local(2 << 20), error)) << error;
}

TEST_F(HttpGetTest, ContentLengthIsReadChecked) {
  const std::string body = Pattern(100);
  ASSERT_TRUE(UpdateSite::WriteFile(Path("small.bin"), body));
  std::string error;
  // Garbage counts as absent: no total is reported and the limit is not applied to it.
  // What WinHTTP then delivers is its own reading (Wine's reads it as 0 and ends the
  // body at once; a reader to the end of the connection gives the whole body).
  HttpGetOptions options = Local(1000);
  std::vector<uint64_t> totals;
  options.progress = [&](uint64_t, uint64_t total) { totals.push_back(total); };
  const auto got = HttpGet(UpdateSite::HttpBase() + "/cl/abc/" + Path("small.bin"), options, error);
  ASSERT_TRUE(got) << error;
  EXPECT_TRUE(got->empty() || *got == body) << "got " << got->size() << " bytes";
  for (const uint64_t total : totals) EXPECT_EQ(total, 0u);
  // A real length is reported as the total.
  options.maxBytes = 100;
  ASSERT_TRUE(HttpGet(Base() + "/small.bin", options, error)) << error;
  EXPECT_EQ(totals.back(), 100u);
  EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/cl/99999999999999999999/" + Path("small.bin"),
                       Local(200000000), error));
  EXPECT_EQ(error, "file too large");
}

TEST_F(HttpGetTest, CancelEndsATrickleWithinASecond) {
  ASSERT_TRUE(UpdateSite::WriteFile(Path("slow.bin"), Pattern(10000)));
  std::atomic<bool> cancel{false};
  HttpGetOptions options = Local(10000);
  options.cancel = &cancel;
  std::string error;
  Clock::time_point cancelledAt;
  std::thread canceller([&] {
    std::this_thread::sleep_for(800ms);
    cancelledAt = Clock::now();
    cancel = true;
  });
  EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + "/trickle/100/" + Path("slow.bin"), options, error));
  const double afterCancel = SecondsSince(cancelledAt);
  canceller.join();
  EXPECT_EQ(error, "cancelled");
  EXPECT_LT(afterCancel, 1.0);
}

TEST_F(HttpGetTest, TheDeadlineEndsTrickleAndSilence) {
  ASSERT_TRUE(UpdateSite::WriteFile(Path("slow.bin"), Pattern(10000)));
  HttpGetOptions options = Local(10000);
  options.deadlineMs = 2000;
  std::string error;
  for (const char* segments : {"/trickle/300/", "/silent/"}) {
    const auto start = Clock::now();
    EXPECT_FALSE(HttpGet(UpdateSite::HttpBase() + segments + Path("slow.bin"), options, error)) << segments;
    const double took = SecondsSince(start);
    EXPECT_EQ(error, "download failed (12002)") << segments;
    EXPECT_GE(took, 1.9) << segments;
    EXPECT_LT(took, 3.5) << segments;
  }
}

TEST_F(HttpGetTest, AddressesAreCheckedBeforeAnyConnection) {
  std::string error;
  HttpGetOptions options;
  options.maxBytes = 100;
  EXPECT_FALSE(HttpGet(Base() + "/x", options, error));
  EXPECT_EQ(error, "address not allowed");
  options.allowLocalHttp = true;
  EXPECT_FALSE(HttpGet("http://127.0.0.1:1@example.com/", options, error));
  EXPECT_EQ(error, "address not allowed");
  EXPECT_FALSE(HttpGet("https://", options, error));
  EXPECT_EQ(error, "address not allowed");
}

TEST_F(HttpGetTest, HttpsToLocalhostWithTheTestRoot) {
  const std::string body = Pattern(5000);
  ASSERT_TRUE(UpdateSite::WriteFile(Path("tls.bin"), body));
  std::string error;
  const auto got =
      HttpGet(std::format("https://localhost:{}/{}", UpdateSite::HttpsPort(), Path("tls.bin")), Local(5000), error);
  ASSERT_TRUE(got) << error;
  EXPECT_TRUE(*got == body);
  // A certificate for another name is refused by WinHTTP (its number differs by platform).
  EXPECT_FALSE(HttpGet(std::format("https://localhost:{}/{}", UpdateSite::HttpsOtherPort(), Path("tls.bin")),
                       Local(5000), error));
  EXPECT_TRUE(error.starts_with("request failed (")) << error;
  EXPECT_TRUE(error.ends_with(")")) << error;
}

using ManifestSignatureTest = UpdateSiteTest;

TEST_F(ManifestSignatureTest, OpensslSignaturesVerify) {
  const std::string manifest = R"({"app":"tavro","note":"signed by openssl"})";
  ASSERT_TRUE(UpdateSite::WriteFile(Path("m.json"), manifest));
  const std::string signature = UpdateSite::Sign(Path("m.json"));
  ASSERT_EQ(signature.size(), 86u);
  const std::string key = UpdateSite::KeyFile("update.pub.txt");
  ASSERT_EQ(key.size(), 87u);
  using update::VerifyManifestSignature;
  EXPECT_TRUE(VerifyManifestSignature(manifest, signature, key));
  EXPECT_TRUE(VerifyManifestSignature(manifest, signature + "\r\n", key));
  EXPECT_TRUE(VerifyManifestSignature(manifest, signature + std::string(42, ' '), key));  // 128 characters
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature + std::string(43, ' '), key));  // 129
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature + "\t", key));
  EXPECT_FALSE(VerifyManifestSignature(manifest, " " + signature, key));
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature, UpdateSite::KeyFile("other-update.pub.txt")));
  std::string changed = manifest;
  changed[5] ^= 1;
  EXPECT_FALSE(VerifyManifestSignature(changed, signature, key));
  auto point = Base64UrlDecode(key);
  ASSERT_TRUE(point);
  (*point)[0] = 0x02;
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature, Base64UrlEncode(*point)));
  auto rs = Base64UrlDecode(signature);
  std::fill(rs->begin(), rs->begin() + 32, 0);  // r = 0
  EXPECT_FALSE(VerifyManifestSignature(manifest, Base64UrlEncode(*rs), key));
  EXPECT_FALSE(VerifyManifestSignature(manifest, signature.substr(0, 85), key));
  EXPECT_FALSE(VerifyManifestSignature(manifest + std::string(16384, ' '), signature, key));
}

using FetchManifestTest = UpdateSiteTest;

TEST_F(FetchManifestTest, EachFailureHasItsText) {
  std::string error;
  UpdaterConfig config = SiteConfig();
  EXPECT_FALSE(update::FetchManifest(config, "nightly", error));
  EXPECT_EQ(error, "unknown channel");
  EXPECT_FALSE(update::FetchManifest(config, "stable", error));
  EXPECT_EQ(error, "manifest: HTTP 404");

  Publish("stable", "1.2.0", "installer bytes");
  auto manifest = update::FetchManifest(config, "stable", error);
  ASSERT_TRUE(manifest) << error;
  EXPECT_EQ(manifest->version.ToString(), "1.2.0");
  EXPECT_EQ(manifest->size, 15u);

  DeleteFileW(UpdateSite::FilePath(Path("stable/windows/latest.json.sig")).c_str());
  EXPECT_FALSE(update::FetchManifest(config, "stable", error));
  EXPECT_EQ(error, "signature: HTTP 404");

  ASSERT_FALSE(UpdateSite::Sign(Path("stable/windows/latest.json"), "other-update").empty());
  EXPECT_FALSE(update::FetchManifest(config, "stable", error));
  EXPECT_EQ(error, "the manifest's signature isn't valid");

  // A beta manifest, validly signed, served as the stable one.
  Publish("stable", "1.3.0", "beta bytes", "", "", "beta");
  EXPECT_FALSE(update::FetchManifest(config, "stable", error));
  EXPECT_EQ(error, "manifest is for another channel");

  // Local http needs the overridden site.
  config.siteOverridden = false;
  EXPECT_FALSE(update::FetchManifest(config, "stable", error));
  EXPECT_EQ(error, "manifest: address not allowed");
}

}  // namespace
}  // namespace kelm::test
