#pragma once
// The WebView2 interfaces the page host calls, declared from the published interface
// definition (mingw-w64 ships none). Each interface lists every method of its own in
// definition order, because the vtable slot is the position; a derived interface's
// methods follow all of its bases', so each base is declared whole. Methods the host
// never calls keep their slot with loosely typed parameters.
#include <windows.h>
#include <unknwn.h>

#include <cstdint>

namespace kelm::webview2 {

using EventToken = int64_t;  // EventRegistrationToken: one 64-bit value

// COREWEBVIEW2_COLOR: four bytes, alpha first.
struct Color {
  BYTE A;
  BYTE R;
  BYTE G;
  BYTE B;
};

enum ProcessFailedKind : int32_t {
  kBrowserProcessExited = 0,
  kRenderProcessExited = 1,
  kRenderProcessUnresponsive = 2,
};

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2Settings;

// Completion handlers (we implement them; the runtime calls Invoke, slot 3).
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, ICoreWebView2Environment* result) = 0;
};
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, ICoreWebView2Controller* result) = 0;
};

struct ICoreWebView2Environment : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(IUnknown* content, int statusCode, LPCWSTR reasonPhrase,
                                                              LPCWSTR headers, IUnknown** response) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* versionInfo) = 0;                    // 5
  virtual HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(IUnknown* handler, EventToken* token) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(EventToken token) = 0;              // 7
};

struct ICoreWebView2Controller : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* isVisible) = 0;                      // 3
  virtual HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL isVisible) = 0;                       // 4
  virtual HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) = 0;                            // 5
  virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;                             // 6
  virtual HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoomFactor) = 0;                  // 7
  virtual HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoomFactor) = 0;                   // 8
  virtual HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(IUnknown* handler, EventToken* token) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(EventToken token) = 0;          // 10
  virtual HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoomFactor) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE MoveFocus(int reason) = 0;                               // 12
  virtual HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(IUnknown* handler, EventToken* token) = 0;  // 13
  virtual HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(EventToken token) = 0;         // 14
  virtual HRESULT STDMETHODCALLTYPE add_GotFocus(IUnknown* handler, EventToken* token) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE remove_GotFocus(EventToken token) = 0;                   // 16
  virtual HRESULT STDMETHODCALLTYPE add_LostFocus(IUnknown* handler, EventToken* token) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE remove_LostFocus(EventToken token) = 0;                  // 18
  virtual HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(IUnknown* handler, EventToken* token) = 0;  // 19
  virtual HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(EventToken token) = 0;      // 20
  virtual HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parentWindow) = 0;                // 21
  virtual HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parentWindow) = 0;                 // 22
  virtual HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() = 0;                 // 23
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;                                             // 24
  virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** coreWebView2) = 0;      // 25
};

struct ICoreWebView2Controller2 : ICoreWebView2Controller {
  virtual HRESULT STDMETHODCALLTYPE get_DefaultBackgroundColor(Color* backgroundColor) = 0;  // 26
  virtual HRESULT STDMETHODCALLTYPE put_DefaultBackgroundColor(Color backgroundColor) = 0;   // 27
};

struct ICoreWebView2Controller3 : ICoreWebView2Controller2 {
  virtual HRESULT STDMETHODCALLTYPE get_RasterizationScale(double* scale) = 0;                // 28
  virtual HRESULT STDMETHODCALLTYPE put_RasterizationScale(double scale) = 0;                 // 29
  virtual HRESULT STDMETHODCALLTYPE get_ShouldDetectMonitorScaleChanges(BOOL* value) = 0;     // 30
  virtual HRESULT STDMETHODCALLTYPE put_ShouldDetectMonitorScaleChanges(BOOL value) = 0;      // 31
  virtual HRESULT STDMETHODCALLTYPE add_RasterizationScaleChanged(IUnknown* handler, EventToken* token) = 0;  // 32
  virtual HRESULT STDMETHODCALLTYPE remove_RasterizationScaleChanged(EventToken token) = 0;   // 33
  virtual HRESULT STDMETHODCALLTYPE get_BoundsMode(int* boundsMode) = 0;                      // 34
  virtual HRESULT STDMETHODCALLTYPE put_BoundsMode(int boundsMode) = 0;                       // 35
};

struct ICoreWebView2Controller4 : ICoreWebView2Controller3 {
  virtual HRESULT STDMETHODCALLTYPE get_AllowExternalDrop(BOOL* value) = 0;  // 36
  virtual HRESULT STDMETHODCALLTYPE put_AllowExternalDrop(BOOL value) = 0;   // 37
};

struct ICoreWebView2Settings : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_IsScriptEnabled(BOOL* value) = 0;                 // 3
  virtual HRESULT STDMETHODCALLTYPE put_IsScriptEnabled(BOOL value) = 0;                  // 4
  virtual HRESULT STDMETHODCALLTYPE get_IsWebMessageEnabled(BOOL* value) = 0;             // 5
  virtual HRESULT STDMETHODCALLTYPE put_IsWebMessageEnabled(BOOL value) = 0;              // 6
  virtual HRESULT STDMETHODCALLTYPE get_AreDefaultScriptDialogsEnabled(BOOL* value) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE put_AreDefaultScriptDialogsEnabled(BOOL value) = 0;   // 8
  virtual HRESULT STDMETHODCALLTYPE get_IsStatusBarEnabled(BOOL* value) = 0;              // 9
  virtual HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL value) = 0;               // 10
  virtual HRESULT STDMETHODCALLTYPE get_AreDevToolsEnabled(BOOL* value) = 0;              // 11
  virtual HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL value) = 0;               // 12
  virtual HRESULT STDMETHODCALLTYPE get_AreDefaultContextMenusEnabled(BOOL* value) = 0;   // 13
  virtual HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL value) = 0;    // 14
  virtual HRESULT STDMETHODCALLTYPE get_AreHostObjectsAllowed(BOOL* value) = 0;           // 15
  virtual HRESULT STDMETHODCALLTYPE put_AreHostObjectsAllowed(BOOL value) = 0;            // 16
  virtual HRESULT STDMETHODCALLTYPE get_IsZoomControlEnabled(BOOL* value) = 0;            // 17
  virtual HRESULT STDMETHODCALLTYPE put_IsZoomControlEnabled(BOOL value) = 0;             // 18
  virtual HRESULT STDMETHODCALLTYPE get_IsBuiltInErrorPageEnabled(BOOL* value) = 0;       // 19
  virtual HRESULT STDMETHODCALLTYPE put_IsBuiltInErrorPageEnabled(BOOL value) = 0;        // 20
};

struct ICoreWebView2Settings2 : ICoreWebView2Settings {
  virtual HRESULT STDMETHODCALLTYPE get_UserAgent(LPWSTR* userAgent) = 0;  // 21
  virtual HRESULT STDMETHODCALLTYPE put_UserAgent(LPCWSTR userAgent) = 0;  // 22
};

struct ICoreWebView2Settings3 : ICoreWebView2Settings2 {
  virtual HRESULT STDMETHODCALLTYPE get_AreBrowserAcceleratorKeysEnabled(BOOL* value) = 0;  // 23
  virtual HRESULT STDMETHODCALLTYPE put_AreBrowserAcceleratorKeysEnabled(BOOL value) = 0;   // 24
};

struct ICoreWebView2Settings4 : ICoreWebView2Settings3 {
  virtual HRESULT STDMETHODCALLTYPE get_IsPasswordAutosaveEnabled(BOOL* value) = 0;  // 25
  virtual HRESULT STDMETHODCALLTYPE put_IsPasswordAutosaveEnabled(BOOL value) = 0;   // 26
  virtual HRESULT STDMETHODCALLTYPE get_IsGeneralAutofillEnabled(BOOL* value) = 0;   // 27
  virtual HRESULT STDMETHODCALLTYPE put_IsGeneralAutofillEnabled(BOOL value) = 0;    // 28
};

struct ICoreWebView2Settings5 : ICoreWebView2Settings4 {
  virtual HRESULT STDMETHODCALLTYPE get_IsPinchZoomEnabled(BOOL* value) = 0;  // 29
  virtual HRESULT STDMETHODCALLTYPE put_IsPinchZoomEnabled(BOOL value) = 0;   // 30
};

struct ICoreWebView2Settings6 : ICoreWebView2Settings5 {
  virtual HRESULT STDMETHODCALLTYPE get_IsSwipeNavigationEnabled(BOOL* value) = 0;  // 31
  virtual HRESULT STDMETHODCALLTYPE put_IsSwipeNavigationEnabled(BOOL value) = 0;   // 32
};

struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;                 // 3
  virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;     // 4
  virtual HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) = 0;        // 5
  virtual HRESULT STDMETHODCALLTYPE get_RequestHeaders(IUnknown** headers) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;             // 7
  virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;              // 8
  virtual HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) = 0;         // 9
};

struct ICoreWebView2NewWindowRequestedEventArgs : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;                   // 3
  virtual HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2* newWindow) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2** newWindow) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) = 0;              // 6
  virtual HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) = 0;             // 7
  virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;       // 8
  virtual HRESULT STDMETHODCALLTYPE GetDeferral(IUnknown** deferral) = 0;       // 9
  virtual HRESULT STDMETHODCALLTYPE get_WindowFeatures(IUnknown** value) = 0;   // 10
};

struct ICoreWebView2ObjectCollectionView : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Count(UINT32* value) = 0;                      // 3
  virtual HRESULT STDMETHODCALLTYPE GetValueAtIndex(UINT32 index, IUnknown** value) = 0;  // 4
};

struct ICoreWebView2File : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Path(LPWSTR* path) = 0;  // 3
};

struct ICoreWebView2WebMessageReceivedEventArgs : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) = 0;                  // 3
  virtual HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) = 0;          // 4
  virtual HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* message) = 0;   // 5
};

struct ICoreWebView2WebMessageReceivedEventArgs2 : ICoreWebView2WebMessageReceivedEventArgs {
  virtual HRESULT STDMETHODCALLTYPE get_AdditionalObjects(ICoreWebView2ObjectCollectionView** value) = 0;  // 6
};

struct ICoreWebView2ProcessFailedEventArgs : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_ProcessFailedKind(int32_t* kind) = 0;  // 3
};

// Event handlers (we implement them; Invoke is slot 3).
struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2NavigationStartingEventArgs* args) = 0;
};
struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2NewWindowRequestedEventArgs* args) = 0;
};
struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) = 0;
};
struct ICoreWebView2ProcessFailedEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2ProcessFailedEventArgs* args) = 0;
};

struct ICoreWebView2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) = 0;                         // 4
  virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) = 0;                           // 5
  virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) = 0;           // 6
  virtual HRESULT STDMETHODCALLTYPE add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                                           EventToken* token) = 0;      // 7
  virtual HRESULT STDMETHODCALLTYPE remove_NavigationStarting(EventToken token) = 0;    // 8
  virtual HRESULT STDMETHODCALLTYPE add_ContentLoading(IUnknown* handler, EventToken* token) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE remove_ContentLoading(EventToken token) = 0;        // 10
  virtual HRESULT STDMETHODCALLTYPE add_SourceChanged(IUnknown* handler, EventToken* token) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE remove_SourceChanged(EventToken token) = 0;         // 12
  virtual HRESULT STDMETHODCALLTYPE add_HistoryChanged(IUnknown* handler, EventToken* token) = 0;  // 13
  virtual HRESULT STDMETHODCALLTYPE remove_HistoryChanged(EventToken token) = 0;        // 14
  virtual HRESULT STDMETHODCALLTYPE add_NavigationCompleted(IUnknown* handler, EventToken* token) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE remove_NavigationCompleted(EventToken token) = 0;   // 16
  virtual HRESULT STDMETHODCALLTYPE add_FrameNavigationStarting(IUnknown* handler, EventToken* token) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE remove_FrameNavigationStarting(EventToken token) = 0;  // 18
  virtual HRESULT STDMETHODCALLTYPE add_FrameNavigationCompleted(IUnknown* handler, EventToken* token) = 0;  // 19
  virtual HRESULT STDMETHODCALLTYPE remove_FrameNavigationCompleted(EventToken token) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE add_ScriptDialogOpening(IUnknown* handler, EventToken* token) = 0;  // 21
  virtual HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(EventToken token) = 0;   // 22
  virtual HRESULT STDMETHODCALLTYPE add_PermissionRequested(IUnknown* handler, EventToken* token) = 0;  // 23
  virtual HRESULT STDMETHODCALLTYPE remove_PermissionRequested(EventToken token) = 0;   // 24
  virtual HRESULT STDMETHODCALLTYPE add_ProcessFailed(ICoreWebView2ProcessFailedEventHandler* handler,
                                                      EventToken* token) = 0;           // 25
  virtual HRESULT STDMETHODCALLTYPE remove_ProcessFailed(EventToken token) = 0;         // 26
  virtual HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(LPCWSTR script, IUnknown* handler) = 0;  // 27
  virtual HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) = 0;  // 28
  virtual HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR script, IUnknown* handler) = 0;  // 29
  virtual HRESULT STDMETHODCALLTYPE CapturePreview(int imageFormat, IUnknown* imageStream, IUnknown* handler) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE Reload() = 0;                                       // 31
  virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR webMessageAsJson) = 0;  // 32
  virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR webMessageAsString) = 0;  // 33
  virtual HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                           EventToken* token) = 0;      // 34
  virtual HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(EventToken token) = 0;    // 35
  virtual HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(LPCWSTR methodName, LPCWSTR parametersAsJson,
                                                               IUnknown* handler) = 0;  // 36
  virtual HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32* value) = 0;            // 37
  virtual HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL* canGoBack) = 0;                 // 38
  virtual HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL* canGoForward) = 0;           // 39
  virtual HRESULT STDMETHODCALLTYPE GoBack() = 0;                                       // 40
  virtual HRESULT STDMETHODCALLTYPE GoForward() = 0;                                    // 41
  virtual HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(LPCWSTR eventName, IUnknown** receiver) = 0;  // 42
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;                                         // 43
  virtual HRESULT STDMETHODCALLTYPE add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* handler,
                                                           EventToken* token) = 0;      // 44
  virtual HRESULT STDMETHODCALLTYPE remove_NewWindowRequested(EventToken token) = 0;    // 45
  virtual HRESULT STDMETHODCALLTYPE add_DocumentTitleChanged(IUnknown* handler, EventToken* token) = 0;  // 46
  virtual HRESULT STDMETHODCALLTYPE remove_DocumentTitleChanged(EventToken token) = 0;  // 47
  virtual HRESULT STDMETHODCALLTYPE get_DocumentTitle(LPWSTR* title) = 0;               // 48
  virtual HRESULT STDMETHODCALLTYPE AddHostObjectToScript(LPCWSTR name, VARIANT* object) = 0;  // 49
  virtual HRESULT STDMETHODCALLTYPE RemoveHostObjectFromScript(LPCWSTR name) = 0;       // 50
  virtual HRESULT STDMETHODCALLTYPE OpenDevToolsWindow() = 0;                           // 51
  virtual HRESULT STDMETHODCALLTYPE add_ContainsFullScreenElementChanged(IUnknown* handler, EventToken* token) = 0;  // 52
  virtual HRESULT STDMETHODCALLTYPE remove_ContainsFullScreenElementChanged(EventToken token) = 0;  // 53
  virtual HRESULT STDMETHODCALLTYPE get_ContainsFullScreenElement(BOOL* value) = 0;     // 54
  virtual HRESULT STDMETHODCALLTYPE add_WebResourceRequested(IUnknown* handler, EventToken* token) = 0;  // 55
  virtual HRESULT STDMETHODCALLTYPE remove_WebResourceRequested(EventToken token) = 0;  // 56
  virtual HRESULT STDMETHODCALLTYPE AddWebResourceRequestedFilter(LPCWSTR uri, int resourceContext) = 0;  // 57
  virtual HRESULT STDMETHODCALLTYPE RemoveWebResourceRequestedFilter(LPCWSTR uri, int resourceContext) = 0;  // 58
  virtual HRESULT STDMETHODCALLTYPE add_WindowCloseRequested(IUnknown* handler, EventToken* token) = 0;  // 59
  virtual HRESULT STDMETHODCALLTYPE remove_WindowCloseRequested(EventToken token) = 0;  // 60
};

// The loader's two exports.
using GetAvailableBrowserVersionStringFn = HRESULT(STDAPICALLTYPE*)(PCWSTR browserExecutableFolder,
                                                                    LPWSTR* versionInfo);
using CreateEnvironmentWithOptionsFn = HRESULT(STDAPICALLTYPE*)(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder, IUnknown* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);
inline constexpr char kGetAvailableBrowserVersionStringExport[] = "GetAvailableCoreWebView2BrowserVersionString";
inline constexpr char kCreateEnvironmentWithOptionsExport[] = "CreateCoreWebView2EnvironmentWithOptions";

// Interface ids.
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler = {
    0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler = {
    0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
inline constexpr IID IID_ICoreWebView2Environment = {
    0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
inline constexpr IID IID_ICoreWebView2Controller = {
    0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
inline constexpr IID IID_ICoreWebView2Controller2 = {
    0xc979903e, 0xd4ca, 0x4228, {0x92, 0xeb, 0x47, 0xee, 0x3f, 0xa9, 0x6e, 0xab}};
inline constexpr IID IID_ICoreWebView2Controller3 = {
    0xf9614724, 0x5d2b, 0x41dc, {0xae, 0xf7, 0x73, 0xd6, 0x2b, 0x51, 0x54, 0x3b}};
inline constexpr IID IID_ICoreWebView2Controller4 = {
    0x97d418d5, 0xa426, 0x4e49, {0xa1, 0x51, 0xe1, 0xa1, 0x0f, 0x32, 0x7d, 0x9e}};
inline constexpr IID IID_ICoreWebView2 = {
    0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
inline constexpr IID IID_ICoreWebView2Settings = {
    0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}};
inline constexpr IID IID_ICoreWebView2Settings2 = {
    0xee9a0f68, 0xf46c, 0x4e32, {0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a}};
inline constexpr IID IID_ICoreWebView2Settings3 = {
    0xfdb5ab74, 0xaf33, 0x4854, {0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba}};
inline constexpr IID IID_ICoreWebView2Settings4 = {
    0xcb56846c, 0x4168, 0x4d53, {0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2}};
inline constexpr IID IID_ICoreWebView2Settings5 = {
    0x183e7052, 0x1d03, 0x43a0, {0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39}};
inline constexpr IID IID_ICoreWebView2Settings6 = {
    0x11cb3acd, 0x9bc8, 0x43b8, {0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87}};
inline constexpr IID IID_ICoreWebView2NavigationStartingEventHandler = {
    0x9adbe429, 0xf36d, 0x432b, {0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3}};
inline constexpr IID IID_ICoreWebView2NavigationStartingEventArgs = {
    0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
inline constexpr IID IID_ICoreWebView2NewWindowRequestedEventHandler = {
    0xd4c185fe, 0xc81c, 0x4989, {0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51}};
inline constexpr IID IID_ICoreWebView2NewWindowRequestedEventArgs = {
    0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventHandler = {
    0x57213f19, 0x00e6, 0x49fa, {0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2}};
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventArgs = {
    0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventArgs2 = {
    0x06fc7ab7, 0xc90c, 0x4297, {0x93, 0x89, 0x33, 0xca, 0x01, 0xcf, 0x6d, 0x5e}};
inline constexpr IID IID_ICoreWebView2ProcessFailedEventHandler = {
    0x79e0aea4, 0x990b, 0x42d9, {0xaa, 0x1d, 0x0f, 0xcc, 0x2e, 0x5b, 0xc7, 0xf1}};
inline constexpr IID IID_ICoreWebView2ProcessFailedEventArgs = {
    0x8155a9a4, 0x1474, 0x4a86, {0x8c, 0xae, 0x15, 0x1b, 0x0f, 0xa6, 0xb8, 0xca}};
inline constexpr IID IID_ICoreWebView2ObjectCollectionView = {
    0x0f36fd87, 0x4f69, 0x4415, {0x98, 0xda, 0x88, 0x8f, 0x89, 0xfb, 0x9a, 0x33}};
inline constexpr IID IID_ICoreWebView2File = {
    0xf2c19559, 0x6bc1, 0x4583, {0xa7, 0x57, 0x90, 0x02, 0x1b, 0xe9, 0xaf, 0xec}};

}  // namespace kelm::webview2
