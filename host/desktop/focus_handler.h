#pragma once
// UI Automation focus-change handler of the text-field detector.
#include <windows.h>
#include <uiautomationclient.h>

#include <atomic>

namespace kelm {

class TextFieldDetector;

class FocusHandler final : public IUIAutomationFocusChangedEventHandler {
 public:
  explicit FocusHandler(TextFieldDetector* detector) : detector_(detector) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) override;

 private:
  ~FocusHandler() = default;

  std::atomic<ULONG> refs_{1};
  TextFieldDetector* detector_;
};

}  // namespace kelm
