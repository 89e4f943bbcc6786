#pragma once
// Display scale steps, the relative-step model Windows reports them in, and the text
// form of the remembered scales kept for crash recovery.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

// The scales Windows offers, in percent; there is no 275.
inline constexpr std::array<int32_t, 12> kScaleSteps{100, 125, 150, 175, 200, 225, 250, 300, 350, 400, 450, 500};

// The index of the step closest to `percent`; a tie keeps the lower step.
size_t NearestScaleStep(int32_t percent);
// The step's percent, the index clamped to the table.
int32_t ScaleStepPercent(int64_t index);

// A display's scale as steps relative to its recommended step.
struct RelativeScaleSteps {
  int32_t minimum = 0;
  int32_t current = 0;
  int32_t maximum = 0;
};
// Whether an answer can be used: the recommended step lies within the table and within
// minimum..maximum (a positive minimum or INT_MIN would make it meaningless).
bool UsableScaleSteps(const RelativeScaleSteps& steps);
// The step index of the recommended scale (|minimum|); only for usable steps.
int32_t RecommendedStepIndex(const RelativeScaleSteps& steps);

struct DisplayScaleInfo {
  uint32_t currentPercent = 0;
  uint32_t recommendedPercent = 0;
  uint32_t maximumPercent = 0;
};
DisplayScaleInfo ScaleInfoFromSteps(const RelativeScaleSteps& steps);
// The relative step for `percent` (0 or less: the recommended one), within the range.
int32_t TargetRelativeStep(int32_t percent, const RelativeScaleSteps& steps);

// A scale changed for a session: what it was before the first change, and how many
// sessions hold the change.
struct SavedScale {
  int32_t previousPercent = 0;
  int32_t holders = 0;
};
using SavedScaleMap = std::map<std::wstring, SavedScale>;  // by monitor device path

// "SavedDisplayScales" as REG_MULTI_SZ characters: "<percent>|<path>" per entry, each
// ended by a NUL, and the closing NUL.
std::vector<wchar_t> FormatSavedScales(const SavedScaleMap& scales);

struct SavedScaleEntry {
  int32_t percent = 0;
  std::wstring monitorPath;
};
// Reads the value's characters, never past their end (a last string without a NUL
// counts). Strings without "|", or whose percent is not a number in range, are skipped.
std::vector<SavedScaleEntry> ParseSavedScales(std::span<const wchar_t> chars);
// A saved percent: optional minus, decimal digits only, within +-kMaxSavedPercent.
std::optional<int32_t> ParseSavedPercent(std::wstring_view text);
inline constexpr int32_t kMaxSavedPercent = 1000;

}  // namespace kelm
