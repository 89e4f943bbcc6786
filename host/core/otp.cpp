// The TOTP time step from the system clock.
#include "core/otp.h"

#include <windows.h>

namespace kelm {

uint64_t TotpTimeStep() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t fileTime = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const uint64_t unixSeconds = fileTime / 10000000 - 11644473600ULL;
  return unixSeconds / 30;
}

}  // namespace kelm
