#pragma once
// The service's data folder under ProgramData: checked, secured and cleaned at every
// start, and never used when it cannot be made trustworthy.
#include <string>

namespace kelm::service {

// "%ProgramData%\tavro" ("C:\ProgramData\tavro" without the variable). The first call
// checks and secures the folder; later calls return the cached path.
const std::wstring& ServiceDataFolder();
// Whether the first call's check left a folder the service may write in.
bool ServiceDataFolderTrusted();

std::wstring UpdatesFolder();
// Makes the updates folder a plain folder with its descriptor; false when the data
// folder is not trusted or the folder cannot be made trustworthy.
bool PrepareUpdatesFolder();

// The check behind ServiceDataFolder for one path: true when a trusted folder is at
// `path` afterwards, with its descriptor applied and the listed files cleaned.
bool SecureDataFolder(const std::wstring& path);

inline constexpr wchar_t kDataFolderSddl[] =
    L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;LS)(A;OICI;FRFX;;;BU)";
inline constexpr wchar_t kUpdatesFolderSddl[] = L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace kelm::service
