// Fetches, verifies and parses the channel manifest; nothing is cached.
#include "update/fetch_manifest.h"

#include "update/http_get.h"
#include "update/manifest_signature.h"

namespace kelm::update {

std::optional<Manifest> FetchManifest(const UpdaterConfig& config, std::string_view channel, std::string& error,
                                      const std::atomic<bool>* cancel) {
  if (!IsKnownChannel(channel)) {
    error = "unknown channel";
    return std::nullopt;
  }
  HttpGetOptions options;
  options.allowLocalHttp = config.siteOverridden;
  options.cancel = cancel;
  options.deadlineMs = config.test.manifestDeadlineMs;
  const std::string url = ManifestUrl(config.site, channel);
  std::string getError;
  options.maxBytes = kManifestMaxBytes;
  const auto manifest = HttpGet(url, options, getError);
  if (!manifest) {
    error = "manifest: " + getError;
    return std::nullopt;
  }
  options.maxBytes = kSignatureMaxChars;
  const auto signature = HttpGet(url + ".sig", options, getError);
  if (!signature) {
    error = "signature: " + getError;
    return std::nullopt;
  }
  if (!VerifyManifestSignature(*manifest, *signature, config.publicKey)) {
    error = "the manifest's signature isn't valid";
    return std::nullopt;
  }
  return ParseManifest(*manifest, channel, config.site, error);
}

}  // namespace kelm::update
