// The page host's navigation, placeholder and re-creation rules.
#include "app/web_ui_rules.h"

namespace kelm {

bool StaysInPage(std::wstring_view uri) { return uri.starts_with(L"data:") || uri == L"about:blank"; }

std::wstring PageWithBackdrop(std::wstring page, bool backdrop) {
  const std::wstring_view placeholder = kBackdropPlaceholder;
  const size_t at = page.find(placeholder);
  if (at != std::wstring::npos) page.replace(at, placeholder.size(), backdrop ? L"mica" : L"solid");
  return page;
}

bool RecreateLimit::Allow(Clock::time_point now) {
  while (!recent_.empty() && now - recent_.front() >= kWindow) recent_.pop_front();
  if (recent_.size() >= kMaxRecreations) return false;
  recent_.push_back(now);
  return true;
}

}  // namespace kelm
