// WebView2 page host: runtime discovery through the loader beside the program and
// the missing-runtime notice.
#include "app/web_ui.h"

#include <objbase.h>

#include "app/shell_actions.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"

namespace kelm {
namespace {

constexpr wchar_t kLoaderName[] = L"WebView2Loader.dll";

HRESULT CALLBACK DialogCallback(HWND, UINT notification, WPARAM, LPARAM lParam, LONG_PTR) {
  if (notification == TDN_HYPERLINK_CLICKED && lParam != 0) {
    ShellOpen(reinterpret_cast<const wchar_t*>(lParam));
  }
  return S_OK;
}

}  // namespace

WebUi::WebUi(HINSTANCE instance, bool developer, Callbacks callbacks)
    : instance_(instance),
      developer_(developer),
      callbacks_(std::move(callbacks)),
      dialogs_{[](const TASKDIALOGCONFIG* config) { return TaskDialogIndirect(config, nullptr, nullptr, nullptr); },
               [](HWND owner, const wchar_t* text, const wchar_t* title, UINT type) {
                 return MessageBoxW(owner, text, title, type);
               }} {}

void WebUi::SetDialogCalls(WebUiDialogCalls calls) {
  if (calls.taskDialog) dialogs_.taskDialog = std::move(calls.taskDialog);
  if (calls.messageBox) dialogs_.messageBox = std::move(calls.messageBox);
}

WebUi::~WebUi() {
  Close();
  callbacks_ = {};
}

std::wstring WebUi::InstalledRuntimeVersion() {
  if (!loader_) {
    // Only the loader shipped beside the program: never the current folder or PATH.
    const std::wstring path = ExecutableDir() + L"\\" + kLoaderName;
    loader_.Reset(LoadLibraryExW(path.c_str(), nullptr,
                                 LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!loader_) return {};
  }
  using GetVersionFn = HRESULT(STDAPICALLTYPE*)(PCWSTR, LPWSTR*);
  auto getVersion = reinterpret_cast<GetVersionFn>(reinterpret_cast<void (*)()>(GetProcAddress(loader_.Get(), "GetAvailableCoreWebView2BrowserVersionString")));
  if (getVersion == nullptr) return {};
  LPWSTR version = nullptr;
  if (FAILED(getVersion(nullptr, &version)) || version == nullptr) return {};
  std::wstring text(version);
  CoTaskMemFree(version);
  return text;
}

void WebUi::Attach(HWND window, bool backdrop) {
  window_ = window;
  backdrop_ = backdrop;
  // The notice runs a nested message loop: a click meanwhile must not open another.
  if (dialogOpen_) return;
  if (!creating_) Create();
  if (creating_ && runtimeMissing_) OnInitFailure(0);
}

void WebUi::Create() {
  creating_ = true;
  const std::wstring version = InstalledRuntimeVersion();
  if (version.empty()) {
    runtimeMissing_ = true;
    LogWarn("Microsoft Edge WebView2 Runtime not found");
    return;
  }
  runtimeMissing_ = false;
  LogInfo("Microsoft Edge WebView2 Runtime {} found", WideToUtf8(version));
}

void WebUi::OnInitFailure(HRESULT hr) {
  if (hr != 0) LogError("WebView2 initialization failed: {}", ErrorText(static_cast<uint32_t>(hr)));
  const bool showDialog = !(runtimeMissing_ && hr != 0);
  creating_ = false;
  runtimeMissing_ = true;
  hasView_ = false;
  pageReady_ = false;
  if (callbacks_.creationFailed) callbacks_.creationFailed();
  if (!showDialog) return;
  ShowWebViewMissingDialog(window_ != nullptr && IsWindowVisible(window_) ? window_ : nullptr);
}

void WebUi::ShowWebViewMissingDialog(HWND owner) {
  dialogOpen_ = true;
  const std::wstring content =
      std::wstring(L"tavro uses the WebView2 Runtime to show its window. <a href=\"") + kWebViewDownloadUrl +
      L"\">Download and install it</a>, then open tavro again.\n\nTablets can still connect: tavro keeps running "
      L"in the system tray.";
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.hwndParent = owner;
  config.hInstance = instance_;
  config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
  config.dwCommonButtons = TDCBF_OK_BUTTON;
  config.pszWindowTitle = L"tavro";
  config.pszMainIcon = TD_WARNING_ICON;
  config.pszMainInstruction = L"Microsoft Edge WebView2 Runtime is required";
  config.pszContent = content.c_str();
  config.pfCallback = &DialogCallback;
  if (FAILED(dialogs_.taskDialog(&config))) {
    const std::wstring text = std::wstring(L"tavro needs the Microsoft Edge WebView2 Runtime to show its window.\n\n"
                                           L"Install it from:\n") +
                              kWebViewDownloadUrl + L"\n\ntavro keeps running in the system tray.";
    dialogs_.messageBox(owner, text.c_str(), L"tavro", MB_ICONWARNING | MB_OK);
  }
  dialogOpen_ = false;
}

// Without a view these have nothing to act on.
void WebUi::SetVisible(bool) {}
void WebUi::UpdateBounds() {}
void WebUi::NotifyMoved() {}
void WebUi::SetDarkBackground(bool) {}

void WebUi::PostJson(const nlohmann::json& message) { PostJsonText(message.dump()); }

void WebUi::PostJsonText(const std::string&) {
  if (!pageReady_ || !hasView_) return;
}

void WebUi::Close() {
  pageReady_ = false;
  hasView_ = false;
  creating_ = false;
}

}  // namespace kelm
