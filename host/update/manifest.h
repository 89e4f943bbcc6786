#pragma once
// The signed channel manifest of the download site: channels, addresses and the
// strict parser that turns the manifest text into a `Manifest`.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/version.h"

namespace kelm::update {

inline constexpr size_t kManifestMaxBytes = 16384;
inline constexpr size_t kSignatureMaxChars = 128;
inline constexpr uint64_t kInstallerMaxBytes = 200000000;
inline constexpr size_t kUrlMaxChars = 512;

struct Manifest {
  std::string channel;  // the channel asked for, equal to the manifest's own
  Version version;
  std::string url;  // the installer's address
  uint64_t size = 0;
  std::array<uint8_t, 32> sha256{};
  std::optional<Version> minimumVersion;
  std::string notes;     // an https link, or empty
  std::string released;  // shown as given
};

// "stable" and "beta".
bool IsKnownChannel(std::string_view channel);
// site + "/" + channel + "/windows/latest.json"; the signature is this + ".sig".
std::string ManifestUrl(std::string_view site, std::string_view channel);
// Every character in '!'..'~' and none of '"', '<', '>', '\' and '`' (true when empty).
bool IsUrlText(std::string_view text);

// Checks in a fixed order; the first failure gives its text in `error`. Never throws.
std::optional<Manifest> ParseManifest(std::string_view text, std::string_view channel, std::string_view site,
                                      std::string& error);

}  // namespace kelm::update
