#pragma once
// Test-side reading and writing of the QR markup form, independent of the encoder: the
// parser checks every byte of the form and gives the dark modules; the writer builds the
// markup from any module source (the reference library's, in the native tests).
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelm::test {

struct QrSvgModules {
  int n = 0;                               // viewBox side: modules per side + 6
  std::vector<std::pair<int, int>> dark;   // (x, y) without the quiet zone, in path order
};

inline bool TakeLiteral(std::string_view& s, std::string_view literal) {
  if (!s.starts_with(literal)) return false;
  s.remove_prefix(literal.size());
  return true;
}

// A decimal without sign or leading zero.
inline bool TakeNumber(std::string_view& s, int& value) {
  size_t i = 0;
  value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i < 6) value = value * 10 + (s[i++] - '0');
  if (i == 0 || (s[0] == '0' && i > 1)) return false;
  s.remove_prefix(i);
  return true;
}

// Nothing unless `svg` is exactly the form: root, white rect, one path of unit squares
// inside the quiet zone, rows from the top and each from the left, no duplicates.
inline std::optional<QrSvgModules> ParseQrSvg(std::string_view svg) {
  QrSvgModules out;
  int n2 = 0, w = 0, h = 0;
  if (!TakeLiteral(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 ") || !TakeNumber(svg, out.n) ||
      !TakeLiteral(svg, " ") || !TakeNumber(svg, n2) || n2 != out.n ||
      !TakeLiteral(svg, "\" shape-rendering=\"crispEdges\"><rect width=\"") || !TakeNumber(svg, w) || w != out.n ||
      !TakeLiteral(svg, "\" height=\"") || !TakeNumber(svg, h) || h != out.n ||
      !TakeLiteral(svg, "\" fill=\"#fff\"/><path d=\"")) {
    return std::nullopt;
  }
  const int size = out.n - 6;
  if (size < 21) return std::nullopt;
  long last = -1;
  while (svg.starts_with("M")) {
    svg.remove_prefix(1);
    int x = 0, y = 0;
    if (!TakeNumber(svg, x) || !TakeLiteral(svg, ",") || !TakeNumber(svg, y) || !TakeLiteral(svg, "h1v1h-1z"))
      return std::nullopt;
    x -= 3;
    y -= 3;
    const long order = static_cast<long>(y) * size + x;
    if (x < 0 || y < 0 || x >= size || y >= size || order <= last) return std::nullopt;
    last = order;
    out.dark.emplace_back(x, y);
  }
  if (svg != "\" fill=\"#000\"/></svg>") return std::nullopt;
  return out;
}

// The markup of a code given its side and a module reader.
template <typename IsDark>
std::string BuildQrSvg(int size, IsDark isDark) {
  const std::string n = std::to_string(size + 6);
  std::string out;
  out.reserve(static_cast<size_t>(size) * static_cast<size_t>(size) * 9 + 256);
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + n + " " + n +
                    "\" shape-rendering=\"crispEdges\"><rect width=\"" + n + "\" height=\"" + n +
                    "\" fill=\"#fff\"/><path d=\"";
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if (!isDark(x, y)) continue;
      out += 'M';
      out += std::to_string(x + 3);
      out += ',';
      out += std::to_string(y + 3);
      out += "h1v1h-1z";
    }
  }
  return out + "\" fill=\"#000\"/></svg>";
}

}  // namespace kelm::test
