// The test double of the WebView2 loader against the host's own declarations: each call
// made through a declared slot arrives at the double as the method of that slot, and the
// double's events reach handlers implemented on the declarations.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/webview2_api.h"
#include "webview2_double_driver.h"

namespace kelm::webview2 {
namespace {

using nlohmann::json;

using Driver = testing::WebView2DoubleDriver;

// A handler implemented on the declarations: `T` is a handler interface whose Invoke
// takes (A, B). It lives on the test's stack.
template <typename T, typename A, typename B>
class Handler final : public T {
 public:
  Handler(const IID& iid, std::function<void(A, B)> fn) : iid_(iid), fn_(std::move(fn)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == iid_) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE Invoke(A a, B b) override {
    fn_(a, b);
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  IID iid_;
  std::function<void(A, B)> fn_;
};

using EnvironmentDone = Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerDone = Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using MessageHandler =
    Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationHandler =
    Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>;
using FailedHandler = Handler<ICoreWebView2ProcessFailedEventHandler, ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*>;

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

struct Loaded {
  HMODULE module = nullptr;
  GetAvailableBrowserVersionStringFn version = nullptr;
  CreateEnvironmentWithOptionsFn create = nullptr;
};

Loaded LoadDouble() {
  Loaded l;
  l.module = LoadLibraryA(TAVRO_WEBVIEW2_DOUBLE_DIR "/WebView2Loader.dll");
  if (l.module == nullptr) return l;
  l.version = reinterpret_cast<GetAvailableBrowserVersionStringFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(l.module, kGetAvailableBrowserVersionStringExport)));
  l.create = reinterpret_cast<CreateEnvironmentWithOptionsFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(l.module, kCreateEnvironmentWithOptionsExport)));
  return l;
}

TEST(WebView2DoubleTest, EachDeclaredSlotReachesItsMethodAndEventsComeBack) {
  Driver driver;
  SetEnvironmentVariableA("TAVRO_WEBVIEW2_DOUBLE_PORT", std::to_string(driver.Port()).c_str());
  SetEnvironmentVariableW(L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR", L"0");
  const Loaded loader = LoadDouble();
  ASSERT_NE(loader.create, nullptr);
  ASSERT_NE(loader.version, nullptr);

  // The first export connects; the driver answers with its hello line.
  LPWSTR version = nullptr;
  ASSERT_EQ(loader.version(nullptr, &version), S_OK);
  EXPECT_EQ(Narrow(version), "120.0.0.0");
  CoTaskMemFree(version);

  ICoreWebView2Environment* environment = nullptr;
  EnvironmentDone envDone(IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                          [&](HRESULT hr, ICoreWebView2Environment* e) {
                            EXPECT_EQ(hr, S_OK);
                            environment = e;
                            e->AddRef();
                          });
  ASSERT_EQ(loader.create(nullptr, L"C:\\data\\WebView2", nullptr, &envDone), S_OK);
  EXPECT_EQ(environment, nullptr) << "the completion must come later, not inside the call";
  const json created = driver.WaitCall("CreateCoreWebView2EnvironmentWithOptions");
  EXPECT_EQ(created["userDataFolder"], "C:\\data\\WebView2");
  EXPECT_EQ(created["backgroundColorVariable"], "0");
  EXPECT_TRUE(created["browserFolder"].is_null());
  driver.Write({{"ping", 1}});
  driver.WaitCall("pong");
  ASSERT_NE(environment, nullptr);

  HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
  ICoreWebView2Controller* controller = nullptr;
  ControllerDone ctlDone(IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                         [&](HRESULT hr, ICoreWebView2Controller* c) {
                           EXPECT_EQ(hr, S_OK);
                           controller = c;
                           c->AddRef();
                         });
  ASSERT_EQ(environment->CreateCoreWebView2Controller(window, &ctlDone), S_OK);
  EXPECT_EQ(driver.WaitCall("CreateCoreWebView2Controller")["parentIsWindow"], true);
  driver.Write({{"ping", 2}});
  driver.WaitCall("pong");
  ASSERT_NE(controller, nullptr);

  ICoreWebView2Controller4* controller4 = nullptr;
  ASSERT_EQ(controller->QueryInterface(IID_ICoreWebView2Controller4, reinterpret_cast<void**>(&controller4)), S_OK);
  ASSERT_EQ(controller4->put_DefaultBackgroundColor(Color{0xFF, 0xF3, 0xF3, 0xF3}), S_OK);
  const json color = driver.WaitCall("put_DefaultBackgroundColor");
  EXPECT_EQ(color["a"], 255);
  EXPECT_EQ(color["rgb"], 0xF3F3F3);
  controller4->put_DefaultBackgroundColor(Color{0xFF, 0x20, 0x10, 0x01});
  EXPECT_EQ(driver.WaitCall("put_DefaultBackgroundColor")["rgb"], 0x201001);
  controller4->put_AllowExternalDrop(FALSE);
  EXPECT_EQ(driver.WaitCall("put_AllowExternalDrop")["value"], false);
  controller4->put_Bounds(RECT{1, 2, 301, 202});
  EXPECT_EQ(driver.WaitCall("put_Bounds")["value"], json({1, 2, 301, 202}));
  controller4->put_IsVisible(TRUE);
  EXPECT_EQ(driver.WaitCall("put_IsVisible")["value"], true);
  controller4->NotifyParentWindowPositionChanged();
  driver.WaitCall("NotifyParentWindowPositionChanged");
  IID unknownIid = IID_ICoreWebView2Settings6;  // a controller is no settings object
  void* none = nullptr;
  EXPECT_EQ(controller->QueryInterface(unknownIid, &none), E_NOINTERFACE);

  ICoreWebView2* view = nullptr;
  ASSERT_EQ(controller->get_CoreWebView2(&view), S_OK);
  ICoreWebView2Settings* settings = nullptr;
  ASSERT_EQ(view->get_Settings(&settings), S_OK);
  ICoreWebView2Settings6* settings6 = nullptr;
  ASSERT_EQ(settings->QueryInterface(IID_ICoreWebView2Settings6, reinterpret_cast<void**>(&settings6)), S_OK);
  settings6->put_AreDevToolsEnabled(FALSE);
  settings6->put_AreDefaultContextMenusEnabled(TRUE);
  settings6->put_AreBrowserAcceleratorKeysEnabled(FALSE);
  settings6->put_IsZoomControlEnabled(FALSE);
  settings6->put_IsStatusBarEnabled(TRUE);
  settings6->put_IsBuiltInErrorPageEnabled(FALSE);
  settings6->put_IsPinchZoomEnabled(TRUE);
  settings6->put_IsSwipeNavigationEnabled(FALSE);
  const std::pair<const char*, bool> expected[] = {
      {"AreDevToolsEnabled", false}, {"AreDefaultContextMenusEnabled", true}, {"AreBrowserAcceleratorKeysEnabled", false},
      {"IsZoomControlEnabled", false}, {"IsStatusBarEnabled", true}, {"IsBuiltInErrorPageEnabled", false},
      {"IsPinchZoomEnabled", true}, {"IsSwipeNavigationEnabled", false}};
  for (auto [name, value] : expected) {
    const json line = driver.WaitCall("setting");
    EXPECT_EQ(line["name"], name);
    EXPECT_EQ(line["value"], value) << name;
  }

  std::vector<std::string> messages;
  std::vector<std::string> files;
  MessageHandler onMessage(IID_ICoreWebView2WebMessageReceivedEventHandler,
                           [&](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
                             LPWSTR text = nullptr;
                             args->get_WebMessageAsJson(&text);
                             messages.push_back(Narrow(text));
                             CoTaskMemFree(text);
                             ICoreWebView2WebMessageReceivedEventArgs2* args2 = nullptr;
                             if (FAILED(args->QueryInterface(IID_ICoreWebView2WebMessageReceivedEventArgs2,
                                                             reinterpret_cast<void**>(&args2))))
                               return;
                             ICoreWebView2ObjectCollectionView* objects = nullptr;
                             args2->get_AdditionalObjects(&objects);
                             UINT32 count = 0;
                             objects->get_Count(&count);
                             for (UINT32 i = 0; i < count; ++i) {
                               IUnknown* item = nullptr;
                               objects->GetValueAtIndex(i, &item);
                               ICoreWebView2File* file = nullptr;
                               if (SUCCEEDED(item->QueryInterface(IID_ICoreWebView2File, reinterpret_cast<void**>(&file)))) {
                                 LPWSTR path = nullptr;
                                 file->get_Path(&path);
                                 files.push_back(Narrow(path));
                                 CoTaskMemFree(path);
                                 file->Release();
                               }
                               item->Release();
                             }
                             objects->Release();
                             args2->Release();
                           });
  EventToken token = 0;
  ASSERT_EQ(view->add_WebMessageReceived(&onMessage, &token), S_OK);
  EXPECT_EQ(driver.WaitCall("add")["event"], "WebMessageReceived");
  NavigationHandler onNavigation(IID_ICoreWebView2NavigationStartingEventHandler,
                                 [&](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
                                   LPWSTR uri = nullptr;
                                   args->get_Uri(&uri);
                                   args->put_Cancel(Narrow(uri).starts_with("http") ? TRUE : FALSE);
                                   CoTaskMemFree(uri);
                                 });
  view->add_NavigationStarting(&onNavigation, &token);
  EXPECT_EQ(driver.WaitCall("add")["event"], "NavigationStarting");
  std::vector<int32_t> kinds;
  FailedHandler onFailed(IID_ICoreWebView2ProcessFailedEventHandler,
                         [&](ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
                           int32_t kind = -1;
                           args->get_ProcessFailedKind(&kind);
                           kinds.push_back(kind);
                         });
  view->add_ProcessFailed(&onFailed, &token);
  EXPECT_EQ(driver.WaitCall("add")["event"], "ProcessFailed");

  view->NavigateToString(L"<p>page</p>");
  EXPECT_EQ(driver.WaitFor([](const json& l) { return l.contains("nav"); })["nav"], "<p>page</p>");
  view->PostWebMessageAsJson(L"{\"type\":\"status\"}");
  EXPECT_EQ(driver.WaitFor([](const json& l) { return l.contains("post"); })["post"], json({{"type", "status"}}));
  view->Reload();
  driver.WaitCall("Reload");

  driver.Write({{"msg", {{"cmd", "ready"}}}});
  driver.Write({{"drop", {{"id", 7}, {"paths", {"C:\\a.txt", "C:\\b.txt"}}, {"nonFile", 1}}}});
  driver.Write({{"navigate", "https://example.com/"}});
  driver.Write({{"navigate", "about:blank"}});
  driver.Write({{"processFailed", 2}});
  EXPECT_EQ(driver.WaitCall("navigation")["cancel"], true);
  EXPECT_EQ(driver.WaitCall("navigation")["cancel"], false);
  driver.Write({{"ping", 3}});
  driver.WaitCall("pong");
  EXPECT_EQ(messages, (std::vector<std::string>{R"({"cmd":"ready"})", R"({"cmd":"dropFiles","id":7})"}));
  EXPECT_EQ(files, (std::vector<std::string>{"C:\\a.txt", "C:\\b.txt"}));
  EXPECT_EQ(kinds, std::vector<int32_t>{2});

  controller->Close();
  driver.WaitCall("Close");
  for (const json& line : driver.Seen()) EXPECT_NE(line.value("call", ""), "unexpected") << line.dump();

  settings6->Release();
  settings->Release();
  view->Release();
  controller4->Release();
  controller->Release();
  environment->Release();
  DestroyWindow(window);
}

// CTest runs each case in a process of its own, so each loads and connects the double once.
TEST(WebView2DoubleTest, ADriverFailureFailsTheEnvironmentLater) {
  Driver driver({{"fail", static_cast<int64_t>(static_cast<int32_t>(0x80070005))}});
  SetEnvironmentVariableA("TAVRO_WEBVIEW2_DOUBLE_PORT", std::to_string(driver.Port()).c_str());
  SetEnvironmentVariableW(L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR", nullptr);
  const Loaded loader = LoadDouble();
  ASSERT_NE(loader.create, nullptr);
  HRESULT result = S_OK;
  int calls = 0;
  ICoreWebView2Environment* environment = reinterpret_cast<ICoreWebView2Environment*>(1);
  EnvironmentDone envDone(IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                          [&](HRESULT hr, ICoreWebView2Environment* e) {
                            result = hr;
                            environment = e;
                            ++calls;
                          });
  ASSERT_EQ(loader.create(nullptr, L"D:\\x", nullptr, &envDone), S_OK);
  EXPECT_TRUE(driver.WaitCall("CreateCoreWebView2EnvironmentWithOptions")["backgroundColorVariable"].is_null());
  driver.Write({{"ping", 1}});
  driver.WaitCall("pong");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(static_cast<uint32_t>(result), 0x80070005u);
  EXPECT_EQ(environment, nullptr);
}

}  // namespace
}  // namespace kelm::webview2
