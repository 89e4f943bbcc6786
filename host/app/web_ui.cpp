// WebView2 page host: runtime discovery through the loader beside the program, the
// missing-runtime notice, the view with its settings and events, the page resource,
// posting to the page and recovery when the browser's processes fail.
#include "app/web_ui.h"

#include <objbase.h>

#include <atomic>
#include <utility>

#include "app/app_texts.h"
#include "app/page_state.h"
#include "app/shell_actions.h"
#include "app/theme.h"
#include "core/com_apartment.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"

namespace kelm {
namespace {

using namespace webview2;

constexpr wchar_t kLoaderName[] = L"WebView2Loader.dll";
constexpr int kPageResourceId = 101;
constexpr wchar_t kBackgroundVariable[] = L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR";
constexpr Color kTransparent{0, 0, 0, 0};

// The window's own background colours, opaque.
constexpr Color Opaque(COLORREF c) { return Color{0xFF, GetRValue(c), GetGValue(c), GetBValue(c)}; }

HRESULT CALLBACK DialogCallback(HWND, UINT notification, WPARAM, LPARAM lParam, LONG_PTR) {
  if (notification == TDN_HYPERLINK_CLICKED && lParam != 0) {
    ShellOpen(reinterpret_cast<const wchar_t*>(lParam));
  }
  return S_OK;
}

// One COM handler around a callable: `Interface` has Invoke(A, B) in slot 3.
template <typename Interface, typename A, typename B>
class Handler final : public Interface {
 public:
  using Fn = std::function<void(A, B)>;
  static Microsoft::WRL::ComPtr<Interface> Make(const IID& iid, Fn fn) {
    Microsoft::WRL::ComPtr<Interface> p;
    p.Attach(new Handler(iid, std::move(fn)));  // owned by its reference count
    return p;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == iid_) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(A a, B b) override {
    fn_(a, b);
    return S_OK;
  }

 private:
  Handler(const IID& iid, Fn fn) : iid_(iid), fn_(std::move(fn)) {}
  std::atomic<ULONG> refs_{1};
  IID iid_;
  Fn fn_;
};

// The text's owner from here on: copied out, then freed with the task allocator.
std::wstring TakeCoText(LPWSTR text) {
  const CoTaskMem<wchar_t> owned(text);
  return owned ? std::wstring(owned.Get()) : std::wstring();
}

template <typename T>
Microsoft::WRL::ComPtr<T> Query(IUnknown* from, const IID& iid) {
  Microsoft::WRL::ComPtr<T> out;
  if (from != nullptr) from->QueryInterface(iid, reinterpret_cast<void**>(out.GetAddressOf()));
  return out;
}

std::string PageResource(HINSTANCE instance) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(kPageResourceId), MAKEINTRESOURCEW(10));
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(instance, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return {};
  return std::string(static_cast<const char*>(bytes), SizeofResource(instance, found));
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
  alive_.reset();
  callbacks_ = {};
}

std::wstring WebUi::InstalledRuntimeVersion() {
  if (!loader_) {
    // Only the loader shipped beside the program: never the current folder or PATH.
    const std::wstring path = loaderPath_.empty() ? ExecutableDir() + L"\\" + kLoaderName : loaderPath_;
    loader_.Reset(LoadLibraryExW(path.c_str(), nullptr,
                                 LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!loader_) return {};
  }
  auto getVersion = reinterpret_cast<GetAvailableBrowserVersionStringFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(loader_.Get(), kGetAvailableBrowserVersionStringExport)));
  if (getVersion == nullptr) return {};
  LPWSTR version = nullptr;
  if (FAILED(getVersion(nullptr, &version)) || version == nullptr) return {};
  return TakeCoText(version);
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
  CreateEnvironment();
}

void WebUi::CreateEnvironment() {
  // The runtime paints this before the page: transparent only over the system backdrop.
  SetEnvironmentVariableW(kBackgroundVariable, backdrop_ ? L"0" : nullptr);
  const std::wstring userData = LocalDataDir() + L"\\WebView2";
  auto create = reinterpret_cast<CreateEnvironmentWithOptionsFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(loader_.Get(), kCreateEnvironmentWithOptionsExport)));
  if (create == nullptr) {
    OnInitFailure(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    return;
  }
  const uint64_t generation = ++generation_;
  auto done = Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>::Make(
      IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
      [alive = std::weak_ptr<WebUi*>(alive_), generation](HRESULT hr, ICoreWebView2Environment* environment) {
        const auto self = alive.lock();
        if (self && (*self)->generation_ == generation) (*self)->OnEnvironmentCreated(hr, environment);
      });
  const HRESULT hr = create(nullptr, userData.c_str(), nullptr, done.Get());
  if (FAILED(hr)) OnInitFailure(hr);
}

void WebUi::OnEnvironmentCreated(HRESULT hr, ICoreWebView2Environment* environment) {
  if (FAILED(hr) || environment == nullptr) {
    OnInitFailure(FAILED(hr) ? hr : E_POINTER);
    return;
  }
  environment_ = environment;
  const uint64_t generation = generation_;
  auto done = Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>::Make(
      IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
      [alive = std::weak_ptr<WebUi*>(alive_), generation](HRESULT result, ICoreWebView2Controller* controller) {
        const auto self = alive.lock();
        if (self && (*self)->generation_ == generation) (*self)->OnControllerCreated(result, controller);
      });
  const HRESULT call = environment_->CreateCoreWebView2Controller(window_, done.Get());
  if (FAILED(call)) OnInitFailure(call);
}

void WebUi::OnControllerCreated(HRESULT hr, ICoreWebView2Controller* controller) {
  if (FAILED(hr) || controller == nullptr) {
    OnInitFailure(FAILED(hr) ? hr : E_POINTER);
    return;
  }
  controller_ = controller;
  Com<ICoreWebView2> view;
  if (FAILED(controller_->get_CoreWebView2(view.GetAddressOf())) || !view) {
    OnInitFailure(E_NOINTERFACE);
    return;
  }
  view_ = view;
  hasView_ = true;
  runtimeMissing_ = false;
  ApplyBackground(IsDarkMode());
  if (auto controller4 = Query<ICoreWebView2Controller4>(controller_.Get(), IID_ICoreWebView2Controller4)) {
    controller4->put_AllowExternalDrop(FALSE);
  }
  ApplySettings();
  RegisterEvents();
  UpdateBounds();
  controller_->put_IsVisible(window_ != nullptr && IsWindowVisible(window_) ? TRUE : FALSE);
  LoadPage();
}

void WebUi::ApplyBackground(bool dark) {
  auto controller2 = Query<ICoreWebView2Controller2>(controller_.Get(), IID_ICoreWebView2Controller2);
  if (!controller2) return;
  controller2->put_DefaultBackgroundColor(backdrop_ ? kTransparent
                                                    : Opaque(dark ? kDarkBackground : kLightBackground));
}

void WebUi::ApplySettings() {
  Com<ICoreWebView2Settings> settings;
  if (FAILED(view_->get_Settings(settings.GetAddressOf())) || !settings) return;
  const BOOL developer = developer_ ? TRUE : FALSE;
  settings->put_AreDevToolsEnabled(developer);
  settings->put_AreDefaultContextMenusEnabled(developer);
  settings->put_IsZoomControlEnabled(FALSE);
  settings->put_IsStatusBarEnabled(FALSE);
  settings->put_IsBuiltInErrorPageEnabled(FALSE);
  if (auto s3 = Query<ICoreWebView2Settings3>(settings.Get(), IID_ICoreWebView2Settings3)) {
    s3->put_AreBrowserAcceleratorKeysEnabled(developer);
  }
  if (auto s5 = Query<ICoreWebView2Settings5>(settings.Get(), IID_ICoreWebView2Settings5)) {
    s5->put_IsPinchZoomEnabled(FALSE);
  }
  if (auto s6 = Query<ICoreWebView2Settings6>(settings.Get(), IID_ICoreWebView2Settings6)) {
    s6->put_IsSwipeNavigationEnabled(FALSE);
  }
}

void WebUi::RegisterEvents() {
  const std::weak_ptr<WebUi*> alive = alive_;
  const uint64_t generation = generation_;
  // The handler runs only while this host and this view are current.
  auto current = [alive, generation]() -> WebUi* {
    const auto self = alive.lock();
    return self && (*self)->generation_ == generation ? *self : nullptr;
  };
  EventToken token = 0;
  view_->add_WebMessageReceived(
      Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>::Make(
          IID_ICoreWebView2WebMessageReceivedEventHandler,
          [current](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
            if (WebUi* self = current()) self->OnWebMessage(args);
          })
          .Get(),
      &token);
  view_->add_NavigationStarting(
      Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>::Make(
          IID_ICoreWebView2NavigationStartingEventHandler,
          [current](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
            LPWSTR raw = nullptr;
            const std::wstring uri = SUCCEEDED(args->get_Uri(&raw)) ? TakeCoText(raw) : std::wstring();
            if (StaysInPage(uri)) return;
            args->put_Cancel(TRUE);
            if (WebUi* self = current()) self->OpenOutside(uri);
          })
          .Get(),
      &token);
  view_->add_NewWindowRequested(
      Handler<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs*>::Make(
          IID_ICoreWebView2NewWindowRequestedEventHandler,
          [current](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
            args->put_Handled(TRUE);
            LPWSTR raw = nullptr;
            const std::wstring uri = SUCCEEDED(args->get_Uri(&raw)) ? TakeCoText(raw) : std::wstring();
            if (WebUi* self = current()) self->OpenOutside(uri);
          })
          .Get(),
      &token);
  view_->add_ProcessFailed(
      Handler<ICoreWebView2ProcessFailedEventHandler, ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*>::Make(
          IID_ICoreWebView2ProcessFailedEventHandler,
          [current](ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
            int32_t kind = -1;
            args->get_ProcessFailedKind(&kind);
            if (WebUi* self = current()) self->OnProcessFailed(kind);
          })
          .Get(),
      &token);
}

// Links leave the page only for the few schemes the user's browser or Settings handle.
void WebUi::OpenOutside(const std::wstring& uri) {
  if (!IsAllowedExternalUrl(uri)) return;
  if (open_) {
    open_(uri);
  } else {
    ShellOpen(uri);
  }
}

void WebUi::LoadPage() {
  pageReady_ = false;
  view_->NavigateToString(PageWithBackdrop(Utf8ToWide(PageResource(instance_)), backdrop_).c_str());
}

void WebUi::OnWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
  std::string text;
  try {
    LPWSTR raw = nullptr;
    if (FAILED(args->get_WebMessageAsJson(&raw))) return;
    text = WideToUtf8(TakeCoText(raw));
    const nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object()) return;
    const std::string command = message.value("cmd", std::string());
    if (command == "ready") {
      pageReady_ = true;
      if (callbacks_.ready) callbacks_.ready();
    } else if (command == "dropFiles") {
      if (!callbacks_.droppedFiles) return;
      const uint64_t id = message.value("id", uint64_t{0});
      callbacks_.droppedFiles(id, DroppedPaths(args));
    } else if (callbacks_.command) {
      callbacks_.command(command, message);
    }
  } catch (const std::exception& e) {
    LogWarn("UI message '{}': {}", text, e.what());
  }
}

std::vector<std::wstring> WebUi::DroppedPaths(ICoreWebView2WebMessageReceivedEventArgs* args) {
  std::vector<std::wstring> paths;
  auto args2 = Query<ICoreWebView2WebMessageReceivedEventArgs2>(args, IID_ICoreWebView2WebMessageReceivedEventArgs2);
  Com<ICoreWebView2ObjectCollectionView> objects;
  UINT32 count = 0;
  if (!args2 || FAILED(args2->get_AdditionalObjects(objects.GetAddressOf())) || !objects ||
      FAILED(objects->get_Count(&count))) {
    return paths;
  }
  for (UINT32 i = 0; i < count; ++i) {
    Com<IUnknown> item;
    if (FAILED(objects->GetValueAtIndex(i, item.GetAddressOf())) || !item) continue;
    auto file = Query<ICoreWebView2File>(item.Get(), IID_ICoreWebView2File);
    LPWSTR raw = nullptr;
    if (file && SUCCEEDED(file->get_Path(&raw))) paths.push_back(TakeCoText(raw));
  }
  return paths;
}

void WebUi::OnProcessFailed(int32_t kind) {
  LogWarn("WebView2 process failed (kind {})", kind);
  if (kind == kBrowserProcessExited) {
    ReleaseView();
    creating_ = false;
    // A browser that dies at start would otherwise be re-created forever.
    if (!recreations_.Allow(RecreateLimit::Clock::now())) {
      OnInitFailure(HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED));
      return;
    }
    if (window_ != nullptr && IsWindowVisible(window_)) Create();
  } else if (kind == kRenderProcessExited || kind == kRenderProcessUnresponsive) {
    pageReady_ = false;
    if (view_) view_->Reload();
  }
}

void WebUi::OnInitFailure(HRESULT hr) {
  if (hr != 0) LogError("WebView2 initialization failed: {}", ErrorText(hr));
  const bool showDialog = !(runtimeMissing_ && hr != 0);
  creating_ = false;
  runtimeMissing_ = true;
  ReleaseView();
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

void WebUi::SetVisible(bool visible) {
  if (controller_) controller_->put_IsVisible(visible ? TRUE : FALSE);
}

void WebUi::UpdateBounds() {
  RECT client{};
  if (controller_ && window_ != nullptr && GetClientRect(window_, &client)) controller_->put_Bounds(client);
}

void WebUi::NotifyMoved() {
  if (controller_) controller_->NotifyParentWindowPositionChanged();
}

void WebUi::SetDarkBackground(bool dark) { ApplyBackground(dark); }

void WebUi::PostJson(const nlohmann::json& message) { PostJsonText(PageJsonText(message)); }

void WebUi::PostJsonText(const std::string& text) {
  if (!pageReady_ || !view_) return;
  view_->PostWebMessageAsJson(Utf8ToWide(text).c_str());
}

void WebUi::ReleaseView() {
  ++generation_;  // late events of the old view find nobody
  view_.Reset();
  controller_.Reset();
  hasView_ = false;
  pageReady_ = false;
}

void WebUi::Close() {
  if (controller_) controller_->Close();
  ReleaseView();
  environment_.Reset();
  creating_ = false;
}

}  // namespace kelm
