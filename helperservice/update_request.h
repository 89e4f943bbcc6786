#pragma once
// The service's checks of an update request, in their fixed order, over steps the
// caller supplies: the real downloads and Windows calls in the service, doubles in tests.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "update/manifest.h"
#include "update/version.h"

namespace kelm::helperservice {

// Pipe message types and the request's largest body.
inline constexpr uint32_t kUpdateRequestType = 3;
inline constexpr uint32_t kUpdateReplyType = 4;
inline constexpr size_t kUpdateRequestMaxBytes = 1024;

// The version the service itself is; only newer versions are installed.
inline constexpr Version kServiceVersion{1, 0, 0};

// Refusals the service words itself (the others carry the download step's own text).
inline constexpr std::string_view kRefusalInvalidRequest = "invalid request";
inline constexpr std::string_view kRefusalNotNewer = "that version isn't newer than the installed one";
inline constexpr std::string_view kRefusalOtherVersion = "the download site now offers another version: check again";
inline constexpr std::string_view kRefusalUpdatesFolder = "can't prepare the updates folder";
inline constexpr std::string_view kRefusalSavedMismatch = "the saved installer doesn't match the manifest";
inline constexpr std::string_view kRefusalNotAdministrator =
    "this Windows account isn't an administrator: Windows will ask for approval";

struct UpdateRequest {
  std::string channel;
  Version version;
};

// An object whose "channel" is a known channel and whose "version" is a version text;
// nothing else (no exception escapes).
std::optional<UpdateRequest> ParseUpdateRequest(std::string_view body);

// Logs WARN "Update refused: <text>" and builds {"ok":false,"error":text,"fallback":flag}.
nlohmann::json MakeRefusal(std::string_view text, bool fallback);

// What the checks call, in the order they call it. Each failing step that has a text
// of its own puts it in `error`.
class UpdateRequestSteps {
 public:
  virtual ~UpdateRequestSteps() = default;
  virtual std::optional<update::Manifest> FetchManifest(std::string_view channel, std::string& error) = 0;
  virtual bool PrepareUpdatesFolder() = 0;
  // Saves the installer at the request's installer path.
  virtual bool DownloadInstaller(const update::Manifest& manifest, std::string& error) = 0;
  // Opens the saved installer again, keeps it open and hashes it through that handle.
  virtual bool HashSavedInstaller(std::array<uint8_t, 32>& digest, uint64_t& size) = 0;
  virtual bool CheckSameSigner(std::string& error) = 0;
  // Finds the session user's elevated token and keeps it; false when there is none.
  virtual bool FindElevatedToken(uint32_t session) = 0;
  // Removes the saved installer after a refusal that followed its download.
  virtual void DeleteDownload() = 0;
};

// The refusal of the first failing check, or {"ok":true} with the INFO line of the
// approval once every check passed.
nlohmann::json CheckUpdateRequest(std::string_view body, uint32_t session, UpdateRequestSteps& steps);

// Whether a reply object is an approval.
bool IsApproval(const nlohmann::json& reply);

}  // namespace kelm::helperservice
