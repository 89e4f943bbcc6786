// Focus, caret and deadline rules of the text-field detector with a fake clock, and
// the rule that decides whether an element takes text.
#include "desktop/text_field_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace kelm {
namespace {

struct Report {
  bool active;
  FieldRect rect;
  bool reset;
  uint64_t at;
  bool operator==(const Report&) const = default;
};

class TextFieldStateTest : public ::testing::Test {
 protected:
  TextFieldStateTest() {
    id = state.Subscribe([this](bool active, const FieldRect& rect, bool reset) {
      reports.push_back({active, rect, reset, now});
    });
  }
  // The detector loop wakes at least every 50 ms and checks the deadline.
  void RunLoop(uint64_t untilMs, uint64_t stepMs = 50) {
    while (now < untilMs) {
      now = std::min(now + stepMs, untilMs);
      if (state.DeadlinePassed()) {
        state.EndCaret();
      }
    }
  }

  uint64_t now = 1000;
  TextFieldState state{[this] { return now; }};
  std::vector<Report> reports;
  int32_t id = 0;
  const FieldRect field{100, 100, 600, 130};
  const FieldRect caret{110, 104, 112, 126};
};

TEST_F(TextFieldStateTest, CaretHiddenAndShownWithinTheDelayStaysActive) {
  state.OnCaretShown(caret);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (Report{true, caret, false, 1000}));
  state.OnCaretHidden();
  RunLoop(1399, 7);
  state.OnCaretShown(caret);
  RunLoop(3000);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(state.HideDeadline(), 0u);
}

TEST_F(TextFieldStateTest, HiddenCaretIsReportedGoneAfterTheDelay) {
  for (const uint64_t step : {50, 13, 1}) {
    reports.clear();
    state.OnCaretShown(caret);
    const uint64_t hiddenAt = now;
    state.OnCaretHidden();
    state.OnCaretHidden();  // a second hide does not move the deadline
    RunLoop(now + 1000, step);
    ASSERT_EQ(reports.size(), 2u) << step;
    EXPECT_FALSE(reports[1].active);
    EXPECT_FALSE(reports[1].reset);
    EXPECT_GE(reports[1].at, hiddenAt + 400) << step;
    EXPECT_LE(reports[1].at, hiddenAt + 450) << step;
    EXPECT_FALSE(state.CaretShown());
  }
}

TEST_F(TextFieldStateTest, HidingACaretThatIsNotShownDoesNothing) {
  state.OnCaretHidden();
  EXPECT_EQ(state.HideDeadline(), 0u);
  RunLoop(5000);
  EXPECT_TRUE(reports.empty());
}

TEST_F(TextFieldStateTest, ForegroundChangeReportsResetAndKeepsTheFocus) {
  state.OnFocus(true, field);
  state.OnCaretShown(caret);
  state.OnForeground();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[2], (Report{true, field, true, 1000}));
  EXPECT_FALSE(state.CaretShown());
  // Again with nothing changed: still reported.
  state.OnForeground();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_TRUE(reports[3].reset);
}

TEST_F(TextFieldStateTest, CaretRectangleWinsOverTheFocusRectangle) {
  state.OnFocus(true, field);
  state.OnCaretShown(caret);
  state.OnFocus(true, FieldRect{0, 0, 50, 50});  // the caret still decides where
  state.OnFocus(false, FieldRect{});             // the caret alone keeps it active
  const std::vector<Report> expected = {{true, field, false, 1000}, {true, caret, false, 1000}};
  EXPECT_EQ(reports, expected);
  // A caret moving inside the field reports the new place.
  const FieldRect moved{130, 104, 132, 126};
  state.OnCaretShown(moved);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[2].rect, moved);
  // Gone: falls back to the focus, which is not editable any more.
  state.OnCaretHidden();
  RunLoop(now + 500);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_FALSE(reports[3].active);
}

TEST_F(TextFieldStateTest, UnchangedInactiveStatesAreNotRepeated) {
  state.OnFocus(false, field);
  state.OnFocus(false, FieldRect{1, 2, 3, 4});
  EXPECT_TRUE(reports.empty());
  state.OnFocus(true, field);
  state.OnFocus(true, field);
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(TextFieldStateTest, SubscribersGetIdsInOrder) {
  EXPECT_EQ(id, 1);
  std::vector<int> calls;
  const int32_t second = state.Subscribe([&](bool, const FieldRect&, bool) { calls.push_back(2); });
  EXPECT_EQ(second, 2);
  state.Unsubscribe(id);
  state.Unsubscribe(second);
  EXPECT_EQ(state.SubscriberCount(), 0u);
  const int32_t third = state.Subscribe([&](bool, const FieldRect&, bool) { calls.push_back(3); });
  const int32_t fourth = state.Subscribe([&](bool, const FieldRect&, bool) { calls.push_back(4); });
  EXPECT_EQ(third, 3);
  EXPECT_EQ(fourth, 4);
  state.OnFocus(true, field);
  EXPECT_EQ(calls, (std::vector<int>{3, 4}));
  EXPECT_TRUE(reports.empty());
}

// ---- editable rule ----

struct FakeProbe final : EditableProbe {
  std::optional<bool> enabled;
  bool hasValue = false;
  std::optional<bool> valueReadOnly;
  std::optional<bool> textReadOnly;
  int textAsked = 0;
  std::optional<bool> Enabled() override { return enabled; }
  bool HasValuePattern() override { return hasValue; }
  std::optional<bool> ValueReadOnly() override { return valueReadOnly; }
  std::optional<bool> TextReadOnly() override {
    ++textAsked;
    return textReadOnly;
  }
};

TEST(IsEditable, TruthTable) {
  constexpr std::optional<bool> kNo = false, kYes = true, kUnknown = std::nullopt;
  const struct {
    std::optional<bool> enabled;
    bool hasValue;
    std::optional<bool> valueReadOnly;
    std::optional<bool> textReadOnly;  // empty: no Text pattern (or not a boolean)
    int32_t type;
    bool editable;
  } cases[] = {
      // Disabled is never editable.
      {kNo, true, kNo, kNo, kControlTypeEdit, false},
      // Enabled unreadable counts as enabled (Wine's Edit: no patterns at all).
      {kUnknown, false, kUnknown, kUnknown, kControlTypeEdit, true},
      // Writable Value pattern on the three text-taking types.
      {kYes, true, kNo, kUnknown, kControlTypeEdit, true},
      {kYes, true, kNo, kUnknown, kControlTypeComboBox, true},
      {kYes, true, kNo, kUnknown, kControlTypeDocument, true},
      // ...but not on another type, without a Text pattern.
      {kYes, true, kNo, kUnknown, 50000, false},
      // Read-only Edit with a Value pattern and no Text pattern.
      {kYes, true, kYes, kUnknown, kControlTypeEdit, false},
      // Unreadable read-only flag.
      {kYes, true, kUnknown, kUnknown, kControlTypeEdit, false},
      // Read-only Value pattern, writable text range.
      {kYes, true, kYes, kNo, 50000, true},
      // Read-only text range.
      {kYes, true, kYes, kYes, kControlTypeDocument, false},
      {kYes, false, kUnknown, kYes, kControlTypeEdit, true},
      {kYes, false, kUnknown, kYes, kControlTypeDocument, false},
      // No patterns: only an Edit.
      {kYes, false, kUnknown, kUnknown, kControlTypeEdit, true},
      {kYes, false, kUnknown, kUnknown, 50033, false},
      {kYes, false, kUnknown, kNo, 50033, true},
  };
  int row = 0;
  for (const auto& c : cases) {
    FakeProbe probe;
    probe.enabled = c.enabled;
    probe.hasValue = c.hasValue;
    probe.valueReadOnly = c.valueReadOnly;
    probe.textReadOnly = c.textReadOnly;
    EXPECT_EQ(DecideEditable(probe, c.type), c.editable) << "row " << row;
    ++row;
  }
}

TEST(IsEditable, TextPatternAskedOnlyWhenNeeded) {
  FakeProbe probe;
  probe.hasValue = true;
  probe.valueReadOnly = false;
  EXPECT_TRUE(DecideEditable(probe, kControlTypeEdit));
  EXPECT_EQ(probe.textAsked, 0);
  probe.valueReadOnly = true;
  EXPECT_FALSE(DecideEditable(probe, kControlTypeEdit));
  EXPECT_EQ(probe.textAsked, 1);
}

}  // namespace
}  // namespace kelm
