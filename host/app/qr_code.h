#pragma once
// QR codes of short texts (the pairing link, the authenticator enrolment URI) and their
// SVG markup for the page.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

// Error-correction levels, lowest first.
enum class QrEcc : uint8_t { Low = 0, Medium = 1, Quartile = 2, High = 3 };

class QrCode {
 public:
  static constexpr int kMinVersion = 1;
  static constexpr int kMaxVersion = 40;

  // One segment (numeric, alphanumeric or the UTF-8 bytes) in the smallest version that
  // holds it at MEDIUM, the level then raised while the data still fits, and the mask
  // with the lowest penalty. Nothing when the text does not fit version 40 at MEDIUM.
  static std::optional<QrCode> EncodeText(std::string_view text);

  int Version() const { return version_; }
  int Size() const { return size_; }
  int Mask() const { return mask_; }
  QrEcc Ecc() const { return ecc_; }
  // True for a dark module; false outside the symbol.
  bool GetModule(int x, int y) const {
    return x >= 0 && y >= 0 && x < size_ && y < size_ && modules_[static_cast<size_t>(y * size_ + x)] != 0;
  }

 private:
  QrCode(int version, QrEcc ecc, int mask, std::vector<uint8_t> modules)
      : version_(version), size_(version * 4 + 17), mask_(mask), ecc_(ecc), modules_(std::move(modules)) {}

  int version_;
  int size_;
  int mask_;
  QrEcc ecc_;
  std::vector<uint8_t> modules_;  // row by row, 1 = dark
};

// The markup of `code`: a white square with a 3-module quiet zone and one 1x1 path square
// per dark module, rows from the top, each from the left.
std::string QrSvgOf(const QrCode& code);
// QrSvgOf of the text's code; "" for the empty text and for a text too long for a code.
std::string QrSvg(std::string_view text);

}  // namespace kelm
