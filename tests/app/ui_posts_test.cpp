// Worker-to-UI posting: one coalesced state message, re-arming after a failed post, and
// heap payloads that are freed whether or not the post reached the window.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/ui_posts.h"

namespace kelm {
namespace {

LRESULT CALLBACK TakingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kMsgUserText) {
    TakeUserText(lParam);
    return 0;
  }
  if (message == kMsgTransfer) {
    TakeTransfer(lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &TakingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"tavro.PostsTest";
  RegisterClassW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

int CountQueued(HWND window, UINT message) {
  int count = 0;
  MSG msg;
  while (PeekMessageW(&msg, window, message, message, PM_REMOVE)) ++count;
  return count;
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

TEST(StatePushPosterTest, ManyChangesWhileTheUiWaitsQueueOneMessage) {
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  StatePushPoster poster;
  poster.SetWindow(window);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) poster.Changed();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CountQueued(window, kMsgStateChanged), 1);
  // The handler takes the flag before it reads the state: a later change posts again.
  poster.Taken();
  std::thread([&] { poster.Changed(); }).join();
  EXPECT_EQ(CountQueued(window, kMsgStateChanged), 1);
  poster.Changed();  // still pending: nothing new
  EXPECT_EQ(CountQueued(window, kMsgStateChanged), 0);
  DestroyWindow(window);
}

TEST(StatePushPosterTest, AFailedPostReArmsTheFlag) {
  HWND window = MakeWindow();
  StatePushPoster poster;
  poster.SetWindow(window);
  DestroyWindow(window);
  poster.Changed();
  EXPECT_FALSE(poster.Pending());
  HWND live = MakeWindow();
  poster.SetWindow(live);
  poster.Changed();
  EXPECT_TRUE(poster.Pending());
  EXPECT_EQ(CountQueued(live, kMsgStateChanged), 1);
  DestroyWindow(live);
}

TEST(UiPayloadTest, PayloadsAreFreedWhetherOrNotThePostArrives) {
  HWND live = MakeWindow();
  HWND gone = MakeWindow();
  DestroyWindow(gone);
  const int64_t before = LiveUiPayloads();
  int failed = 0;
  for (int i = 0; i < 100000; ++i) {
    HWND target = i % 2 == 0 ? live : gone;
    const bool posted = i % 4 < 2 ? PostUserText(target, "text \xC3\xA9 " + std::to_string(i))
                                  : PostTransfer(target, UiTransferRecord{"Pad", TransferEvent{0, 1, "a.txt", L"C:\\a", 5}});
    if (!posted) ++failed;
    if (i % 1000 == 999) Pump();
  }
  Pump();
  EXPECT_EQ(failed, 50000);
  EXPECT_EQ(LiveUiPayloads() - before, 0);
  DestroyWindow(live);
}

}  // namespace
}  // namespace kelm
