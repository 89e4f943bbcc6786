#pragma once
// Changes to the Windows display configuration made for sessions: per-display scale,
// and "exclusive" mode in which only our virtual monitors stay on. Both are counted
// across sessions and recorded under the tavro registry key, so that a start after a
// crash can undo them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/display_enum.h"
#include "media/display_scale.h"

namespace kelm {

// Registry values under TavroRegistryKey(); each exists only while there is something
// to undo.
inline constexpr wchar_t kExclusiveDisplaysValue[] = L"ExclusiveDisplays";
inline constexpr wchar_t kSavedDisplayScalesValue[] = L"SavedDisplayScales";
// A larger "SavedDisplayScales" is not ours: it is dropped unread.
inline constexpr uint32_t kMaxSavedScalesBytes = 16384;

// Current, recommended and maximum scale of a display by its GDI name.
std::optional<DisplayScaleInfo> GetDisplayScaleInfo(const std::wstring& gdiName);
// Sets the nearest scale step (0 or less: the recommended one); true when it is set.
bool SetDisplayScale(const std::wstring& gdiName, int32_t percent);
// Sets a scale and remembers the one before, once per monitor however many sessions
// change it. `heldPath` is the caller's record of the monitor it holds (empty: none).
void ChangeDisplayScale(std::wstring& heldPath, const std::wstring& gdiName, int32_t percent);
// Gives up the caller's hold; the last holder's release restores the remembered scale.
void RestoreDisplayScale(std::wstring& heldPath);

// Turns the PC's own screens off, leaving the virtual monitors; counted per caller.
bool EnterExclusiveDisplays();
// The last caller's leave restores the configuration from before the first enter.
void LeaveExclusiveDisplays();

// At start-up: undoes what the registry values say a previous run left behind.
void RestoreDisplaysAfterCrash();

// Active virtual monitors now; for the checks around a topology change.
int CountVirtualDisplays();

}  // namespace kelm
