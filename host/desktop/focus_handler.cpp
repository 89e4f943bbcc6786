// Focus changes from UI Automation, and what makes an element take text.
#include "desktop/focus_handler.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "core/log.h"
#include "core/messages.h"
#include "core/text.h"
#include "desktop/text_field_detector.h"

namespace kelm {

namespace {

using Microsoft::WRL::ComPtr;

// Missing from the SDK headers at hand; value from the UI Automation documentation.
constexpr TEXTATTRIBUTEID kIsReadOnlyAttributeId = 40015;
constexpr size_t kLoggedNameBytes = 40;

class ElementProbe final : public EditableProbe {
 public:
  explicit ElementProbe(IUIAutomationElement* element) : element_(element) {}

  std::optional<bool> Enabled() override {
    BOOL enabled = FALSE;
    if (FAILED(element_->get_CurrentIsEnabled(&enabled))) {
      return std::nullopt;
    }
    return enabled != FALSE;
  }
  bool HasValuePattern() override {
    if (!valueAsked_) {
      valueAsked_ = true;
      if (FAILED(element_->GetCurrentPatternAs(UIA_ValuePatternId, __uuidof(IUIAutomationValuePattern),
                                                reinterpret_cast<void**>(value_.ReleaseAndGetAddressOf())))) {
        value_.Reset();
      }
    }
    return value_ != nullptr;
  }
  std::optional<bool> ValueReadOnly() override {
    BOOL readOnly = FALSE;
    if (!HasValuePattern() || FAILED(value_->get_CurrentIsReadOnly(&readOnly))) {
      return std::nullopt;
    }
    return readOnly != FALSE;
  }
  std::optional<bool> TextReadOnly() override {
    ComPtr<IUIAutomationTextPattern> text;
    if (FAILED(element_->GetCurrentPatternAs(UIA_TextPatternId, __uuidof(IUIAutomationTextPattern),
                                             reinterpret_cast<void**>(text.GetAddressOf()))) ||
        text == nullptr) {
      return std::nullopt;
    }
    ComPtr<IUIAutomationTextRange> range;
    if (FAILED(text->get_DocumentRange(range.GetAddressOf())) || range == nullptr) {
      return std::nullopt;
    }
    VARIANT value;
    VariantInit(&value);
    std::optional<bool> result;
    if (SUCCEEDED(range->GetAttributeValue(kIsReadOnlyAttributeId, &value)) && V_VT(&value) == VT_BOOL) {
      result = V_BOOL(&value) != VARIANT_FALSE;
    }
    VariantClear(&value);
    return result;
  }

 private:
  IUIAutomationElement* element_;
  bool valueAsked_ = false;
  ComPtr<IUIAutomationValuePattern> value_;
};

std::string ElementName(IUIAutomationElement* element) {
  BSTR name = nullptr;
  if (FAILED(element->get_CurrentName(&name)) || name == nullptr) {
    return {};
  }
  std::string utf8 = WideToUtf8(std::wstring_view(name, SysStringLen(name)));
  SysFreeString(name);
  // Whole characters only: a cut inside one would put a broken sequence in the log.
  return std::string(msg::CutAtCharacter(utf8, kLoggedNameBytes));
}

}  // namespace

bool IsEditableElement(IUIAutomationElement* element, int32_t controlType) {
  if (element == nullptr) {
    return false;
  }
  ElementProbe probe(element);
  return DecideEditable(probe, controlType);
}

HRESULT STDMETHODCALLTYPE FocusHandler::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IUIAutomationFocusChangedEventHandler)) {
    *object = static_cast<IUIAutomationFocusChangedEventHandler*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FocusHandler::AddRef() {
  return ++refs_;
}

ULONG STDMETHODCALLTYPE FocusHandler::Release() {
  const ULONG left = --refs_;
  if (left == 0) {
    delete this;  // COM lifetime: the last reference frees the object
  }
  return left;
}

HRESULT STDMETHODCALLTYPE FocusHandler::HandleFocusChangedEvent(IUIAutomationElement* sender) {
  if (sender == nullptr) {
    return S_OK;
  }
  RECT rect{};
  if (FAILED(sender->get_CurrentBoundingRectangle(&rect))) {
    rect = RECT{};
  }
  CONTROLTYPEID type = 0;
  if (FAILED(sender->get_CurrentControlType(&type))) {
    type = 0;
  }
  const bool editable = IsEditableElement(sender, type);
  LogDebug("Focus: type {} '{}' editable={} at ({},{})-({},{})", type, ElementName(sender), editable, rect.left,
           rect.top, rect.right, rect.bottom);
  detector_->OnFocusChanged(editable, rect);
  return S_OK;
}

}  // namespace kelm
