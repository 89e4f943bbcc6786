// The lock state: the session query, and under Wine the LockedSession stand-in, here read
// from this test's own key.
#include "media/session_lock.h"

#include <gtest/gtest.h>

#include "core/wine_detect.h"
#include "support/lock_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

TEST(SessionLockTest, StandInFollowsLockedSession) {
  if (!RunningUnderWine()) GTEST_SKIP() << "the stand-in runs only under Wine";
  test::TempDir dir;
  test::LogCapture log(dir.File(L"lock.log"));
  test::TestLockState state;
  EXPECT_FALSE(IsSessionLocked(1)) << "no value: not locked";
  ASSERT_TRUE(state.Lock(1));
  EXPECT_TRUE(IsSessionLocked(1));
  EXPECT_FALSE(IsSessionLocked(2));
  ASSERT_TRUE(state.Lock(2));
  EXPECT_FALSE(IsSessionLocked(1));
  EXPECT_TRUE(IsSessionLocked(2));
  ASSERT_TRUE(state.Unlock());
  EXPECT_FALSE(IsSessionLocked(1));
  EXPECT_FALSE(IsSessionLocked(2));
  const std::string text = log.Text();
  EXPECT_EQ(test::LogLines(text, "INFO", "(Wine stand-in)"), 1u) << text;
  EXPECT_EQ(test::LogLines(text, "INFO", "Session lock state:"), 1u) << text;
  EXPECT_NE(text.find("HKCU\\" + std::string(state.KeyPath().begin(), state.KeyPath().end()) + "\\LockedSession"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace kelm
