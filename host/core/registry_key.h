#pragma once
// The current user's registry key that holds the crash-recovery values.
#include <string>

namespace kelm {

// "Software\tavro" unless replaced (tests give each program a key of its own, since the
// values are process-wide state that parallel test programs would otherwise share).
std::wstring TavroRegistryKey();
void SetTavroRegistryKey(std::wstring path);  // empty: the default again

}  // namespace kelm
