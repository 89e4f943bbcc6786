// Small Windows Runtime helpers.
#include "desktop/winrt_support.h"

#include <bcrypt.h>
#include <roapi.h>

#include <array>
#include <vector>

#include "core/text.h"

namespace kelm::winrt {
namespace {

// The namespace of Windows Runtime parameterised interface identifiers,
// 11f47ad5-7b73-42c0-abae-878b1e16adee, in network byte order.
constexpr std::array<uint8_t, 16> kPinterfaceNamespace = {0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                                                          0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee};
// CNG's SHA-1 pseudo-handle.
const BCRYPT_ALG_HANDLE kSha1 = reinterpret_cast<BCRYPT_ALG_HANDLE>(static_cast<uintptr_t>(0x31));

}  // namespace

HString HString::From(std::wstring_view text) {
  HString s;
  if (FAILED(WindowsCreateString(text.data(), static_cast<UINT32>(text.size()), s.Put()))) s.h_ = nullptr;
  return s;
}

std::wstring HString::Wide() const {
  UINT32 length = 0;
  const wchar_t* raw = WindowsGetStringRawBuffer(h_, &length);
  return raw == nullptr ? std::wstring() : std::wstring(raw, length);
}

void HString::Reset() {
  if (h_ != nullptr) WindowsDeleteString(h_);
  h_ = nullptr;
}

HRESULT GetFactory(const wchar_t* runtimeClass, REFIID iid, void** factory) {
  *factory = nullptr;
  HString name = HString::From(runtimeClass);
  if (name.Get() == nullptr) return E_OUTOFMEMORY;
  return RoGetActivationFactory(name.Get(), iid, factory);
}

std::string Pinterface(std::string_view genericGuid, std::string_view argument) {
  return "pinterface(" + std::string(genericGuid) + ";" + std::string(argument) + ")";
}

GUID ParameterizedIid(std::string_view signature) {
  std::vector<uint8_t> input(kPinterfaceNamespace.begin(), kPinterfaceNamespace.end());
  input.insert(input.end(), signature.begin(), signature.end());
  std::array<uint8_t, 20> hash{};
  GUID g{};
  if (!BCRYPT_SUCCESS(BCryptHash(kSha1, nullptr, 0, input.data(), static_cast<ULONG>(input.size()), hash.data(),
                                 static_cast<ULONG>(hash.size())))) {
    return g;
  }
  hash[6] = static_cast<uint8_t>((hash[6] & 0x0F) | 0x50);  // name-based, SHA-1
  hash[8] = static_cast<uint8_t>((hash[8] & 0x3F) | 0x80);  // variant
  g.Data1 = uint32_t{hash[0]} << 24 | uint32_t{hash[1]} << 16 | uint32_t{hash[2]} << 8 | hash[3];
  g.Data2 = static_cast<uint16_t>(hash[4] << 8 | hash[5]);
  g.Data3 = static_cast<uint16_t>(hash[6] << 8 | hash[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = hash[8 + i];
  return g;
}

}  // namespace kelm::winrt
