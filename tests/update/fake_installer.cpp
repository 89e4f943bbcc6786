// A stand-in installer for the update tests: writes its command line and whether it
// runs elevated to "<its own path>.ran", then ends.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
  if (token != nullptr) CloseHandle(token);
  const std::wstring report = std::wstring(self) + L".ran";
  FILE* out = _wfopen(report.c_str(), L"w, ccs=UTF-8");
  if (out == nullptr) return 1;
  fwprintf(out, L"%ls\nelevated=%d\n", GetCommandLineW(), elevated ? 1 : 0);
  fclose(out);
  return 0;
}
