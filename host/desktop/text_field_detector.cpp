// The process's text-field detector thread: UI Automation focus, caret WinEvents and the
// caret hide deadline.
#include "desktop/text_field_detector.h"

#include <objbase.h>
#include <uiautomationclient.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "core/com_apartment.h"
#include "core/lingering_threads.h"
#include "core/log.h"
#include "core/text.h"
#include "desktop/caret_poll_standin.h"
#include "desktop/focus_handler.h"

namespace kelm {

namespace {

using Microsoft::WRL::ComPtr;

constexpr DWORD kLoopWaitMs = 50;

std::atomic<TextFieldDetector*> hookTarget{nullptr};

FieldRect ToFieldRect(const RECT& r) {
  return FieldRect{r.left, r.top, r.right, r.bottom};
}

const char* OnOff(bool on) {
  return on ? "on" : "off";
}

}  // namespace

// Owns the instance for the life of the process. When the thread does not stop in time
// at exit, the detector is left allocated, because that thread still uses it.
struct DetectorOwner {
  std::unique_ptr<TextFieldDetector> detector{new TextFieldDetector()};
  ~DetectorOwner() {
    if (!detector->Stop()) {
      static_cast<void>(detector.release());
    }
  }
};

TextFieldDetector& TextFieldDetector::Instance() {
  static DetectorOwner owner;
  return *owner.detector;
}

TextFieldDetector::TextFieldDetector() : state_([] { return GetTickCount64(); }) {}

TextFieldDetector::~TextFieldDetector() {
  Stop();
}

int32_t TextFieldDetector::Subscribe(TextFieldCallback callback) {
  std::lock_guard lock(mutex_);
  if (!started_ && !stopping_) {
    stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    exitedEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (stopEvent_ && exitedEvent_) {
      started_ = true;
      thread_ = std::thread([this] { ThreadMain(); });
    } else {
      LogWarn("Text field detection could not start ({})", Win32ErrorText(GetLastError()));
    }
  }
  auto mailbox = std::make_shared<CallbackMailbox>();
  auto shared = std::make_shared<TextFieldCallback>(std::move(callback));
  const int32_t id = state_.Subscribe([mailbox, shared](bool active, const FieldRect& r, bool reset) {
    if (!*shared) return;
    const RECT rect{r.left, r.top, r.right, r.bottom};
    mailbox->Post([shared, active, rect, reset] { (*shared)(active, rect, reset); });
  });
  mailboxes_[id] = std::move(mailbox);
  return id;
}

void TextFieldDetector::Unsubscribe(int32_t id) {
  std::shared_ptr<CallbackMailbox> mailbox;
  {
    std::lock_guard lock(mutex_);
    state_.Unsubscribe(id);
    if (const auto it = mailboxes_.find(id); it != mailboxes_.end()) {
      mailbox = std::move(it->second);
      mailboxes_.erase(it);
    }
  }
  // Closed outside the lock: a call under way may be sending to a stalled device.
  if (mailbox) mailbox->Close();
}

bool TextFieldDetector::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (!thread_.joinable()) {
    return true;
  }
  if (thread_.get_id() == std::this_thread::get_id()) {
    AdoptLingeringThread(std::move(thread_));  // joining itself would fail; the thread is on its way out
    return false;
  }
  SetEvent(stopEvent_.Get());
  if (WaitForSingleObject(exitedEvent_.Get(), kStopWaitMs) != WAIT_OBJECT_0) {
    LogWarn("Text field detection did not stop within {} ms", kStopWaitMs);
    AdoptLingeringThread(std::move(thread_));
    return false;
  }
  thread_.join();
  return true;
}

void TextFieldDetector::ThreadMain() {
  hookTarget.store(this);
  ComApartment com = EnterComApartment(COINIT_MULTITHREADED);

  ComPtr<IUIAutomation> automation;
  ComPtr<FocusHandler> handler;
  HRESULT hr = CoCreateInstance(__uuidof(CUIAutomation), nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IUIAutomation), reinterpret_cast<void**>(automation.GetAddressOf()));
  if (SUCCEEDED(hr)) {
    handler.Attach(new FocusHandler(this));
    hr = automation->AddFocusChangedEventHandler(nullptr, handler.Get());
  }
  const bool automationOn = SUCCEEDED(hr);
  if (!automationOn) {
    LogWarn("UI Automation focus tracking unavailable ({})", ErrorText(hr));
    handler.Reset();
  }

  constexpr DWORD kHookFlags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS;
  const HWINEVENTHOOK hooks[] = {
      SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_HIDE, nullptr, OnWinEvent, 0, 0, kHookFlags),
      SetWinEventHook(EVENT_OBJECT_LOCATIONCHANGE, EVENT_OBJECT_LOCATIONCHANGE, nullptr, OnWinEvent, 0, 0,
                      kHookFlags),
      SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr, OnWinEvent, 0, 0, kHookFlags),
  };
  const bool caretHooksOn = hooks[0] != nullptr && hooks[1] != nullptr;
  std::unique_ptr<CaretPollStandIn> caretPoll;
  if (CaretPollStandIn::Needed()) {
    caretPoll = std::make_unique<CaretPollStandIn>();
  }
  LogDebug("Text field detection started (UI Automation {}, caret hooks {})", OnOff(automationOn),
           OnOff(caretHooksOn));

  const HANDLE stop = stopEvent_.Get();
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &stop, FALSE, kLoopWaitMs, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
      break;
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (caretPoll) {
      for (const CaretPollStandIn::Event& e : caretPoll->Poll()) {
        OnCaretEvent(e.window, e.event);
      }
    }
    std::lock_guard lock(mutex_);
    if (state_.DeadlinePassed()) {
      LogDebug("Caret gone");
      state_.EndCaret();
    }
  }

  for (const HWINEVENTHOOK hook : hooks) {
    if (hook != nullptr) {
      UnhookWinEvent(hook);
    }
  }
  // Removed without the detector's lock: a handler call under way may be waiting for it.
  if (handler) {
    automation->RemoveFocusChangedEventHandler(handler.Get());
    handler.Reset();
  }
  automation.Reset();
  com.Reset();
  hookTarget.store(nullptr);
  SetEvent(exitedEvent_.Get());
}

void CALLBACK TextFieldDetector::OnWinEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG objectId, LONG, DWORD,
                                            DWORD) {
  TextFieldDetector* detector = hookTarget.load();
  if (detector == nullptr) {
    return;
  }
  if (event == EVENT_SYSTEM_FOREGROUND) {
    detector->OnForeground();
  } else if (objectId == OBJID_CARET && window != nullptr) {
    detector->OnCaretEvent(window, event);
  }
}

void TextFieldDetector::OnForeground() {
  std::lock_guard lock(mutex_);
  state_.OnForeground();
}

void TextFieldDetector::OnCaretEvent(HWND window, DWORD event) {
  std::lock_guard lock(mutex_);
  switch (event) {
    case EVENT_OBJECT_DESTROY:
    case EVENT_OBJECT_HIDE:
      state_.OnCaretHidden();
      break;
    case EVENT_OBJECT_CREATE:
    case EVENT_OBJECT_SHOW:
    case EVENT_OBJECT_LOCATIONCHANGE: {
      RECT rect{};
      GUITHREADINFO info{};
      info.cbSize = sizeof info;
      if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndCaret != nullptr) {
        rect = info.rcCaret;
        MapWindowPoints(info.hwndCaret, nullptr, reinterpret_cast<POINT*>(&rect), 2);
      } else {
        GetWindowRect(window, &rect);
      }
      if (event != EVENT_OBJECT_LOCATIONCHANGE) {
        LogDebug("Caret shown at ({},{})-({},{})", rect.left, rect.top, rect.right, rect.bottom);
      }
      state_.OnCaretShown(ToFieldRect(rect));
      break;
    }
    default:
      break;
  }
}

void TextFieldDetector::OnFocusChanged(bool editable, const RECT& rect) {
  std::lock_guard lock(mutex_);
  if (stopping_) {
    return;
  }
  state_.OnFocus(editable, ToFieldRect(rect));
}

}  // namespace kelm
