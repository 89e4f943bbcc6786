// The order of the service's update checks and the replies they give.
#include "update_request.h"

#include "core/crypto.h"
#include "core/log.h"

namespace kelm::helperservice {

std::optional<UpdateRequest> ParseUpdateRequest(std::string_view body) {
  const nlohmann::json request = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object()) return std::nullopt;
  const auto channel = request.find("channel");
  const auto version = request.find("version");
  if (channel == request.end() || version == request.end() || !channel->is_string() || !version->is_string()) {
    return std::nullopt;
  }
  const std::string& channelText = channel->get_ref<const std::string&>();
  if (!update::IsKnownChannel(channelText)) return std::nullopt;
  const std::optional<Version> parsed = update::ParseVersion(version->get_ref<const std::string&>());
  if (!parsed) return std::nullopt;
  return UpdateRequest{channelText, *parsed};
}

nlohmann::json MakeRefusal(std::string_view text, bool fallback) {
  LogWarn("Update refused: {}", text);
  return nlohmann::json{{"ok", false}, {"error", std::string(text)}, {"fallback", fallback}};
}

bool IsApproval(const nlohmann::json& reply) {
  const auto ok = reply.find("ok");
  return ok != reply.end() && ok->is_boolean() && ok->get<bool>();
}

nlohmann::json CheckUpdateRequest(std::string_view body, uint32_t session, UpdateRequestSteps& steps) {
  const std::optional<UpdateRequest> request = ParseUpdateRequest(body);
  if (!request) return MakeRefusal(kRefusalInvalidRequest, false);
  if (request->version <= kServiceVersion) return MakeRefusal(kRefusalNotNewer, false);
  std::string error;
  const std::optional<update::Manifest> manifest = steps.FetchManifest(request->channel, error);
  if (!manifest) return MakeRefusal(error, false);
  if (manifest->version != request->version) return MakeRefusal(kRefusalOtherVersion, false);
  if (!steps.PrepareUpdatesFolder()) return MakeRefusal(kRefusalUpdatesFolder, false);
  if (!steps.DownloadInstaller(*manifest, error)) return MakeRefusal(error, false);

  // From here a refusal leaves a saved installer behind unless it is removed.
  const auto refuseSaved = [&](std::string_view text, bool fallback) {
    steps.DeleteDownload();
    return MakeRefusal(text, fallback);
  };
  std::array<uint8_t, 32> digest{};
  uint64_t size = 0;
  if (!steps.HashSavedInstaller(digest, size)) return refuseSaved(kRefusalSavedMismatch, false);
  // Both comparisons run before either decides, and the digest without an early exit.
  const bool sizeMatches = size == manifest->size;
  const bool digestMatches = ConstantTimeEqual(digest.data(), manifest->sha256.data(), digest.size());
  if (!sizeMatches || !digestMatches) return refuseSaved(kRefusalSavedMismatch, false);
  if (!steps.CheckSameSigner(error)) return refuseSaved(error, false);
  if (!steps.FindElevatedToken(session)) return refuseSaved(kRefusalNotAdministrator, true);
  LogInfo("Update to tavro {} approved by the user in session {}", request->version.ToString(), session);
  return nlohmann::json{{"ok", true}};
}

}  // namespace kelm::helperservice
