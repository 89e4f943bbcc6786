// A program built from the core and desktop libraries alone (as the lock agent is)
// injects a key into a window of another process.
#include <gtest/gtest.h>

#include "desktop/input_injector.h"
#include "support/input_payloads.h"
#include "support/input_target_window.h"

namespace kelm {
namespace {

constexpr uint8_t kKey = 12, kPointer = 15;

TEST(LockAgentShape, InjectsAKeyWithOnlyCoreAndDesktop) {
  test::InputTargetWindow target;
  ASSERT_TRUE(target.Start()) << target.Output();
  ASSERT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 1920);
  ASSERT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1080);
  InputInjector injector;
  injector.SetTargetRect(RECT{0, 0, 1920, 1080});
  const RECT& r = target.edit;
  const float x = ((r.left + r.right) / 2 + 0.5f) / 1920.0f;
  const float y = ((r.top + r.bottom) / 2 + 0.5f) / 1080.0f;
  injector.HandleMessage(kPointer, test::PointerPayload(1, 0, x, y));
  injector.HandleMessage(kPointer, test::PointerPayload(2, 0, x, y));
  ASSERT_TRUE(target.WaitLine("focus edit")) << target.Output();
  injector.HandleMessage(kKey, test::KeyPayload('K', true, false));
  injector.HandleMessage(kKey, test::KeyPayload('K', false, false));
  EXPECT_TRUE(target.WaitLine("text edit 6b")) << target.Output();
}

}  // namespace
}  // namespace kelm
