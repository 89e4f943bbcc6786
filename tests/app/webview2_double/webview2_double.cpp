// A stand-in WebView2Loader.dll for tests: the loader's two exports and the environment,
// controller, web view, settings and event objects, built on vtables of its own whose
// slots are numbered from the interface definition (it shares no declaration with the
// host, so a slot wrong on either side shows). Every call is reported as a JSON line to a
// test driver on 127.0.0.1 (port in TAVRO_WEBVIEW2_DOUBLE_PORT); the driver's lines raise
// events. Completions and events reach the host later on its UI thread through a
// message-only window, as the runtime does.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// ---------------------------------------------------------------- driver link
std::mutex g_sendLock;
SOCKET g_socket = INVALID_SOCKET;
HWND g_window = nullptr;
HRESULT g_failEnvironment = S_OK;
constexpr UINT kDriverLine = WM_APP + 1;
constexpr UINT kRunLater = WM_APP + 2;

std::string Utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  return out;
}

wchar_t* CoText(const std::wstring& text) {
  auto* out = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (out != nullptr) std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return out;
}

void Send(const json& line) {
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::lock_guard lock(g_sendLock);
  if (g_socket == INVALID_SOCKET) return;
  send(g_socket, text.data(), static_cast<int>(text.size()), 0);
}

void Call(const char* name, json fields = json::object()) {
  fields["call"] = name;
  Send(fields);
}

bool ReadLine(std::string& buffer, std::string& line) {
  for (;;) {
    const size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    const int n = recv(g_socket, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, n);
  }
}

// Runs `work` on the UI thread after the current call has returned.
void Later(std::function<void()> work) {
  PostMessageW(g_window, kRunLater, 0, reinterpret_cast<LPARAM>(new std::function<void()>(std::move(work))));
}

void HandleDriverLine(const json& line);

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunLater) {
    std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(lParam));
    (*work)();
    return 0;
  }
  if (message == kDriverLine) {
    std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
    const json line = json::parse(*text, nullptr, false);
    if (line.is_object()) HandleDriverLine(line);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Connects once, on the UI thread of the first call; the driver's first line is either
// {"fail":hresult} (environment creation fails) or {"hello":1}.
void ConnectDriver() {
  if (g_window != nullptr) return;
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavroWebView2Double";
  RegisterClassW(&wc);
  g_window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  char port[16] = {};
  if (GetEnvironmentVariableA("TAVRO_WEBVIEW2_DOUBLE_PORT", port, sizeof port) == 0) return;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(atoi(port)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    return;
  }
  g_socket = s;
  std::string buffer, first;
  if (ReadLine(buffer, first)) {
    const json hello = json::parse(first, nullptr, false);
    if (hello.is_object() && hello.contains("fail")) g_failEnvironment = static_cast<HRESULT>(hello["fail"].get<int64_t>());
  }
  std::thread([buffer]() mutable {
    std::string line;
    while (ReadLine(buffer, line)) PostMessageW(g_window, kDriverLine, 0, reinterpret_cast<LPARAM>(new std::string(line)));
  }).detach();
}

// ---------------------------------------------------------------- COM objects
// Slots 0-2 are IUnknown's; each object's own methods follow from slot 3.
using Vtbl = std::array<void*, 64>;

struct Guid {
  unsigned long a;
  unsigned short b, c;
  unsigned char d[8];
  bool Is(REFIID iid) const { return std::memcmp(this, &iid, sizeof(IID)) == 0; }
};

constexpr Guid kUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr Guid kEnvironment = {0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
constexpr Guid kController[4] = {
    {0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}},
    {0xc979903e, 0xd4ca, 0x4228, {0x92, 0xeb, 0x47, 0xee, 0x3f, 0xa9, 0x6e, 0xab}},
    {0xf9614724, 0x5d2b, 0x41dc, {0xae, 0xf7, 0x73, 0xd6, 0x2b, 0x51, 0x54, 0x3b}},
    {0x97d418d5, 0xa426, 0x4e49, {0xa1, 0x51, 0xe1, 0xa1, 0x0f, 0x32, 0x7d, 0x9e}}};
constexpr Guid kWebView = {0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
constexpr Guid kSettings[6] = {
    {0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}},
    {0xee9a0f68, 0xf46c, 0x4e32, {0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a}},
    {0xfdb5ab74, 0xaf33, 0x4854, {0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba}},
    {0xcb56846c, 0x4168, 0x4d53, {0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2}},
    {0x183e7052, 0x1d03, 0x43a0, {0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39}},
    {0x11cb3acd, 0x9bc8, 0x43b8, {0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87}}};
constexpr Guid kNavigationArgs = {0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
constexpr Guid kNewWindowArgs = {0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
constexpr Guid kMessageArgs[2] = {
    {0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}},
    {0x06fc7ab7, 0xc90c, 0x4297, {0x93, 0x89, 0x33, 0xca, 0x01, 0xcf, 0x6d, 0x5e}}};
constexpr Guid kProcessFailedArgs = {0x8155a9a4, 0x1474, 0x4a86, {0x8c, 0xae, 0x15, 0x1b, 0x0f, 0xa6, 0xb8, 0xca}};
constexpr Guid kCollection = {0x0f36fd87, 0x4f69, 0x4415, {0x98, 0xda, 0x88, 0x8f, 0x89, 0xfb, 0x9a, 0x33}};
constexpr Guid kFile = {0xf2c19559, 0x6bc1, 0x4583, {0xa7, 0x57, 0x90, 0x02, 0x1b, 0xe9, 0xaf, 0xec}};
// A DOM object that is not a file: answers no WebView2 interface.
constexpr Guid kNone = {0xffffffff, 0xffff, 0xffff, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};

// No virtual member: the vtable pointer must be the first word of the object.
struct Object {
  const Vtbl* vtbl;
  std::atomic<LONG> refs{1};
  const char* kind = "";
  std::vector<Guid> iids;
  void (*destroy)(Object*) = nullptr;
};

// The host's objects (handlers) are called at slot 3 with two arguments.
using InvokeFn = HRESULT(STDMETHODCALLTYPE*)(void* self, void* a, void* b);
using UnknownFn = ULONG(STDMETHODCALLTYPE*)(void* self);
void CallInvoke(void* handler, void* a, void* b) { reinterpret_cast<InvokeFn>((*static_cast<void***>(handler))[3])(handler, a, b); }
void AddRefOf(void* p) { reinterpret_cast<UnknownFn>((*static_cast<void***>(p))[1])(p); }
void ReleaseOf(void* p) { reinterpret_cast<UnknownFn>((*static_cast<void***>(p))[2])(p); }

HRESULT STDMETHODCALLTYPE QueryInterfaceOf(Object* self, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!kUnknown.Is(iid)) {
    bool known = false;
    for (const Guid& g : self->iids) known = known || g.Is(iid);
    if (!known) return E_NOINTERFACE;
  }
  ++self->refs;
  *out = self;
  return S_OK;
}
ULONG STDMETHODCALLTYPE AddRefObj(Object* self) { return ++self->refs; }
ULONG STDMETHODCALLTYPE ReleaseObj(Object* self) {
  const LONG left = --self->refs;
  if (left == 0) self->destroy(self);
  return left;
}

// A slot nobody should call reports itself.
template <int Slot>
HRESULT STDMETHODCALLTYPE Unexpected(Object* self) {
  Call("unexpected", {{"object", self->kind}, {"slot", Slot}});
  return E_NOTIMPL;
}

template <int... Slots>
Vtbl BaseTable(std::integer_sequence<int, Slots...>) {
  return Vtbl{reinterpret_cast<void*>(&Unexpected<Slots>)...};
}

Vtbl MakeTable(std::initializer_list<std::pair<int, void*>> entries) {
  Vtbl t = BaseTable(std::make_integer_sequence<int, 64>{});
  t[0] = reinterpret_cast<void*>(&QueryInterfaceOf);
  t[1] = reinterpret_cast<void*>(&AddRefObj);
  t[2] = reinterpret_cast<void*>(&ReleaseObj);
  for (auto [slot, fn] : entries) t[slot] = fn;
  return t;
}

template <typename F>
void* Fn(F f) {
  return reinterpret_cast<void*>(f);
}

template <typename T>
T* NewObject(const Vtbl* table, const char* kind, std::initializer_list<Guid> iids) {
  T* o = new T;
  o->vtbl = table;
  o->kind = kind;
  o->iids = iids;
  o->destroy = [](Object* self) { delete static_cast<T*>(self); };
  return o;
}

// ---- event args
struct TextArgs : Object {
  std::wstring uri;
  BOOL flag = FALSE;  // cancel or handled
};

struct FileObject : Object {
  std::wstring path;
};

struct Collection : Object {
  std::vector<Object*> items;
  ~Collection() {
    for (Object* o : items) ReleaseObj(o);
  }
};

struct MessageArgs : Object {
  std::wstring json;
  Collection* extra = nullptr;
  ~MessageArgs() {
    if (extra != nullptr) ReleaseObj(extra);
  }
};

struct FailedArgs : Object {
  int32_t failedKind = 0;
};

HRESULT STDMETHODCALLTYPE GetUri(TextArgs* self, LPWSTR* uri) {
  *uri = CoText(self->uri);
  return S_OK;
}
HRESULT STDMETHODCALLTYPE PutFlag(TextArgs* self, BOOL value) {
  self->flag = value;
  return S_OK;
}
HRESULT STDMETHODCALLTYPE GetFlag(TextArgs* self, BOOL* value) {
  *value = self->flag;
  return S_OK;
}
// NavigationStartingEventArgs: get_Uri 3, get_Cancel 7, put_Cancel 8.
const Vtbl kNavigationArgsTable = MakeTable({{3, Fn(&GetUri)}, {7, Fn(&GetFlag)}, {8, Fn(&PutFlag)}});
// NewWindowRequestedEventArgs: get_Uri 3, put_Handled 6, get_Handled 7.
const Vtbl kNewWindowArgsTable = MakeTable({{3, Fn(&GetUri)}, {6, Fn(&PutFlag)}, {7, Fn(&GetFlag)}});

HRESULT STDMETHODCALLTYPE GetFilePath(FileObject* self, LPWSTR* path) {
  *path = CoText(self->path);
  return S_OK;
}
const Vtbl kFileTable = MakeTable({{3, Fn(&GetFilePath)}});
const Vtbl kPlainTable = MakeTable({});

HRESULT STDMETHODCALLTYPE CollectionCount(Collection* self, UINT32* value) {
  *value = static_cast<UINT32>(self->items.size());
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CollectionAt(Collection* self, UINT32 index, IUnknown** value) {
  if (index >= self->items.size()) return E_INVALIDARG;
  AddRefObj(self->items[index]);
  *value = reinterpret_cast<IUnknown*>(self->items[index]);
  return S_OK;
}
const Vtbl kCollectionTable = MakeTable({{3, Fn(&CollectionCount)}, {4, Fn(&CollectionAt)}});

HRESULT STDMETHODCALLTYPE MessageSource(MessageArgs*, LPWSTR* source) {
  *source = CoText(L"data:text/html,page");
  return S_OK;
}
HRESULT STDMETHODCALLTYPE MessageJson(MessageArgs* self, LPWSTR* text) {
  *text = CoText(self->json);
  return S_OK;
}
HRESULT STDMETHODCALLTYPE MessageAsString(MessageArgs*, LPWSTR* text) {
  *text = nullptr;
  return E_INVALIDARG;
}
HRESULT STDMETHODCALLTYPE MessageExtra(MessageArgs* self, Collection** value) {
  if (self->extra == nullptr) {
    self->extra = NewObject<Collection>(&kCollectionTable, "collection", {kCollection});
  }
  AddRefObj(self->extra);
  *value = self->extra;
  return S_OK;
}
// WebMessageReceivedEventArgs: get_Source 3, get_WebMessageAsJson 4, TryGetWebMessageAsString 5;
// its second version adds get_AdditionalObjects 6.
const Vtbl kMessageArgsTable =
    MakeTable({{3, Fn(&MessageSource)}, {4, Fn(&MessageJson)}, {5, Fn(&MessageAsString)}, {6, Fn(&MessageExtra)}});

HRESULT STDMETHODCALLTYPE FailedKind(FailedArgs* self, int32_t* kind) {
  *kind = self->failedKind;
  return S_OK;
}
const Vtbl kFailedArgsTable = MakeTable({{3, Fn(&FailedKind)}});

// ---- settings: slots 3..32 are get/put pairs of switches, 21/22 the user agent.
struct SettingsObject : Object {};
const char* const kSettingNames[] = {
    "IsScriptEnabled", "IsWebMessageEnabled", "AreDefaultScriptDialogsEnabled", "IsStatusBarEnabled",
    "AreDevToolsEnabled", "AreDefaultContextMenusEnabled", "AreHostObjectsAllowed", "IsZoomControlEnabled",
    "IsBuiltInErrorPageEnabled", "UserAgent", "AreBrowserAcceleratorKeysEnabled", "IsPasswordAutosaveEnabled",
    "IsGeneralAutofillEnabled", "IsPinchZoomEnabled", "IsSwipeNavigationEnabled"};

template <int Slot>
HRESULT STDMETHODCALLTYPE PutSetting(SettingsObject*, BOOL value) {
  Call("setting", {{"name", kSettingNames[(Slot - 3) / 2]}, {"value", value != FALSE}});
  return S_OK;
}
template <int Slot>
HRESULT STDMETHODCALLTYPE GetSetting(SettingsObject*, BOOL* value) {
  *value = TRUE;
  return S_OK;
}
template <int... Pairs>
Vtbl SettingsTable(std::integer_sequence<int, Pairs...>) {
  return MakeTable({{3 + 2 * Pairs, Fn(&GetSetting<3 + 2 * Pairs>)}..., {4 + 2 * Pairs, Fn(&PutSetting<4 + 2 * Pairs>)}...});
}
const Vtbl kSettingsTable = [] {
  Vtbl t = SettingsTable(std::make_integer_sequence<int, 15>{});
  t[21] = reinterpret_cast<void*>(&Unexpected<21>);  // the user agent is a text, never set by the host
  t[22] = reinterpret_cast<void*>(&Unexpected<22>);
  return t;
}();

// ---- web view
struct WebViewObject : Object {
  std::array<void*, 4> handlers{};  // navigation, new window, message, process failed
  SettingsObject* settings = nullptr;
  ~WebViewObject() {
    for (void* h : handlers)
      if (h != nullptr) ReleaseOf(h);
    if (settings != nullptr) ReleaseObj(settings);
  }
};
enum Handler { kNavigation = 0, kNewWindow = 1, kMessage = 2, kProcessFailed = 3 };
const char* const kHandlerNames[] = {"NavigationStarting", "NewWindowRequested", "WebMessageReceived", "ProcessFailed"};
WebViewObject* g_view = nullptr;  // the current view, for the driver's events

HRESULT STDMETHODCALLTYPE ViewSettings(WebViewObject* self, SettingsObject** out) {
  if (self->settings == nullptr) {
    self->settings = NewObject<SettingsObject>(&kSettingsTable, "settings",
                                               {kSettings[0], kSettings[1], kSettings[2], kSettings[3], kSettings[4], kSettings[5]});
  }
  AddRefObj(self->settings);
  *out = self->settings;
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ViewNavigateToString(WebViewObject*, LPCWSTR html) {
  Send({{"nav", Utf8(html)}});
  return S_OK;
}
template <int Which>
HRESULT STDMETHODCALLTYPE ViewAdd(WebViewObject* self, void* handler, int64_t* token) {
  if (handler == nullptr || token == nullptr) return E_POINTER;
  AddRefOf(handler);
  if (self->handlers[Which] != nullptr) ReleaseOf(self->handlers[Which]);
  self->handlers[Which] = handler;
  *token = Which + 1;
  Call("add", {{"event", kHandlerNames[Which]}});
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ViewReload(WebViewObject*) {
  Call("Reload");
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ViewPostJson(WebViewObject*, LPCWSTR text) {
  const json message = json::parse(Utf8(text), nullptr, false);
  Send({{"post", message.is_discarded() ? json(Utf8(text)) : message}});
  return S_OK;
}
// ICoreWebView2: get_Settings 3, NavigateToString 6, add_NavigationStarting 7,
// add_ProcessFailed 25, Reload 31, PostWebMessageAsJson 32, add_WebMessageReceived 34,
// add_NewWindowRequested 44.
const Vtbl kWebViewTable = MakeTable({{3, Fn(&ViewSettings)},
                                      {6, Fn(&ViewNavigateToString)},
                                      {7, Fn(&ViewAdd<kNavigation>)},
                                      {25, Fn(&ViewAdd<kProcessFailed>)},
                                      {31, Fn(&ViewReload)},
                                      {32, Fn(&ViewPostJson)},
                                      {34, Fn(&ViewAdd<kMessage>)},
                                      {44, Fn(&ViewAdd<kNewWindow>)}});

// ---- controller
struct ControllerObject : Object {
  WebViewObject* view = nullptr;
  ~ControllerObject() {
    if (view != nullptr) ReleaseObj(view);
  }
};

HRESULT STDMETHODCALLTYPE ControllerPutVisible(ControllerObject*, BOOL visible) {
  Call("put_IsVisible", {{"value", visible != FALSE}});
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ControllerPutBounds(ControllerObject*, RECT r) {
  Call("put_Bounds", {{"value", {r.left, r.top, r.right, r.bottom}}});
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ControllerMoved(ControllerObject*) {
  Call("NotifyParentWindowPositionChanged");
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ControllerClose(ControllerObject* self) {
  Call("Close");
  if (self->view == g_view) g_view = nullptr;
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ControllerView(ControllerObject* self, WebViewObject** out) {
  AddRefObj(self->view);
  *out = self->view;
  return S_OK;
}
// COREWEBVIEW2_COLOR travels by value in one register: A in the lowest byte, then R, G, B.
HRESULT STDMETHODCALLTYPE ControllerPutBackground(ControllerObject*, uint32_t color) {
  Call("put_DefaultBackgroundColor", {{"a", color & 0xFF}, {"rgb", ((color >> 8) & 0xFF) << 16 | ((color >> 16) & 0xFF) << 8 | (color >> 24)}});
  return S_OK;
}
HRESULT STDMETHODCALLTYPE ControllerPutDrop(ControllerObject*, BOOL value) {
  Call("put_AllowExternalDrop", {{"value", value != FALSE}});
  return S_OK;
}
// ICoreWebView2Controller: put_IsVisible 4, put_Bounds 6, NotifyParentWindowPositionChanged 23,
// Close 24, get_CoreWebView2 25; 2: put_DefaultBackgroundColor 27; 4: put_AllowExternalDrop 37.
const Vtbl kControllerTable = MakeTable({{4, Fn(&ControllerPutVisible)},
                                         {6, Fn(&ControllerPutBounds)},
                                         {23, Fn(&ControllerMoved)},
                                         {24, Fn(&ControllerClose)},
                                         {25, Fn(&ControllerView)},
                                         {27, Fn(&ControllerPutBackground)},
                                         {37, Fn(&ControllerPutDrop)}});

// ---- environment
struct EnvironmentObject : Object {};

HRESULT STDMETHODCALLTYPE EnvironmentCreateController(EnvironmentObject*, HWND parent, void* handler) {
  Call("CreateCoreWebView2Controller", {{"parentIsWindow", IsWindow(parent) != FALSE}});
  if (handler == nullptr) return E_POINTER;
  AddRefOf(handler);
  Later([handler] {
    auto* view = NewObject<WebViewObject>(&kWebViewTable, "webview", {kWebView});
    auto* controller = NewObject<ControllerObject>(&kControllerTable, "controller",
                                                   {kController[0], kController[1], kController[2], kController[3]});
    controller->view = view;
    g_view = view;
    CallInvoke(handler, reinterpret_cast<void*>(static_cast<intptr_t>(S_OK)), controller);
    ReleaseObj(controller);
    ReleaseOf(handler);
  });
  return S_OK;
}
HRESULT STDMETHODCALLTYPE EnvironmentVersion(EnvironmentObject*, LPWSTR* version) {
  *version = CoText(L"120.0.0.0");
  return S_OK;
}
// ICoreWebView2Environment: CreateCoreWebView2Controller 3, get_BrowserVersionString 5.
const Vtbl kEnvironmentTable = MakeTable({{3, Fn(&EnvironmentCreateController)}, {5, Fn(&EnvironmentVersion)}});

// ---------------------------------------------------------------- driver events

void Raise(Handler which, Object* args) {
  if (g_view != nullptr && g_view->handlers[which] != nullptr) {
    AddRefObj(g_view);
    CallInvoke(g_view->handlers[which], g_view, args);
    ReleaseObj(g_view);
  }
}

void HandleDriverLine(const json& line) {
  if (line.contains("msg") || line.contains("drop")) {
    auto* args = NewObject<MessageArgs>(&kMessageArgsTable, "messageArgs", {kMessageArgs[0], kMessageArgs[1]});
    if (line.contains("msg")) {
      args->json = Wide(line["msg"].is_string() && line.value("raw", false) ? line["msg"].get<std::string>()
                                                                             : line["msg"].dump());
    } else {
      const json& drop = line["drop"];
      json message = {{"cmd", "dropFiles"}};
      if (drop.contains("id")) message["id"] = drop["id"];
      args->json = Wide(message.dump());
      Collection* extra = nullptr;
      MessageExtra(args, &extra);
      for (const json& path : drop.value("paths", json::array())) {
        auto* file = NewObject<FileObject>(&kFileTable, "file", {kFile});
        file->path = Wide(path.get<std::string>());
        extra->items.push_back(file);
      }
      for (int i = 0; i < drop.value("nonFile", 0); ++i) extra->items.push_back(NewObject<Object>(&kPlainTable, "object", {kNone}));
      ReleaseObj(extra);
    }
    Raise(kMessage, args);
    ReleaseObj(args);
  } else if (line.contains("navigate") || line.contains("newWindow")) {
    const bool navigate = line.contains("navigate");
    auto* args = navigate ? NewObject<TextArgs>(&kNavigationArgsTable, "navigationArgs", {kNavigationArgs})
                          : NewObject<TextArgs>(&kNewWindowArgsTable, "newWindowArgs", {kNewWindowArgs});
    args->uri = Wide(line[navigate ? "navigate" : "newWindow"].get<std::string>());
    Raise(navigate ? kNavigation : kNewWindow, args);
    Call(navigate ? "navigation" : "newWindow", {{"uri", Utf8(args->uri.c_str())}, {navigate ? "cancel" : "handled", args->flag != FALSE}});
    ReleaseObj(args);
  } else if (line.contains("processFailed")) {
    auto* args = NewObject<FailedArgs>(&kFailedArgsTable, "processFailedArgs", {kProcessFailedArgs});
    args->failedKind = line["processFailed"].get<int32_t>();
    Raise(kProcessFailed, args);
    ReleaseObj(args);
  } else if (line.contains("ping")) {
    Call("pong", {{"ping", line["ping"]}});  // lets the driver wait until earlier lines are handled
  }
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE GetAvailableCoreWebView2BrowserVersionString(PCWSTR folder,
                                                                                                     LPWSTR* version) {
  ConnectDriver();
  Call("GetAvailableCoreWebView2BrowserVersionString", {{"browserFolder", folder == nullptr ? json() : json(Utf8(folder))}});
  if (version == nullptr) return E_POINTER;
  *version = CoText(L"120.0.0.0");
  return S_OK;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(PCWSTR folder,
                                                                                                 PCWSTR userDataFolder,
                                                                                                 IUnknown* options,
                                                                                                 IUnknown* handler) {
  ConnectDriver();
  wchar_t color[32] = {};
  const DWORD n = GetEnvironmentVariableW(L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR", color, 32);
  Call("CreateCoreWebView2EnvironmentWithOptions",
       {{"browserFolder", folder == nullptr ? json() : json(Utf8(folder))},
        {"userDataFolder", Utf8(userDataFolder)},
        {"options", options != nullptr},
        {"backgroundColorVariable", n == 0 ? json() : json(Utf8(color))}});
  if (handler == nullptr) return E_POINTER;
  AddRefOf(handler);
  const HRESULT fail = g_failEnvironment;
  Later([handler, fail] {
    if (fail != S_OK) {
      CallInvoke(handler, reinterpret_cast<void*>(static_cast<intptr_t>(fail)), nullptr);
    } else {
      auto* environment = NewObject<EnvironmentObject>(&kEnvironmentTable, "environment", {kEnvironment});
      CallInvoke(handler, reinterpret_cast<void*>(static_cast<intptr_t>(S_OK)), environment);
      ReleaseObj(environment);
    }
    ReleaseOf(handler);
  });
  return S_OK;
}
