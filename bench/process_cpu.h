#pragma once
// CPU time this process used so far (kernel and user), for process-CPU figures.
#include <windows.h>

#include <cstdint>

namespace kelm::bench {

inline double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto value = [](const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32 | f.dwLowDateTime) / 1e7; };
  return value(kernel) + value(user);
}

}  // namespace kelm::bench
