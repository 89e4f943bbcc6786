#pragma once
// Owning COM reference used across the media code.
#include <wrl/client.h>

namespace kelm {

template <typename T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

}  // namespace kelm
