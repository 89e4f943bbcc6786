// Portable naming rules for transferred files.
#include "desktop/transfer_names.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/utf8.h"

namespace kelm {
namespace {

constexpr char32_t kReplacement = U'_';

std::u32string DecodeUtf8(std::string_view text) {
  const std::string valid = SanitizeUtf8(text);
  std::u32string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size();) {
    const auto b0 = static_cast<uint8_t>(valid[i]);
    size_t n = 1;
    char32_t cp = b0;
    if (b0 >= 0xF0) {
      n = 4, cp = b0 & 0x07;
    } else if (b0 >= 0xE0) {
      n = 3, cp = b0 & 0x0F;
    } else if (b0 >= 0xC0) {
      n = 2, cp = b0 & 0x1F;
    }
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<uint8_t>(valid[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

std::string EncodeUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char32_t cp : text) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

size_t Utf16Units(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }
size_t Utf16Units(std::u32string_view text) {
  size_t n = 0;
  for (const char32_t cp : text) n += Utf16Units(cp);
  return n;
}

// Unicode's format characters (category Cf) and the C1 controls: bidi overrides and
// isolates would show "photo\u202Egpj.exe" as "photoexe.jpg", and invisible ones would hide
// inside a name such as "aux\u200B.txt".
bool IsFormatOrControl(char32_t cp) {
  struct Range {
    char32_t first, last;
  };
  static constexpr std::array<Range, 21> kRanges = {{
      {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
      {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F},
  }};
  return std::any_of(kRanges.begin(), kRanges.end(),
                     [cp](const Range& r) { return cp >= r.first && cp <= r.last; });
}

bool IsForbidden(char32_t cp) {
  return cp < 32 || IsFormatOrControl(cp) || cp == U'<' || cp == U'>' || cp == U':' || cp == U'"' || cp == U'/' || cp == U'\\' ||
         cp == U'|' || cp == U'?' || cp == U'*';
}

// Windows drops trailing dots and blanks when it opens a name, so a name must not
// end in them; leading blanks are dropped too (leading dots are ordinary).
void TrimEnds(std::u32string& name) {
  while (!name.empty() && (name.back() == U'.' || name.back() == U' ')) name.pop_back();
  const size_t first = name.find_first_not_of(U' ');
  name.erase(0, first == std::u32string::npos ? name.size() : first);
}

void CutToLimit(std::u32string& name) {
  if (Utf16Units(name) <= kMaxSafeNameUnits) return;
  std::u32string extension;
  if (const size_t dot = name.rfind(U'.'); dot != std::u32string::npos) {
    const std::u32string_view tail = std::u32string_view(name).substr(dot);
    if (Utf16Units(tail) <= kMaxKeptExtensionUnits) extension = tail;
  }
  const size_t budget = kMaxSafeNameUnits - Utf16Units(extension);
  size_t used = 0;
  size_t keep = 0;
  // Whole characters only: a character of two UTF-16 units that does not fit is dropped.
  while (keep < name.size() && used + Utf16Units(name[keep]) <= budget) used += Utf16Units(name[keep++]);
  name.resize(keep);
  name += extension;
  TrimEnds(name);
}

char32_t AsciiUpper(char32_t cp) { return cp >= U'a' && cp <= U'z' ? cp - (U'a' - U'A') : cp; }

}  // namespace

bool IsReservedDeviceName(std::u32string_view name) {
  std::u32string stem(name.substr(0, std::min(name.find(U'.'), name.size())));
  while (!stem.empty() && (stem.back() == U' ' || stem.back() == U'.')) stem.pop_back();
  for (char32_t& cp : stem) cp = AsciiUpper(cp);
  static constexpr std::array<std::u32string_view, 7> kPlain = {U"CON", U"PRN", U"AUX", U"NUL",
                                                                U"CONIN$", U"CONOUT$", U"CLOCK$"};
  if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
  if (stem.size() != 4) return false;
  const std::u32string_view prefix = std::u32string_view(stem).substr(0, 3);
  if (prefix != U"COM" && prefix != U"LPT") return false;
  const char32_t digit = stem[3];
  // Digits 0-9 and the superscripts one, two and three all name ports.
  return (digit >= U'0' && digit <= U'9') || digit == U'\u00B9' || digit == U'\u00B2' || digit == U'\u00B3';
}

std::string SafeFileName(std::string_view deviceName) {
  std::u32string name = DecodeUtf8(deviceName);
  if (const size_t slash = name.find_last_of(U"/\\"); slash != std::u32string::npos) name.erase(0, slash + 1);
  for (char32_t& cp : name) {
    if (IsForbidden(cp)) cp = kReplacement;
  }
  TrimEnds(name);
  CutToLimit(name);
  if (IsReservedDeviceName(name)) {
    name.insert(name.begin(), U'_');
    CutToLimit(name);  // the mark must not push the name past the limit
  }
  if (name.empty()) name = U"file";
  return EncodeUtf8(name);
}

std::wstring UniqueNameIn(const std::wstring& folder, const std::wstring& name,
                          const std::function<bool(const std::wstring&)>& exists, uint64_t tick) {
  std::wstring stem = name;
  std::wstring extension;
  if (const size_t dot = name.rfind(L'.'); dot != std::wstring::npos && dot != 0) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  const auto isFree = [&](const std::wstring& path) { return !exists(path) && !exists(path + L".part"); };
  const std::wstring plain = folder + L"\\" + name;
  if (isFree(plain)) return plain;
  for (unsigned n = 1; n <= kMaxUniqueNumber; ++n) {
    std::wstring candidate = folder + L"\\" + stem + L" (" + std::to_wstring(n) + L")" + extension;
    if (isFree(candidate)) return candidate;
  }
  return folder + L"\\" + stem + L" (" + std::to_wstring(tick) + L")" + extension;
}

std::string PercentText(uint64_t done, uint64_t total) {
  uint64_t percent = 100;
  if (total != 0) {
    // Wide arithmetic: done * 100 overflows 64 bits for files above 184 PB.
    percent = static_cast<uint64_t>(static_cast<unsigned __int128>(std::min(done, total)) * 100 / total);
  }
  return std::to_string(percent) + " %";
}

}  // namespace kelm
