#pragma once
// Process-wide text-field detection: tells subscribers whether the user types into a text
// field and where its caret (or the field) is, from UI Automation focus changes and the
// system caret. One thread for the process, started by the first subscription.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/win_handle.h"
#include "desktop/callback_mailbox.h"
#include "desktop/text_field_state.h"

struct IUIAutomationElement;

namespace kelm {

using TextFieldCallback = std::function<void(bool active, const RECT& rect, bool reset)>;

class TextFieldDetector {
 public:
  static TextFieldDetector& Instance();

  // Starts the detector thread on the first call. Each subscription's callback runs on a
  // thread of its own, outside the detector's lock, so one that blocks (its device
  // stopped reading) delays neither the detector nor the other subscribers.
  int32_t Subscribe(TextFieldCallback callback);
  // No call of that callback runs once this returns (one under way is waited for, so do
  // not call it from the callback). The detector thread keeps running for later ones.
  void Unsubscribe(int32_t id);

  // How long process exit waits for the thread before leaving it behind.
  static constexpr uint32_t kStopWaitMs = 3000;

  ~TextFieldDetector();
  TextFieldDetector(const TextFieldDetector&) = delete;
  TextFieldDetector& operator=(const TextFieldDetector&) = delete;

 private:
  friend class FocusHandler;
  friend struct DetectorOwner;

  TextFieldDetector();
  // Stops and joins the thread; false when it did not end within kStopWaitMs (it is then
  // left running and the detector must stay alive).
  bool Stop();
  void ThreadMain();
  static void CALLBACK OnWinEvent(HWINEVENTHOOK hook, DWORD event, HWND window, LONG objectId, LONG childId,
                                  DWORD thread, DWORD time);
  void OnCaretEvent(HWND window, DWORD event);
  void OnForeground();
  // From the focus handler, on a UI Automation thread.
  void OnFocusChanged(bool editable, const RECT& rect);

  std::mutex mutex_;
  TextFieldState state_;
  std::map<int32_t, std::shared_ptr<CallbackMailbox>> mailboxes_;  // guarded by mutex_
  bool started_ = false;
  bool stopping_ = false;
  std::thread thread_;
  WinHandle stopEvent_;
  WinHandle exitedEvent_;
};

// Whether a focused element takes text.
bool IsEditableElement(IUIAutomationElement* element, int32_t controlType);

}  // namespace kelm
