// For the decoder checks: reads texts, one per line in hex, and prints for each its
// code's version, level (0-3, L to H), mask and markup, space-separated, or "none".
#include <iostream>
#include <string>

#include "app/qr_code.h"
#include "core/encoding.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto bytes = kelm::HexDecode(line);
    if (!bytes) {
      std::cout << "bad\n";
      continue;
    }
    const std::string text(bytes->begin(), bytes->end());
    const auto code = kelm::QrCode::EncodeText(text);
    if (!code || text.empty()) {
      std::cout << "none\n";
      continue;
    }
    std::cout << code->Version() << ' ' << static_cast<int>(code->Ecc()) << ' ' << code->Mask() << ' '
              << kelm::QrSvg(text) << '\n';
  }
  return 0;
}
