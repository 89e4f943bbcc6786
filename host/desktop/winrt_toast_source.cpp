// The Windows Runtime user notification listener behind the toast source.
#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "desktop/notification_listener_abi.h"
#include "desktop/toast_source.h"
#include "desktop/winrt_support.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;
using namespace winrt;

NotificationAccess FromListenerStatus(ListenerAccessStatus s) {
  switch (s) {
    case ListenerAccessStatus::Allowed: return NotificationAccess::Allowed;
    case ListenerAccessStatus::Denied: return NotificationAccess::Denied;
    default: return NotificationAccess::Waiting;
  }
}

// A completion handler for IAsyncOperation<R> that calls a function once. A COM
// object: it frees itself when the platform and this program have released it.
template <typename R>
class CompletionHandler final : public IAsyncCompletedHandlerOf<R> {
 public:
  using Done = std::function<void(IAsyncOperationOf<R>*, AsyncStatus)>;

  static ComPtr<CompletionHandler> Make(const GUID& iid, Done done) {
    ComPtr<CompletionHandler> handler;
    handler.Attach(new (std::nothrow) CompletionHandler(iid, std::move(done)));
    return handler;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IAgileObject)) || IsEqualIID(riid, iid_)) {
      *out = static_cast<IAsyncCompletedHandlerOf<R>*>(this);
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
  HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperationOf<R>* operation, AsyncStatus status) override {
    if (done_) done_(operation, status);
    return S_OK;
  }

 private:
  CompletionHandler(const GUID& iid, Done done) : iid_(iid), done_(std::move(done)) {}
  std::atomic<ULONG> refs_{1};
  GUID iid_;
  Done done_;
};

HRESULT GetListener(ComPtr<IUserNotificationListener>& listener) {
  ComPtr<IUserNotificationListenerStatics> statics;
  HRESULT hr = GetFactory(kListenerClass, statics.GetAddressOf());
  if (FAILED(hr)) return hr;
  hr = statics->get_Current(listener.GetAddressOf());
  if (SUCCEEDED(hr) && !listener) hr = E_POINTER;
  return hr;
}

std::string Utf8(const HString& s) { return WideToUtf8(s.Wide()); }

// App information: what could be read, and whether every call succeeded.
void ReadApp(IUserNotification* toast, ToastRecord& record) {
  ComPtr<IAppInfo> app;
  if (FAILED(toast->get_AppInfo(app.GetAddressOf())) || !app) return;
  HString id;
  if (FAILED(app->get_AppUserModelId(id.Put()))) return;
  record.appId = id.Wide();
  ComPtr<IAppDisplayInfo> display;
  if (FAILED(app->get_DisplayInfo(display.GetAddressOf())) || !display) return;
  HString name;
  if (FAILED(display->get_DisplayName(name.Put()))) return;
  record.appName = Utf8(name);
  record.appInfoRead = true;
}

// Text elements of the generic toast binding; a failure keeps what was read.
void ReadTexts(IUserNotification* toast, HSTRING toastGeneric, ToastRecord& record) {
  ComPtr<INotification> notification;
  ComPtr<INotificationVisual> visual;
  ComPtr<INotificationBinding> binding;
  ComPtr<IVectorViewOf<IAdaptiveNotificationText>> texts;
  UINT32 count = 0;
  if (FAILED(toast->get_Notification(notification.GetAddressOf())) || !notification ||
      FAILED(notification->get_Visual(visual.GetAddressOf())) || !visual ||
      FAILED(visual->GetBinding(toastGeneric, binding.GetAddressOf())) || !binding ||
      FAILED(binding->GetTextElements(texts.GetAddressOf())) || !texts || FAILED(texts->get_Size(&count))) {
    return;
  }
  for (UINT32 i = 0; i < count; ++i) {
    ComPtr<IAdaptiveNotificationText> element;
    HString text;
    if (FAILED(texts->GetAt(i, element.GetAddressOf())) || !element || FAILED(element->get_Text(text.Put()))) return;
    record.texts.push_back(Utf8(text));
  }
}

}  // namespace

bool HasPackageIdentity() {
  ComPtr<IPackageStatics> statics;
  if (FAILED(GetFactory(kPackageClass, statics.GetAddressOf()))) return false;
  ComPtr<IInspectable> package;
  return SUCCEEDED(statics->get_Current(package.GetAddressOf())) && package;
}

NotificationAccess WinRtToastSource::CurrentAccess() {
  if (!HasPackageIdentity()) return NotificationAccess::Unavailable;
  ComPtr<IUserNotificationListener> listener;
  ListenerAccessStatus status = ListenerAccessStatus::Unspecified;
  HRESULT hr = GetListener(listener);
  if (SUCCEEDED(hr)) hr = listener->GetAccessStatus(&status);
  if (FAILED(hr)) {
    LogDebug("Notification access status: {}", ErrorText(hr));
    return NotificationAccess::Unavailable;
  }
  return FromListenerStatus(status);
}

ToastSource::Listing WinRtToastSource::List(HANDLE stop, std::vector<ToastRecord>& toasts, std::string& error) {
  toasts.clear();
  ComPtr<IUserNotificationListener> listener;
  HRESULT hr = GetListener(listener);
  ComPtr<IKnownNotificationBindingsStatics> bindings;
  HString toastGeneric;
  if (SUCCEEDED(hr)) hr = GetFactory(kKnownBindingsClass, bindings.GetAddressOf());
  if (SUCCEEDED(hr)) hr = bindings->get_ToastGeneric(toastGeneric.Put());
  ComPtr<ListingOperation> operation;
  if (SUCCEEDED(hr)) hr = listener->GetNotificationsAsync(NotificationKinds::Toast, operation.GetAddressOf());
  if (SUCCEEDED(hr) && !operation) hr = E_POINTER;
  WinHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (SUCCEEDED(hr) && !done) hr = HRESULT_FROM_WIN32(GetLastError());
  if (SUCCEEDED(hr)) {
    const std::string signature =
        Pinterface(kAsyncCompletedHandlerGuid, Pinterface(kVectorViewGuid, kUserNotificationSignature));
    HANDLE event = done.Get();
    // The handler may outlive this call (a cancelled listing completes later), so
    // it holds its own reference to the event.
    HANDLE eventCopy = nullptr;
    DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &eventCopy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    auto owned = std::make_shared<WinHandle>(eventCopy);
    auto handler = CompletionHandler<UserNotificationList*>::Make(
        ParameterizedIid(signature), [owned](ListingOperation*, AsyncStatus) { SetEvent(owned->Get()); });
    hr = handler ? operation->put_Completed(handler.Get()) : E_OUTOFMEMORY;
    if (SUCCEEDED(hr) && !*owned) hr = HRESULT_FROM_WIN32(GetLastError());
  }
  if (SUCCEEDED(hr)) {
    const HANDLE waits[2] = {stop, done.Get()};
    const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1) {
      ComPtr<IAsyncInfo> info;
      if (SUCCEEDED(operation.As(&info))) info->Cancel();
      return Listing::Stopped;
    }
    ComPtr<UserNotificationList> list;
    hr = operation->GetResults(list.GetAddressOf());
    UINT32 count = 0;
    if (SUCCEEDED(hr) && !list) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = list->get_Size(&count);
    for (UINT32 i = 0; SUCCEEDED(hr) && i < count; ++i) {
      ComPtr<IUserNotification> toast;
      ToastRecord record;
      hr = list->GetAt(i, toast.GetAddressOf());
      if (SUCCEEDED(hr) && !toast) hr = E_POINTER;
      if (SUCCEEDED(hr)) hr = toast->get_Id(&record.id);
      if (FAILED(hr)) break;
      ReadApp(toast.Get(), record);
      ReadTexts(toast.Get(), toastGeneric.Get(), record);
      try {
        toasts.push_back(std::move(record));
      } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
      }
    }
  }
  if (FAILED(hr)) {
    error = ErrorText(hr);
    toasts.clear();
    return Listing::Failed;
  }
  return Listing::Done;
}

void RequestNotificationAccess(std::function<void(NotificationAccess)> answer) {
  if (!answer) return;
  if (!HasPackageIdentity()) {
    answer(NotificationAccess::Unavailable);
    return;
  }
  ComPtr<IUserNotificationListener> listener;
  ListenerAccessStatus status = ListenerAccessStatus::Unspecified;
  HRESULT hr = GetListener(listener);
  if (SUCCEEDED(hr)) hr = listener->GetAccessStatus(&status);
  if (SUCCEEDED(hr) && status == ListenerAccessStatus::Allowed) {
    answer(NotificationAccess::Allowed);
    return;
  }
  ComPtr<AccessOperation> operation;
  if (SUCCEEDED(hr)) hr = listener->RequestAccessAsync(operation.GetAddressOf());
  if (SUCCEEDED(hr) && !operation) hr = E_POINTER;
  if (SUCCEEDED(hr)) {
    auto handler = CompletionHandler<ListenerAccessStatus>::Make(
        ParameterizedIid(Pinterface(kAsyncCompletedHandlerGuid, kAccessStatusSignature)),
        [answer](AccessOperation* op, AsyncStatus s) {
          ListenerAccessStatus result = ListenerAccessStatus::Unspecified;
          if (s != AsyncStatus::Completed || op == nullptr || FAILED(op->GetResults(&result))) {
            answer(NotificationAccess::Waiting);
            return;
          }
          answer(FromListenerStatus(result));
        });
    hr = handler ? operation->put_Completed(handler.Get()) : E_OUTOFMEMORY;
  }
  if (FAILED(hr)) {
    LogWarn("Requesting notification access failed: {}", ErrorText(hr));
    answer(NotificationAccess::Unavailable);
  }
}

}  // namespace kelm
