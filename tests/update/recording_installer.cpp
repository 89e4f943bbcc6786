// A stand-in installer for the service's update tests: appends one JSON line saying how
// it was started (command line, folder, elevation, session, TEMP/TMP, whether the
// restart marker names it) to %ProgramData%\tavro-test-installer\runs.jsonl, then waits
// and exits as that folder's settings.json asks ({"code":N,"sleepMs":MS}).
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

std::wstring ProgramData() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : L"C:\\ProgramData";
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::string Variable(const wchar_t* name) {
  wchar_t buffer[32768] = {};
  const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  return length > 0 && length < 32768 ? Utf8(std::wstring(buffer, length)) : std::string();
}

nlohmann::json ReadJson(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return nullptr;
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str(), nullptr, false);
}

int Elevation() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return read ? static_cast<int>(elevation.TokenIsElevated) : -1;
}

}  // namespace

int wmain() {
  const std::wstring folder = ProgramData() + L"\\tavro-test-installer";
  const nlohmann::json settings = ReadJson(folder + L"\\settings.json");
  const DWORD pid = GetCurrentProcessId();
  DWORD session = 0;
  ProcessIdToSessionId(pid, &session);
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);

  const nlohmann::json marker = ReadJson(ProgramData() + L"\\tavro\\update-restart.json");
  const bool markerNamesMe = marker.is_object() && marker.value("installer", nlohmann::json()).is_number_unsigned() &&
                             marker["installer"].get<uint64_t>() == pid;
  nlohmann::json run = {
      {"commandLine", Utf8(GetCommandLineW())},
      {"currentDir", Utf8(current)},
      {"self", Utf8(self)},
      {"pid", pid},
      {"elevation", Elevation()},
      {"session", session},
      {"temp", Variable(L"TEMP")},
      {"tmp", Variable(L"TMP")},
      {"markerNamesMe", markerNamesMe},
      {"markerSession", marker.is_object() ? marker.value("session", nlohmann::json(-1)) : nlohmann::json(-1)},
  };
  {
    std::ofstream out(std::filesystem::path(folder + L"\\runs.jsonl"), std::ios::binary | std::ios::app);
    out << run.dump() << "\n";
  }
  const bool configured = settings.is_object();
  const int64_t sleepMs = configured ? settings.value("sleepMs", int64_t{0}) : 0;
  if (sleepMs > 0) Sleep(static_cast<DWORD>(sleepMs));
  return configured ? settings.value("code", 0) : 0;
}
