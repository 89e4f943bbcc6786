// Scale steps, relative steps and the remembered-scales text.
#include "media/display_scale.h"

#include <algorithm>
#include <cstdlib>

namespace kelm {
namespace {

constexpr int32_t kLastStep = static_cast<int32_t>(kScaleSteps.size()) - 1;

}  // namespace

size_t NearestScaleStep(int32_t percent) {
  size_t best = 0;
  int64_t bestDistance = std::llabs(int64_t{percent} - kScaleSteps[0]);
  for (size_t i = 1; i < kScaleSteps.size(); ++i) {
    const int64_t distance = std::llabs(int64_t{percent} - kScaleSteps[i]);
    if (distance < bestDistance) {  // strictly closer: a tie keeps the lower step
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}

int32_t ScaleStepPercent(int64_t index) { return kScaleSteps[static_cast<size_t>(std::clamp<int64_t>(index, 0, kLastStep))]; }

bool UsableScaleSteps(const RelativeScaleSteps& s) {
  return s.minimum <= 0 && s.minimum >= -kLastStep && s.maximum >= 0 && s.maximum <= kLastStep;
}

int32_t RecommendedStepIndex(const RelativeScaleSteps& s) { return -s.minimum; }

DisplayScaleInfo ScaleInfoFromSteps(const RelativeScaleSteps& s) {
  const int64_t recommended = RecommendedStepIndex(s);
  const int64_t current = std::clamp(s.current, s.minimum, s.maximum);
  DisplayScaleInfo info;
  info.recommendedPercent = static_cast<uint32_t>(ScaleStepPercent(recommended));
  info.currentPercent = static_cast<uint32_t>(ScaleStepPercent(current + recommended));
  info.maximumPercent = static_cast<uint32_t>(ScaleStepPercent(recommended + s.maximum));
  return info;
}

int32_t TargetRelativeStep(int32_t percent, const RelativeScaleSteps& s) {
  const int32_t target =
      percent > 0 ? static_cast<int32_t>(NearestScaleStep(percent)) - RecommendedStepIndex(s) : 0;
  return std::clamp(target, s.minimum, s.maximum);
}

std::vector<wchar_t> FormatSavedScales(const SavedScaleMap& scales) {
  std::vector<wchar_t> out;
  for (const auto& [path, saved] : scales) {
    const std::wstring entry = std::to_wstring(saved.previousPercent) + L"|" + path;
    out.insert(out.end(), entry.begin(), entry.end());
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

std::optional<int32_t> ParseSavedPercent(std::wstring_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == L'-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 9) return std::nullopt;
  int32_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + (c - L'0');
  }
  if (value > kMaxSavedPercent) return std::nullopt;
  return negative ? -value : value;
}

std::vector<SavedScaleEntry> ParseSavedScales(std::span<const wchar_t> chars) {
  std::vector<SavedScaleEntry> entries;
  size_t at = 0;
  while (at < chars.size()) {
    size_t end = at;
    while (end < chars.size() && chars[end] != L'\0') ++end;
    const std::wstring_view item(chars.data() + at, end - at);
    if (item.empty()) {
      // An empty string ends a multi-string list.
      break;
    }
    if (const size_t bar = item.find(L'|'); bar != std::wstring_view::npos) {
      if (const auto percent = ParseSavedPercent(item.substr(0, bar))) {
        entries.push_back({*percent, std::wstring(item.substr(bar + 1))});
      }
    }
    at = end + 1;
  }
  return entries;
}

}  // namespace kelm
