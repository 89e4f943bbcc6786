// The updater's parsers on any input: the first byte picks one; accepted values keep
// the rules they were accepted under.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "update/download_url.h"
#include "update/manifest.h"
#include "update/service_reply.h"
#include "update/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string error;
  switch (data[0] % 5) {
    case 0: {
      const auto version = kelm::update::ParseVersion(text);
      if (version) {
        // The printed form parses back to the same version.
        FUZZ_CHECK(kelm::update::ParseVersion(version->ToString()) == version);
        FUZZ_CHECK(text.size() <= 17 && text.find_first_not_of("0123456789.") == std::string_view::npos);
      }
      break;
    }
    case 1: {
      constexpr std::string_view kSite = "https://dl.example";
      const auto manifest = kelm::update::ParseManifest(text, "stable", kSite, error);
      if (manifest) {
        FUZZ_CHECK(manifest->channel == "stable");
        FUZZ_CHECK(manifest->size >= 1 && manifest->size <= kelm::update::kInstallerMaxBytes);
        FUZZ_CHECK(manifest->url.starts_with("https://dl.example/files/") && manifest->url.size() <= 512);
        FUZZ_CHECK(kelm::update::IsUrlText(manifest->url) && manifest->url.find("..") == std::string::npos);
        FUZZ_CHECK(manifest->notes.empty() || manifest->notes.starts_with("https://"));
        FUZZ_CHECK(manifest->released.size() <= 32);
        FUZZ_CHECK(error.empty());
      } else {
        FUZZ_CHECK(!error.empty());
      }
      break;
    }
    case 2: {
      for (const bool local : {false, true}) {
        if (kelm::update::IsAllowedDownloadUrl(text, local)) {
          FUZZ_CHECK(text.size() <= kelm::update::kDownloadUrlMaxChars);
          FUZZ_CHECK(text.starts_with("https://") || (local && text.starts_with("http://")));
          if (text.starts_with("http://")) {
            const std::string_view rest = text.substr(7);
            FUZZ_CHECK(rest.starts_with("127.0.0.1") || rest.starts_with("localhost"));
            FUZZ_CHECK(rest.substr(0, rest.find_first_of("/?#")).find('@') == std::string_view::npos);
          }
        }
      }
      break;
    }
    case 3: {
      const auto length = kelm::update::ParseContentLength(text, 200000000);
      if (length.kind == kelm::update::ContentLength::Kind::Value) FUZZ_CHECK(length.value <= 200000000);
      break;
    }
    default: {
      const auto result = kelm::update::ParseServiceReply(text, error);
      FUZZ_CHECK(static_cast<uint32_t>(result) <= 3);
      if (text.size() > kelm::update::kServiceReplyMaxBytes) {
        FUZZ_CHECK(result == kelm::update::ServiceRequestResult::NoUsableService);
      }
      break;
    }
  }
  return 0;
}
