// Clipboard synchronisation: the clipboard thread, its window and the two directions.
#include "desktop/clipboard_sync.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/text.h"
#include "desktop/clipboard_image.h"
#include "desktop/dib_layout.h"
#include "desktop/global_memory.h"

namespace kelm {
namespace {

constexpr wchar_t kWindowClass[] = L"tavro.Clipboard";
constexpr int kOpenAttempts = 10;
constexpr DWORD kOpenRetryMs = 20;
constexpr DWORD kStartWaitMs = 5000;

UINT ExcludeFormat() {
  static const UINT format = RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
  return format;
}

UINT HistoryFormat() {
  static const UINT format = RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
  return format;
}

// Content its owner keeps out of clipboard history carries the value 0.
bool KeptOutOfHistory() {
  const UINT format = HistoryFormat();
  if (format == 0 || !IsClipboardFormatAvailable(format)) return false;
  HANDLE data = GetClipboardData(format);
  if (data == nullptr || GlobalSize(data) < sizeof(uint32_t)) return false;
  GlobalLockGuard lock(data);
  if (!lock.Ok()) return false;
  uint32_t value = 0;
  std::memcpy(&value, lock.Data(), sizeof value);
  return value == 0;
}

// The clipboard's Unicode text as UTF-8; empty when unreadable or above the bound.
std::vector<uint8_t> ReadText() {
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  if (data == nullptr) return {};
  GlobalLockGuard lock(data);
  if (!lock.Ok()) return {};
  const size_t units = wcsnlen(static_cast<const wchar_t*>(lock.Data()), GlobalSize(data) / sizeof(wchar_t));
  // Every UTF-16 unit takes at least one UTF-8 byte: a longer text cannot fit.
  if (units == 0 || units > msg::kMaxClipboardBytes) return {};
  try {
    const std::string utf8 = WideToUtf8(std::wstring_view(static_cast<const wchar_t*>(lock.Data()), units));
    if (utf8.empty() || utf8.size() > msg::kMaxClipboardBytes) return {};
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::vector<uint8_t> ReadPngBlock() {
  HANDLE data = GetClipboardData(PngClipboardFormat());
  if (data == nullptr) return {};
  const size_t size = GlobalSize(data);
  if (size > msg::kMaxClipboardBytes) return {};
  return BytesFromGlobal(data, size);
}

// Hands the block to the clipboard, which owns it from then on; freed when refused.
void PutOnClipboard(UINT format, GlobalMemory block) {
  if (!block) return;
  if (SetClipboardData(format, block.Get()) != nullptr) block.Release();
}

}  // namespace

UINT PngClipboardFormat() {
  static const UINT format = RegisterClipboardFormatW(L"PNG");
  return format;
}

void ClipboardSync::Start(ChangeCallback onChange) {
  if (thread_.joinable()) return;
  onChange_ = std::move(onChange);
  threadEnded_ = false;
  threadId_ = 0;
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([this, started] { ThreadMain(started); });
  if (started != nullptr) {
    WaitForSingleObject(started, kStartWaitMs);
    CloseHandle(started);
  }
}

void ClipboardSync::Stop() {
  if (!thread_.joinable()) return;
  // The thread makes its queue before it says it runs; should Start have given up
  // waiting, keep posting until the queue exists or the thread is gone.
  while (!threadEnded_) {
    const DWORD id = threadId_.load();
    if (id != 0 && PostThreadMessageW(id, WM_QUIT, 0, 0)) break;
    Sleep(5);
  }
  thread_.join();
}

void ClipboardSync::SetFromDevice(proto::ClipboardFormat format, std::vector<uint8_t> data) {
  auto record = std::make_unique<DeviceContent>();
  record->format = static_cast<uint8_t>(format);
  record->data = std::move(data);
  std::unique_ptr<DeviceContent> older;  // freed outside the lock
  std::lock_guard lock(mutex_);
  if (window_ == nullptr) return;
  // One slot, not one message each: a device can send far faster than images decode.
  older = std::exchange(pending_, std::move(record));
  if (!posted_) posted_ = PostMessageW(window_, kDeviceContentMessage, 0, 0) != FALSE;
}

size_t ClipboardSync::PendingFromDevice() {
  std::lock_guard lock(mutex_);
  return pending_ ? 1 : 0;
}

void ClipboardSync::ThreadMain(HANDLE started) {
  MSG m;
  PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue exists before Stop can post
  threadId_ = GetCurrentThreadId();
  if (started != nullptr) SetEvent(started);
  ComApartment com = EnterComApartment(COINIT_APARTMENTTHREADED);

  WNDCLASSW wc{};
  wc.lpfnWndProc = &ClipboardSync::WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kWindowClass;
  RegisterClassW(&wc);  // still registered from an earlier start: fine
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
  if (window == nullptr || !AddClipboardFormatListener(window)) {
    LogWarn("Clipboard sync unavailable ({})", GetLastError());
    if (window != nullptr) DestroyWindow(window);
    com.Reset();
    threadEnded_ = true;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    window_ = window;
  }
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    DispatchMessageW(&m);
  }
  std::unique_ptr<DeviceContent> left;
  {
    std::lock_guard lock(mutex_);
    window_ = nullptr;  // from now on SetFromDevice drops content
    left = std::move(pending_);
    posted_ = false;
  }
  left.reset();  // content still waiting is freed, never set
  RemoveClipboardFormatListener(window);
  DestroyWindow(window);
  com.Reset();
  threadEnded_ = true;
}

LRESULT CALLBACK ClipboardSync::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, message, wParam, lParam);
  }
  auto* self = reinterpret_cast<ClipboardSync*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CLIPBOARDUPDATE:
      SetTimer(window, kDebounceTimer, kDebounceMs, nullptr);  // a burst is read once, after the last
      return 0;
    case WM_TIMER:
      if (wParam == kDebounceTimer) {
        KillTimer(window, kDebounceTimer);
        if (self != nullptr) self->OnLocalChange();
      }
      return 0;
    case kDeviceContentMessage: {
      if (self == nullptr) return 0;
      std::unique_ptr<DeviceContent> record;
      {
        std::lock_guard lock(self->mutex_);
        record = std::move(self->pending_);
        self->posted_ = false;
      }
      if (record) self->SetClipboard(*record);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool ClipboardSync::OpenWithRetry() {
  HWND window = nullptr;
  {
    std::lock_guard lock(mutex_);
    window = window_;
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (attempt != 0) Sleep(kOpenRetryMs);
    if (OpenClipboard(window)) return true;
  }
  return false;
}

void ClipboardSync::OnLocalChange() {
  if (GetClipboardSequenceNumber() == ownSequence_) return;  // still what the device sent
  if (!OpenWithRetry()) return;
  std::vector<uint8_t> content;
  proto::ClipboardFormat format = proto::ClipboardFormat::Text;
  const UINT exclude = ExcludeFormat();
  if (!(exclude != 0 && IsClipboardFormatAvailable(exclude)) && !KeptOutOfHistory()) {
    if (IsClipboardFormatAvailable(CF_UNICODETEXT)) {
      content = ReadText();
    } else if (PngClipboardFormat() != 0 && IsClipboardFormatAvailable(PngClipboardFormat())) {
      format = proto::ClipboardFormat::Image;
      content = ReadPngBlock();
    } else if (IsClipboardFormatAvailable(CF_BITMAP)) {
      format = proto::ClipboardFormat::Image;
      content = EncodePng(static_cast<HBITMAP>(GetClipboardData(CF_BITMAP)));
    }
  }
  CloseClipboard();
  if (content.empty() || content.size() > msg::kMaxClipboardBytes) return;
  LogDebug("Clipboard changed: {} ({} bytes)", format == proto::ClipboardFormat::Text ? "text" : "image",
           content.size());
  if (onChange_) onChange_(format, content);
}

void ClipboardSync::SetClipboard(const DeviceContent& content) {
  if (content.data.empty()) return;
  GlobalMemory dib;
  if (content.format == static_cast<uint8_t>(proto::ClipboardFormat::Image)) {
    // Decoded before the clipboard is touched: what is not a PNG within the bounds sets
    // nothing, and the PC's clipboard keeps what it held.
    dib = PngToDib(content.data);
    if (!dib) {
      LogDebug("Device image not set: not a PNG within {} megapixels", kMaxClipboardImagePixels / 1000000);
      return;
    }
  }
  if (!OpenWithRetry()) return;
  EmptyClipboard();
  if (content.format == static_cast<uint8_t>(proto::ClipboardFormat::Text)) {
    try {
      std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(content.data.data()),
                                                      content.data.size()));
      text.push_back(L'\0');
      PutOnClipboard(CF_UNICODETEXT,
                     GlobalFromBytes(std::span(reinterpret_cast<const uint8_t*>(text.data()),
                                               text.size() * sizeof(wchar_t))));
    } catch (const std::bad_alloc&) {
      // nothing set; the clipboard stays empty
    }
  } else if (content.format == static_cast<uint8_t>(proto::ClipboardFormat::Image)) {
    PutOnClipboard(PngClipboardFormat(), GlobalFromBytes(content.data));
    PutOnClipboard(CF_DIB, std::move(dib));
  }
  CloseClipboard();
  ownSequence_ = GetClipboardSequenceNumber();
  LogDebug("Clipboard set from the device ({} bytes)", content.data.size());
}

}  // namespace kelm
