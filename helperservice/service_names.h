#pragma once
// The names and texts the service program registers itself with.
namespace kelm::service {

inline constexpr wchar_t kServiceName[] = L"tavroHelper";
inline constexpr wchar_t kDisplayName[] = L"tavro Lock Screen Helper";
inline constexpr wchar_t kDescription[] =
    L"Lets a connected tavro tablet show the Windows lock screen and type the sign-in PIN or "
    L"password, and installs the tavro updates you approve.";
inline constexpr wchar_t kHostExeName[] = L"tavro.exe";

// Exit codes of the command line.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNotForUsers = 2;

}  // namespace kelm::service
