// Test helper: runs the service's data folder check for this process's ProgramData and
// prints what it decided as one JSON line: the folder, whether it is trusted, and with
// "updates" also PrepareUpdatesFolder's answer.
#include <windows.h>

#include <cstdio>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "data_folder.h"

int wmain(int argc, wchar_t** argv) {
  using namespace kelm::service;
  nlohmann::json j = {{"folder", kelm::WideToUtf8(ServiceDataFolder())}, {"trusted", ServiceDataFolderTrusted()}};
  if (argc > 1 && std::wstring_view(argv[1]) == L"updates") j["updates"] = PrepareUpdatesFolder();
  std::printf("%s\n", j.dump().c_str());
  return 0;
}
