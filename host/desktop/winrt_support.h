#pragma once
// Small Windows Runtime helpers: owned HSTRINGs, activation factories and the
// identifiers of parameterised interfaces, computed from their signatures.
#include <windows.h>
#include <inspectable.h>
#include <winstring.h>

#include <string>
#include <string_view>

namespace kelm::winrt {

// Sole owner of an HSTRING.
class HString {
 public:
  HString() = default;
  ~HString() { Reset(); }
  HString(HString&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  HString& operator=(HString&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  static HString From(std::wstring_view text);
  HSTRING Get() const { return h_; }
  HSTRING* Put() {
    Reset();
    return &h_;
  }
  std::wstring Wide() const;
  void Reset();

 private:
  HSTRING h_ = nullptr;
};

// The activation factory (statics) of a runtime class.
HRESULT GetFactory(const wchar_t* runtimeClass, REFIID iid, void** factory);

template <typename T>
HRESULT GetFactory(const wchar_t* runtimeClass, T** factory) {
  return GetFactory(runtimeClass, __uuidof(T), reinterpret_cast<void**>(factory));
}

// The identifier of a parameterised interface from its signature text, such as
// "pinterface({bbe1fa4c-b0e3-4583-baef-1f1b2e483e56};string)".
GUID ParameterizedIid(std::string_view signature);

// "pinterface(G;A)" for a generic interface G and one argument signature A.
std::string Pinterface(std::string_view genericGuid, std::string_view argument);

}  // namespace kelm::winrt
