#pragma once
// Declarations the MinGW headers lack, written by hand from the Windows Runtime
// documentation of Windows.UI.Notifications(.Management) and Windows.ApplicationModel.AppInfo:
// the user notification listener and the parts of a notification that are read.
// Methods are declared in their interface (vtable) order, including the ones this
// program never calls, so that the slots line up.
#include <windows.h>
#include <inspectable.h>
#include <asyncinfo.h>
#include <winstring.h>
#include <wtypes.h>

#include <cstdint>

namespace kelm::winrt {


// Windows.UI.Notifications.Management.UserNotificationListenerAccessStatus
enum class ListenerAccessStatus : int32_t { Unspecified = 0, Allowed = 1, Denied = 2 };
// Windows.UI.Notifications.NotificationKinds
enum class NotificationKinds : uint32_t { Unknown = 0, Toast = 1 };

inline constexpr wchar_t kListenerClass[] = L"Windows.UI.Notifications.Management.UserNotificationListener";
inline constexpr wchar_t kKnownBindingsClass[] = L"Windows.UI.Notifications.KnownNotificationBindings";
inline constexpr wchar_t kPackageClass[] = L"Windows.ApplicationModel.Package";

// Signatures of the parameterised interfaces used, for their computed identifiers.
inline constexpr char kUserNotificationSignature[] =
    "rc(Windows.UI.Notifications.UserNotification;{adf7e52f-4e53-42d5-9c33-eb5ea515b23e})";
inline constexpr char kAccessStatusSignature[] =
    "enum(Windows.UI.Notifications.Management.UserNotificationListenerAccessStatus;i4)";
inline constexpr char kVectorViewGuid[] = "{bbe1fa4c-b0e3-4583-baef-1f1b2e483e56}";
inline constexpr char kAsyncOperationGuid[] = "{9fc2b0bb-e446-44e2-aa61-9cab8f636af2}";
inline constexpr char kAsyncCompletedHandlerGuid[] = "{fcdcf02c-e5d8-4478-915a-4d90b74b83a5}";

struct IAppInfo;
struct IUserNotification;
struct INotification;
struct INotificationVisual;
struct INotificationBinding;
struct IAdaptiveNotificationText;

// IVectorView<T> for an interface-pointer element type.
template <typename T>
struct IVectorViewOf : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, T** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE IndexOf(T* value, UINT32* index, boolean* found) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, T** items, UINT32* actual) = 0;
};

template <typename R>
struct IAsyncOperationOf;

// IAsyncOperationCompletedHandler<R>
template <typename R>
struct IAsyncCompletedHandlerOf : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperationOf<R>* operation, AsyncStatus status) = 0;
};

// IAsyncOperation<R>; R is the result as it crosses the interface.
template <typename R>
struct IAsyncOperationOf : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IAsyncCompletedHandlerOf<R>* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IAsyncCompletedHandlerOf<R>** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(R* results) = 0;
};

using UserNotificationList = IVectorViewOf<IUserNotification>;
using ListingOperation = IAsyncOperationOf<UserNotificationList*>;
using AccessOperation = IAsyncOperationOf<ListenerAccessStatus>;

// Windows.UI.Notifications.Management.IUserNotificationListenerStatics
struct IUserNotificationListenerStatics : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Current(struct IUserNotificationListener** value) = 0;
};

// Windows.UI.Notifications.Management.IUserNotificationListener
struct IUserNotificationListener : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(AccessOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAccessStatus(ListenerAccessStatus* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_NotificationChanged(IUnknown* handler, INT64* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_NotificationChanged(INT64 token) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNotificationsAsync(NotificationKinds kinds, ListingOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNotification(UINT32 id, IUserNotification** notification) = 0;
  virtual HRESULT STDMETHODCALLTYPE ClearNotifications() = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveNotification(UINT32 id) = 0;
};

// Windows.UI.Notifications.IUserNotification
struct IUserNotification : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Notification(INotification** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AppInfo(IAppInfo** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CreationTime(INT64* value) = 0;  // a DateTime
};

// Windows.UI.Notifications.INotification
struct INotification : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_ExpirationTime(IUnknown** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExpirationTime(IUnknown* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Visual(INotificationVisual** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Visual(INotificationVisual* value) = 0;
};

// Windows.UI.Notifications.INotificationVisual
struct INotificationVisual : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Language(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Language(HSTRING value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Bindings(IUnknown** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBinding(HSTRING templateName, INotificationBinding** binding) = 0;
};

// Windows.UI.Notifications.INotificationBinding
struct INotificationBinding : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Template(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Template(HSTRING value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Language(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Language(HSTRING value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Hints(IUnknown** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTextElements(IVectorViewOf<IAdaptiveNotificationText>** items) = 0;
};

// Windows.UI.Notifications.IAdaptiveNotificationText
struct IAdaptiveNotificationText : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Text(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Text(HSTRING value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Language(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Language(HSTRING value) = 0;
};

// Windows.UI.Notifications.IKnownNotificationBindingsStatics
struct IKnownNotificationBindingsStatics
    : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_ToastGeneric(HSTRING* value) = 0;
};

// Windows.ApplicationModel.IAppDisplayInfo (the MinGW header that has it does not
// compile on its own)
struct IAppDisplayInfo : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Description(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLogo(INT64 size, IUnknown** value) = 0;  // a Size of two floats
};

// Windows.ApplicationModel.IPackageStatics; the package is only tested for presence.
struct IPackageStatics : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Current(IInspectable** package) = 0;
};

// Windows.ApplicationModel.IAppInfo
struct IAppInfo : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AppUserModelId(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DisplayInfo(IAppDisplayInfo** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PackageFamilyName(HSTRING* value) = 0;
};

}  // namespace kelm::winrt

// Interface identifiers, for __uuidof.
__CRT_UUID_DECL(kelm::winrt::IUserNotificationListenerStatics, 0xff6123cf, 0x4386, 0x4aa3, 0xb7, 0x3d, 0xb8, 0x04, 0xe5, 0xb6, 0x3b, 0x23)
__CRT_UUID_DECL(kelm::winrt::IUserNotificationListener, 0x62553e41, 0x8a06, 0x4cef, 0x82, 0x15, 0x60, 0x33, 0xa5, 0xbe, 0x4b, 0x03)
__CRT_UUID_DECL(kelm::winrt::IUserNotification, 0xadf7e52f, 0x4e53, 0x42d5, 0x9c, 0x33, 0xeb, 0x5e, 0xa5, 0x15, 0xb2, 0x3e)
__CRT_UUID_DECL(kelm::winrt::INotification, 0x108037fe, 0xeb76, 0x4f82, 0x97, 0xbc, 0xda, 0x07, 0x53, 0x0a, 0x2e, 0x20)
__CRT_UUID_DECL(kelm::winrt::INotificationVisual, 0x68835b8e, 0xaa56, 0x4e11, 0x86, 0xd3, 0x5f, 0x9a, 0x69, 0x57, 0xbc, 0x5b)
__CRT_UUID_DECL(kelm::winrt::INotificationBinding, 0xf29e4b85, 0x0370, 0x4ad3, 0xb4, 0xea, 0xda, 0x9e, 0x35, 0xe7, 0xea, 0xbf)
__CRT_UUID_DECL(kelm::winrt::IAdaptiveNotificationText, 0x46d4a3be, 0x609a, 0x4326, 0xa4, 0x0b, 0xbf, 0xde, 0x87, 0x20, 0x34, 0xa3)
__CRT_UUID_DECL(kelm::winrt::IKnownNotificationBindingsStatics, 0x79427bae, 0xa8b7, 0x4d58, 0x89, 0xea, 0x76, 0xa7, 0xb7, 0xbc, 0xce, 0xd2)
__CRT_UUID_DECL(kelm::winrt::IAppInfo, 0xcf7f59b3, 0x6a09, 0x4de8, 0xa6, 0xc0, 0x57, 0x92, 0xd5, 0x68, 0x80, 0xd1)
__CRT_UUID_DECL(kelm::winrt::IAppDisplayInfo, 0x1aeb1103, 0xe4d4, 0x41aa, 0xa4, 0xf6, 0xc4, 0xa2, 0x76, 0xe7, 0x9e, 0xac)
__CRT_UUID_DECL(kelm::winrt::IPackageStatics, 0x4e534bdf, 0x2960, 0x4878, 0x97, 0xa4, 0x96, 0x24, 0xde, 0xb7, 0x2f, 0x2d)

// The shell property PKEY_Link_TargetParsingPath: {B9B4B3FC-2B51-4A42-B5D8-324146AFCF25}, 2.
namespace kelm {
inline constexpr PROPERTYKEY kLinkTargetParsingPath = {
    {0xB9B4B3FC, 0x2B51, 0x4A42, {0xB5, 0xD8, 0x32, 0x41, 0x46, 0xAF, 0xCF, 0x25}}, 2};
}  // namespace kelm
