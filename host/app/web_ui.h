#pragma once
// The host of the window's page in a WebView2 control. The control's runtime is found
// through WebView2Loader.dll beside the program; without it the user is told once per
// showing and the window paints its own text.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <memory>

#include <nlohmann/json.hpp>
#include <wrl/client.h>

#include "app/web_ui_rules.h"
#include "app/webview2_api.h"
#include "core/unique_any.h"

namespace kelm {

inline constexpr wchar_t kWebViewDownloadUrl[] = L"https://developer.microsoft.com/microsoft-edge/webview2/";

// The two dialog calls of the missing-runtime notice; tests replace them.
struct WebUiDialogCalls {
  std::function<HRESULT(const TASKDIALOGCONFIG*)> taskDialog;
  std::function<int(HWND, const wchar_t*, const wchar_t*, UINT)> messageBox;
};

class WebUi {
 public:
  struct Callbacks {
    std::function<void()> ready;
    std::function<void(const std::string& command, const nlohmann::json& message)> command;
    std::function<void(uint64_t sessionId, std::vector<std::wstring> files)> droppedFiles;
    std::function<void()> creationFailed;
  };

  WebUi(HINSTANCE instance, bool developer, Callbacks callbacks);
  ~WebUi();
  WebUi(const WebUi&) = delete;
  WebUi& operator=(const WebUi&) = delete;

  // Replaces the calls that are set in `calls`.
  void SetDialogCalls(WebUiDialogCalls calls);
  // Tests load their loader from elsewhere; by default it is the one beside the program.
  void SetLoaderPath(std::wstring path) { loaderPath_ = std::move(path); }
  // How links leave the page; by default the shell opens them.
  void SetOpenCall(std::function<void(const std::wstring&)> open) { open_ = std::move(open); }

  // Each time the window is shown.
  void Attach(HWND window, bool backdrop);
  void Create();
  void SetVisible(bool visible);
  void UpdateBounds();
  void NotifyMoved();
  void SetDarkBackground(bool dark);
  void PostJson(const nlohmann::json& message);
  void PostJsonText(const std::string& text);
  void Close();

  bool RuntimeMissing() const { return runtimeMissing_; }
  bool PageReady() const { return pageReady_; }
  bool HasView() const { return hasView_; }
  bool DialogOpen() const { return dialogOpen_; }

  // The missing-runtime notice; MessageBoxW when the task dialog cannot be shown.
  void ShowWebViewMissingDialog(HWND owner);

 private:
  using Module = UniqueAny<HMODULE, &FreeLibrary>;
  template <typename T>
  using Com = Microsoft::WRL::ComPtr<T>;

  // hr 0: the runtime is missing.
  void OnInitFailure(HRESULT hr);
  // The installed runtime's version, empty when there is none.
  std::wstring InstalledRuntimeVersion();
  void CreateEnvironment();
  void OnEnvironmentCreated(HRESULT hr, webview2::ICoreWebView2Environment* environment);
  void OnControllerCreated(HRESULT hr, webview2::ICoreWebView2Controller* controller);
  void ApplyBackground(bool dark);
  void ApplySettings();
  void RegisterEvents();
  void LoadPage();
  void OpenOutside(const std::wstring& uri);
  void OnWebMessage(webview2::ICoreWebView2WebMessageReceivedEventArgs* args);
  void OnProcessFailed(int32_t kind);
  std::vector<std::wstring> DroppedPaths(webview2::ICoreWebView2WebMessageReceivedEventArgs* args);
  void ReleaseView();

  HINSTANCE instance_;
  bool developer_;
  Callbacks callbacks_;
  WebUiDialogCalls dialogs_;
  HWND window_ = nullptr;
  bool backdrop_ = false;
  bool creating_ = false;
  bool runtimeMissing_ = false;
  bool pageReady_ = false;
  bool hasView_ = false;
  bool dialogOpen_ = false;
  std::wstring loaderPath_;
  std::function<void(const std::wstring&)> open_;
  Module loader_;
  Com<webview2::ICoreWebView2Environment> environment_;
  Com<webview2::ICoreWebView2Controller> controller_;
  Com<webview2::ICoreWebView2> view_;
  RecreateLimit recreations_;
  // Completions and events hold this weakly: once the host is closed or re-created,
  // a late one from the old view finds it gone or of another generation and is dropped.
  std::shared_ptr<WebUi*> alive_ = std::make_shared<WebUi*>(this);
  uint64_t generation_ = 0;
};

}  // namespace kelm
