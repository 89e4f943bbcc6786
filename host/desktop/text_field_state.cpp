// Focus, caret and deadline bookkeeping of the text-field detector.
#include "desktop/text_field_state.h"

namespace kelm {

int32_t TextFieldState::Subscribe(Callback callback) {
  const int32_t id = nextId_++;
  subscribers_.emplace(id, std::move(callback));
  return id;
}

void TextFieldState::Unsubscribe(int32_t id) {
  subscribers_.erase(id);
}

void TextFieldState::OnFocus(bool editable, const FieldRect& rect) {
  focusEditable_ = editable;
  focusRect_ = rect;
  Notify(false);
}

void TextFieldState::OnForeground() {
  caretShown_ = false;
  hideDeadline_ = 0;
  Notify(true);
}

void TextFieldState::OnCaretShown(const FieldRect& rect) {
  caretShown_ = true;
  caretRect_ = rect;
  hideDeadline_ = 0;
  Notify(false);
}

void TextFieldState::OnCaretHidden() {
  if (caretShown_ && hideDeadline_ == 0) {
    hideDeadline_ = clock_() + kCaretHideDelayMs;
  }
}

bool TextFieldState::DeadlinePassed() const {
  return hideDeadline_ != 0 && clock_() >= hideDeadline_;
}

void TextFieldState::EndCaret() {
  hideDeadline_ = 0;
  caretShown_ = false;
  Notify(false);
}

void TextFieldState::Notify(bool reset) {
  const bool active = focusEditable_ || caretShown_;
  const FieldRect rect = caretShown_ ? caretRect_ : focusRect_;
  if (!reset && active == lastActive_ && (!active || rect == lastRect_)) {
    return;
  }
  lastActive_ = active;
  lastRect_ = rect;
  for (const auto& [id, callback] : subscribers_) {
    if (callback) {
      callback(active, rect, reset);
    }
  }
}

bool DecideEditable(EditableProbe& probe, int32_t controlType) {
  if (probe.Enabled() == std::optional<bool>(false)) {
    return false;
  }
  const bool hasValue = probe.HasValuePattern();
  if (hasValue && probe.ValueReadOnly() == std::optional<bool>(false) &&
      (controlType == kControlTypeComboBox || controlType == kControlTypeEdit ||
       controlType == kControlTypeDocument)) {
    return true;
  }
  if (probe.TextReadOnly() == std::optional<bool>(false)) {
    return true;
  }
  return controlType == kControlTypeEdit && !hasValue;
}

}  // namespace kelm
