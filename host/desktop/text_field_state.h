#pragma once
// What the text-field detector knows: the focused element, the caret with its hide
// deadline, the last report and the subscribers. Free of Windows calls, driven by the
// detector thread and an injectable millisecond clock; the caller holds the lock.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace kelm {

struct FieldRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool operator==(const FieldRect&) const = default;
};

class TextFieldState {
 public:
  using Callback = std::function<void(bool active, const FieldRect& rect, bool reset)>;
  using Clock = std::function<uint64_t()>;

  // A hidden caret counts as gone only after this long (it blinks and moves by hiding).
  static constexpr uint64_t kCaretHideDelayMs = 400;

  explicit TextFieldState(Clock clock) : clock_(std::move(clock)) {}

  int32_t Subscribe(Callback callback);
  void Unsubscribe(int32_t id);
  size_t SubscriberCount() const { return subscribers_.size(); }

  // The focused element changed.
  void OnFocus(bool editable, const FieldRect& rect);
  // Another window came to the foreground: the caret is forgotten and everyone told.
  void OnForeground();
  // The caret was created, shown or moved, at `rect`.
  void OnCaretShown(const FieldRect& rect);
  // The caret was hidden or destroyed: gone unless it shows again before the deadline.
  void OnCaretHidden();
  // True once the hide deadline has passed; then EndCaret reports the caret gone.
  bool DeadlinePassed() const;
  void EndCaret();

  bool CaretShown() const { return caretShown_; }
  uint64_t HideDeadline() const { return hideDeadline_; }

 private:
  void Notify(bool reset);

  Clock clock_;
  std::map<int32_t, Callback> subscribers_;
  int32_t nextId_ = 1;
  bool focusEditable_ = false;
  FieldRect focusRect_;
  bool caretShown_ = false;
  FieldRect caretRect_;
  uint64_t hideDeadline_ = 0;
  bool lastActive_ = false;
  FieldRect lastRect_;
};

// Whether a UI Automation element takes text, from what can be read of it. Each question
// is asked only when the rule needs its answer; an unreadable answer is empty.
class EditableProbe {
 public:
  virtual ~EditableProbe() = default;
  virtual std::optional<bool> Enabled() = 0;
  virtual bool HasValuePattern() = 0;
  // Read-only flag of the Value pattern; empty when it cannot be read.
  virtual std::optional<bool> ValueReadOnly() = 0;
  // Read-only attribute of the Text pattern's document range when it is a boolean; empty
  // without a Text pattern or with any other answer.
  virtual std::optional<bool> TextReadOnly() = 0;
};

inline constexpr int32_t kControlTypeComboBox = 50003;
inline constexpr int32_t kControlTypeEdit = 50004;
inline constexpr int32_t kControlTypeDocument = 50030;

bool DecideEditable(EditableProbe& probe, int32_t controlType);

}  // namespace kelm
