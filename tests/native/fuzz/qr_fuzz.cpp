// QR markup of any text without NUL: no crash, the exact form with N = 4 * version + 23,
// and byte for byte the markup built from the reference library's modules.
#include <qrcodegen/qrcodegen.hpp>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/qr_code.h"
#include "app/qr_svg_form.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reference takes a C string, so a NUL would end its text early.
  if (std::memchr(data, 0, size) != nullptr) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string svg = kelm::QrSvg(text);

  std::string expected;
  if (!text.empty()) {
    try {
      const auto reference = qrcodegen::QrCode::encodeText(text.c_str(), qrcodegen::QrCode::Ecc::MEDIUM);
      expected = kelm::test::BuildQrSvg(reference.getSize(), [&](int x, int y) { return reference.getModule(x, y); });
    } catch (const qrcodegen::data_too_long&) {
    }
  }
  FUZZ_CHECK(svg == expected);
  if (svg.empty()) return 0;
  const auto code = kelm::QrCode::EncodeText(text);
  FUZZ_CHECK(code.has_value());
  const auto parsed = kelm::test::ParseQrSvg(svg);
  FUZZ_CHECK(parsed.has_value());
  FUZZ_CHECK(parsed->n == 4 * code->Version() + 23);
  return 0;
}
