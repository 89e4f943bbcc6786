#include "core/console_setup.h"

#include <windows.h>

#include <cstdio>

namespace kelm {
namespace {
bool Usable(DWORD which) {
  HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}
}  // namespace

void PrepareConsole() {
  const bool outUsable = Usable(STD_OUTPUT_HANDLE);
  const bool errUsable = Usable(STD_ERROR_HANDLE);
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && !outUsable) {
    AllocConsole();
  }
  FILE* reopened = nullptr;
  if (!outUsable) {
    freopen_s(&reopened, "CONOUT$", "w", stdout);
  }
  if (!errUsable) {
    freopen_s(&reopened, "CONOUT$", "w", stderr);
  }
  SetConsoleOutputCP(CP_UTF8);
  if (!outUsable) {
    // Start below the prompt of the console we attached to.
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }
}

}  // namespace kelm
