#pragma once
// Whole numbers read from outside JSON without undefined conversions: a value that is
// not an integer, or does not fit the target type, gives the default.
#include <limits>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelm {

template <typename T>
T JsonInteger(const nlohmann::json& object, std::string_view key, T fallback) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (it->is_number_unsigned()) {
    const auto v = it->template get<uint64_t>();
    return v <= static_cast<uint64_t>(std::numeric_limits<T>::max()) ? static_cast<T>(v) : fallback;
  }
  if (it->is_number_integer()) {
    const auto v = it->template get<int64_t>();
    if constexpr (std::numeric_limits<T>::is_signed) {
      return v >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
                     v <= static_cast<int64_t>(std::numeric_limits<T>::max())
                 ? static_cast<T>(v)
                 : fallback;
    } else {
      return v >= 0 && static_cast<uint64_t>(v) <= static_cast<uint64_t>(std::numeric_limits<T>::max())
                 ? static_cast<T>(v)
                 : fallback;
    }
  }
  return fallback;  // floats (maybe far out of range), strings, objects...
}

}  // namespace kelm
