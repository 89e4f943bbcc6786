#pragma once
// Whether this process runs under Wine: the one gate of every stand-in that replaces a
// call Wine answers but never carries out.
namespace kelm {

// True when ntdll exports wine_get_version.
bool RunningUnderWine();

}  // namespace kelm
