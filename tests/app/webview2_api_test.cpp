// The WebView2 declarations sit in the slots the interface definition gives them: a
// method declared out of order would silently call its neighbour in the runtime.
#include "app/webview2_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kelm::webview2 {
namespace {

// The Itanium ABI (mingw-w64 GCC) stores a pointer to a virtual member as 1 plus the
// byte offset of its vtable entry.
template <typename Member>
size_t SlotOf(Member member) {
  static_assert(sizeof(Member) >= sizeof(uintptr_t));
  uintptr_t raw = 0;
  std::memcpy(&raw, &member, sizeof raw);
  EXPECT_EQ(raw & 1u, 1u) << "not a virtual member";
  return (raw - 1) / sizeof(void*);
}

struct Row {
  const char* name;
  size_t slot;
  size_t expected;
};

#define SLOT(member, expected) Row{#member, SlotOf(&member), expected}

TEST(WebView2ApiTest, EveryCalledMethodSitsInItsDefinitionSlot) {
  const Row rows[] = {
      SLOT(ICoreWebView2Environment::CreateCoreWebView2Controller, 3),
      SLOT(ICoreWebView2Environment::get_BrowserVersionString, 5),
      SLOT(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler::Invoke, 3),
      SLOT(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler::Invoke, 3),
      SLOT(ICoreWebView2Controller::put_IsVisible, 4),
      SLOT(ICoreWebView2Controller::put_Bounds, 6),
      SLOT(ICoreWebView2Controller::NotifyParentWindowPositionChanged, 23),
      SLOT(ICoreWebView2Controller::Close, 24),
      SLOT(ICoreWebView2Controller::get_CoreWebView2, 25),
      SLOT(ICoreWebView2Controller2::put_DefaultBackgroundColor, 27),
      SLOT(ICoreWebView2Controller3::put_BoundsMode, 35),
      SLOT(ICoreWebView2Controller4::put_AllowExternalDrop, 37),
      SLOT(ICoreWebView2::get_Settings, 3),
      SLOT(ICoreWebView2::NavigateToString, 6),
      SLOT(ICoreWebView2::add_NavigationStarting, 7),
      SLOT(ICoreWebView2::add_ProcessFailed, 25),
      SLOT(ICoreWebView2::Reload, 31),
      SLOT(ICoreWebView2::PostWebMessageAsJson, 32),
      SLOT(ICoreWebView2::add_WebMessageReceived, 34),
      SLOT(ICoreWebView2::add_NewWindowRequested, 44),
      SLOT(ICoreWebView2::remove_WindowCloseRequested, 60),
      SLOT(ICoreWebView2Settings::put_IsStatusBarEnabled, 10),
      SLOT(ICoreWebView2Settings::put_AreDevToolsEnabled, 12),
      SLOT(ICoreWebView2Settings::put_AreDefaultContextMenusEnabled, 14),
      SLOT(ICoreWebView2Settings::put_IsZoomControlEnabled, 18),
      SLOT(ICoreWebView2Settings::put_IsBuiltInErrorPageEnabled, 20),
      SLOT(ICoreWebView2Settings3::put_AreBrowserAcceleratorKeysEnabled, 24),
      SLOT(ICoreWebView2Settings4::put_IsGeneralAutofillEnabled, 28),
      SLOT(ICoreWebView2Settings5::put_IsPinchZoomEnabled, 30),
      SLOT(ICoreWebView2Settings6::put_IsSwipeNavigationEnabled, 32),
      SLOT(ICoreWebView2NavigationStartingEventArgs::get_Uri, 3),
      SLOT(ICoreWebView2NavigationStartingEventArgs::put_Cancel, 8),
      SLOT(ICoreWebView2NewWindowRequestedEventArgs::get_Uri, 3),
      SLOT(ICoreWebView2NewWindowRequestedEventArgs::put_Handled, 6),
      SLOT(ICoreWebView2WebMessageReceivedEventArgs::get_WebMessageAsJson, 4),
      SLOT(ICoreWebView2WebMessageReceivedEventArgs2::get_AdditionalObjects, 6),
      SLOT(ICoreWebView2ObjectCollectionView::get_Count, 3),
      SLOT(ICoreWebView2ObjectCollectionView::GetValueAtIndex, 4),
      SLOT(ICoreWebView2File::get_Path, 3),
      SLOT(ICoreWebView2ProcessFailedEventArgs::get_ProcessFailedKind, 3),
      SLOT(ICoreWebView2NavigationStartingEventHandler::Invoke, 3),
      SLOT(ICoreWebView2NewWindowRequestedEventHandler::Invoke, 3),
      SLOT(ICoreWebView2WebMessageReceivedEventHandler::Invoke, 3),
      SLOT(ICoreWebView2ProcessFailedEventHandler::Invoke, 3),
  };
  for (const Row& r : rows) EXPECT_EQ(r.slot, r.expected) << r.name;
}

std::string IidText(const IID& iid) {
  wchar_t text[40] = {};
  StringFromGUID2(iid, text, 40);
  std::string out;
  for (wchar_t c : std::wstring(text)) out.push_back(static_cast<char>(c));
  return out;
}

TEST(WebView2ApiTest, InterfaceIdsAsTheDefinitionWritesThem) {
  const std::pair<const IID*, const char*> rows[] = {
      {&IID_ICoreWebView2Environment, "{B96D755E-0319-4E92-A296-23436F46A1FC}"},
      {&IID_ICoreWebView2Controller4, "{97D418D5-A426-4E49-A151-E1A10F327D9E}"},
      {&IID_ICoreWebView2Settings6, "{11CB3ACD-9BC8-43B8-83BF-F40753714F87}"},
      {&IID_ICoreWebView2Settings, "{E562E4F0-D7FA-43AC-8D71-C05150499F00}"},
      {&IID_ICoreWebView2WebMessageReceivedEventArgs2, "{06FC7AB7-C90C-4297-9389-33CA01CF6D5E}"},
      {&IID_ICoreWebView2File, "{F2C19559-6BC1-4583-A757-90021BE9AFEC}"},
  };
  for (auto [iid, text] : rows) EXPECT_EQ(IidText(*iid), text);
}

}  // namespace
}  // namespace kelm::webview2
