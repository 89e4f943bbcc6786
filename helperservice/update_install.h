#pragma once
// An approved update: the request's checks with the real download site and Windows
// calls, and the install thread that runs the verified installer with the user's
// elevated token and restarts the host afterwards.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/win_handle.h"

namespace kelm::helperservice {

// Shared by the pipe thread and the install thread.
struct Approved {
  std::wstring installerPath;  // the updates folder + "\tavro-Setup-<version>.exe"
  WinHandle installerFile;     // read, read sharing only: nobody replaces it before the start
  WinHandle token;             // the user's elevated primary token
  uint32_t session = 0;
};

// The user's elevated primary token for the session, or none (a standard user, nobody
// signed in). The test copy may stage the latter two.
WinHandle ElevatedUserToken(uint32_t session);

// The checks of one request; `cancel` (set when the service stops) ends the downloads.
nlohmann::json EvaluateUpdateRequest(std::string_view body, uint32_t session, Approved& approved,
                                     const std::atomic<bool>* cancel);

// Removes the saved installer of a record whose installer will not run.
void DiscardDownload(Approved& approved);

// The install thread's body (started detached after the approval reached the host).
void RunApprovedInstaller(std::shared_ptr<Approved> approved);

}  // namespace kelm::helperservice
