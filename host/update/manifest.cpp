// Parses the channel manifest with every key's type and length checked, so a hostile
// or broken manifest ends in one failure text and never in an exception.
#include "update/manifest.h"

#include <format>

#include <nlohmann/json.hpp>

namespace kelm::update {
namespace {

constexpr size_t kShortValueChars = 32;
constexpr size_t kSha256HexChars = 64;

// A string value no longer than `limit`; a longer one or another type counts as missing.
const std::string* StringValue(const nlohmann::json& object, const char* key, size_t limit) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  const std::string& value = it->get_ref<const std::string&>();
  return value.size() <= limit ? &value : nullptr;
}

bool IsLowerHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

int HexNibble(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

bool IsInstallerUrl(const std::string* url, std::string_view site) {
  if (url == nullptr) return false;
  const std::string prefix = std::string(site) + "/files/";
  return url->size() > prefix.size() && url->starts_with(prefix) && IsUrlText(*url) &&
         url->find("..") == std::string::npos && url->find_first_of("?#@") == std::string::npos;
}

std::optional<Manifest> Fail(std::string& error, const char* text) {
  error = text;
  return std::nullopt;
}

}  // namespace

bool IsKnownChannel(std::string_view channel) { return channel == "stable" || channel == "beta"; }

std::string ManifestUrl(std::string_view site, std::string_view channel) {
  return std::format("{}/{}/windows/latest.json", site, channel);
}

bool IsUrlText(std::string_view text) {
  for (const char c : text) {
    if (c < '!' || c > '~' || c == '"' || c == '<' || c == '>' || c == '\\' || c == '`') return false;
  }
  return true;
}

std::optional<Manifest> ParseManifest(std::string_view text, std::string_view channel, std::string_view site,
                                      std::string& error) {
  if (text.size() > kManifestMaxBytes) return Fail(error, "manifest too large");
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return Fail(error, "manifest isn't a JSON object");

  const std::string* app = StringValue(json, "app", kShortValueChars);
  const std::string* platform = StringValue(json, "platform", kShortValueChars);
  if (app == nullptr || *app != "tavro" || platform == nullptr || *platform != "windows") {
    return Fail(error, "manifest isn't for tavro on Windows");
  }
  const std::string* ownChannel = StringValue(json, "channel", kShortValueChars);
  if (ownChannel == nullptr || *ownChannel != channel) return Fail(error, "manifest is for another channel");

  Manifest manifest;
  manifest.channel = std::string(channel);
  const std::string* version = StringValue(json, "version", kShortValueChars);
  const auto parsedVersion = version != nullptr ? ParseVersion(*version) : std::nullopt;
  if (!parsedVersion) return Fail(error, "invalid version");
  manifest.version = *parsedVersion;

  if (json.contains("minimumVersion")) {
    const std::string* minimum = StringValue(json, "minimumVersion", kShortValueChars);
    manifest.minimumVersion = minimum != nullptr ? ParseVersion(*minimum) : std::nullopt;
    if (!manifest.minimumVersion) return Fail(error, "invalid minimumVersion");
  }

  const std::string* url = StringValue(json, "url", kUrlMaxChars);
  if (!IsInstallerUrl(url, site)) return Fail(error, "installer address isn't on the download site");
  manifest.url = *url;

  const auto size = json.find("size");
  if (size == json.end() || !size->is_number_unsigned()) return Fail(error, "invalid size");
  manifest.size = size->get<uint64_t>();
  if (manifest.size == 0 || manifest.size > kInstallerMaxBytes) return Fail(error, "invalid size");

  const std::string* sha256 = StringValue(json, "sha256", kSha256HexChars);
  if (sha256 == nullptr || sha256->size() != kSha256HexChars || !IsLowerHex(*sha256)) {
    return Fail(error, "invalid sha256");
  }
  for (size_t i = 0; i < manifest.sha256.size(); ++i) {
    manifest.sha256[i] = static_cast<uint8_t>(HexNibble((*sha256)[2 * i]) << 4 | HexNibble((*sha256)[2 * i + 1]));
  }

  if (json.contains("notes")) {
    const std::string* notes = StringValue(json, "notes", kUrlMaxChars);
    if (notes == nullptr || (!notes->empty() && (!notes->starts_with("https://") || !IsUrlText(*notes)))) {
      return Fail(error, "invalid notes link");
    }
    manifest.notes = *notes;
  }

  if (const std::string* released = StringValue(json, "released", kShortValueChars)) manifest.released = *released;
  error.clear();
  return manifest;
}

}  // namespace kelm::update
