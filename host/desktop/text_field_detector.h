#pragma once
// Process-wide text-field detection: tells subscribers whether the user types into a text
// field and where its caret (or the field) is, from UI Automation focus changes and the
// system caret. One thread for the process, started by the first subscription.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/win_handle.h"
#include "desktop/text_field_state.h"

struct IUIAutomationElement;

namespace kelm {

using TextFieldCallback = std::function<void(bool active, const RECT& rect, bool reset)>;

class TextFieldDetector {
 public:
  static TextFieldDetector& Instance();

  // Starts the detector thread on the first call. The callback runs on that thread with
  // the detector's lock held: it must not subscribe, unsubscribe or block for long.
  int32_t Subscribe(TextFieldCallback callback);
  // The thread keeps running for later subscriptions.
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
  bool started_ = false;
  bool stopping_ = false;
  std::thread thread_;
  WinHandle stopEvent_;
  WinHandle exitedEvent_;
};

// Whether a focused element takes text.
bool IsEditableElement(IUIAutomationElement* element, int32_t controlType);

}  // namespace kelm
