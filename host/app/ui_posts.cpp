// Worker-to-UI posts with heap payloads and the coalesced state-changed message.
#include "app/ui_posts.h"

#include "core/text.h"

namespace kelm {
namespace {

std::atomic<int64_t> g_livePayloads{0};

template <typename T>
bool PostOwned(HWND window, UINT message, std::unique_ptr<T> payload) {
  g_livePayloads.fetch_add(1);
  if (PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(payload.get()))) {
    payload.release();  // the window procedure owns it now
    return true;
  }
  g_livePayloads.fetch_sub(1);
  return false;
}

template <typename T>
std::unique_ptr<T> TakeOwned(LPARAM lParam) {
  if (lParam == 0) return nullptr;
  g_livePayloads.fetch_sub(1);
  return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}

}  // namespace

void StatePushPoster::Changed() {
  if (pending_.exchange(true)) return;
  // A failed post would leave the flag set and every later change unposted.
  if (!PostMessageW(window_.load(), kMsgStateChanged, 0, 0)) pending_.store(false);
}

bool PostUserText(HWND window, const std::string& utf8) {
  return PostOwned(window, kMsgUserText, std::make_unique<std::wstring>(Utf8ToWide(utf8)));
}

bool PostTransfer(HWND window, UiTransferRecord record) {
  return PostOwned(window, kMsgTransfer, std::make_unique<UiTransferRecord>(std::move(record)));
}

std::unique_ptr<std::wstring> TakeUserText(LPARAM lParam) { return TakeOwned<std::wstring>(lParam); }
std::unique_ptr<UiTransferRecord> TakeTransfer(LPARAM lParam) { return TakeOwned<UiTransferRecord>(lParam); }

int64_t LiveUiPayloads() { return g_livePayloads.load(); }

}  // namespace kelm
