#pragma once
// A profile folder of one benchmark's own while it runs; the run's profile comes back
// afterwards, so no benchmark ever reads or writes the user's real data folders.
#include <string>

#include "core/paths.h"
#include "support/temp_dir.h"

namespace kelm::bench {

class ScopedBenchProfile {
 public:
  ScopedBenchProfile() : previous_(ProfileDir()) { SetProfileDir(folder_.Path()); }
  ~ScopedBenchProfile() { SetProfileDir(previous_); }
  ScopedBenchProfile(const ScopedBenchProfile&) = delete;
  ScopedBenchProfile& operator=(const ScopedBenchProfile&) = delete;

 private:
  std::wstring previous_;  // before folder_: the run's profile is read first
  test::TempDir folder_;
};

}  // namespace kelm::bench
