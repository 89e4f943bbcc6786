#pragma once
#include <string>
#include <string_view>

namespace kelm {

// Keeps ASCII letters, digits and "-._~"; every other byte becomes "%XX".
std::string PercentEncode(std::string_view bytes);

}  // namespace kelm
