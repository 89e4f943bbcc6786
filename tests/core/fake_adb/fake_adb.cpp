// A stand-in for adb in tests. It reads "script.txt" beside itself, appends the
// arguments of every call as one line to "calls.txt" and its process id to "pids.txt".
//
// The script is a list of rules. A rule starts with a line
//   when FROM TO ARGS
// and applies when ARGS equals the call's arguments and the call is the FROM-th to the
// TO-th with these arguments (TO may be "*"). The lines after it, up to the next rule:
//   out TEXT    write TEXT to standard output (escapes \r \n \t \\ \xHH)
//   err TEXT    the same to standard error
//   sleep MS    pause
//   hang        pause for a minute (longer than any test waits)
//   flood       write to standard output without pause, for a minute at most
//   server MS   start a copy of itself that inherits the output handles and sleeps MS,
//               as adb's background server does
//   exit CODE   end with CODE (the default is 0)
// A call that no rule matches fails with exit code 1.
// With "--server MS" it appends its process id to "server.pid" and sleeps MS.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::wstring SelfPath() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return buffer;
}

std::wstring Beside(const std::wstring& name) {
  std::wstring path = SelfPath();
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + name;
}

std::string ToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string ReadAll(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string data;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) data.append(buffer, n);
  CloseHandle(h);
  return data;
}

void Append(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(h);
}

void Write(DWORD which, const std::string& text) {
  DWORD n = 0;
  WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtoul(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
  }
  return lines;
}

// The command line after the program's own (possibly quoted) name.
std::wstring Arguments() {
  std::wstring_view line = GetCommandLineW();
  size_t i = 0;
  if (!line.empty() && line[0] == L'"') {
    i = line.find(L'"', 1);
    i = i == std::wstring_view::npos ? line.size() : i + 1;
  } else {
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  }
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  return std::wstring(line.substr(i));
}

void Flood() {
  const std::string piece(4096, 'f');
  const ULONGLONG end = GetTickCount64() + 60000;
  DWORD n = 0;
  while (GetTickCount64() < end &&
         WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), piece.data(), 4096, &n, nullptr)) {
  }
}

void StartServer(const std::string& ms) {
  std::wstring self = SelfPath();
  std::wstring commandLine = L"\"" + self + L"\" --server " + std::wstring(ms.begin(), ms.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                     nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
}

}  // namespace

int wmain() {
  const std::string args = ToUtf8(Arguments());
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  if (args.starts_with("--server ")) {
    Append(Beside(L"server.pid"), pid);
    Sleep(static_cast<DWORD>(std::strtoul(args.c_str() + 9, nullptr, 10)));
    return 0;
  }
  Append(Beside(L"calls.txt"), args + "\n");
  Append(Beside(L"pids.txt"), pid);

  unsigned count = 0;
  const std::string calls = ReadAll(Beside(L"calls.txt"));
  for (std::string_view call : Lines(calls)) {
    if (call == args) ++count;
  }
  const std::string script = ReadAll(Beside(L"script.txt"));
  bool inRule = false;
  bool matched = false;
  int code = 0;
  for (std::string_view line : Lines(script)) {
    if (line.starts_with("when ")) {
      if (matched) break;
      std::string_view rest = line.substr(5);
      const size_t a = rest.find(' ');
      const size_t b = rest.find(' ', a + 1);
      if (a == std::string_view::npos || b == std::string_view::npos) continue;
      const unsigned from = std::strtoul(std::string(rest.substr(0, a)).c_str(), nullptr, 10);
      const std::string_view toText = rest.substr(a + 1, b - a - 1);
      const unsigned to =
          toText == "*" ? ~0u : std::strtoul(std::string(toText).c_str(), nullptr, 10);
      inRule = rest.substr(b + 1) == args && count >= from && count <= to;
      matched = inRule;
      continue;
    }
    if (!inRule) continue;
    const size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    const std::string value =
        space == std::string_view::npos ? std::string() : std::string(line.substr(space + 1));
    if (verb == "out") Write(STD_OUTPUT_HANDLE, Unescape(value));
    else if (verb == "err") Write(STD_ERROR_HANDLE, Unescape(value));
    else if (verb == "sleep") Sleep(std::strtoul(value.c_str(), nullptr, 10));
    else if (verb == "hang") Sleep(60000);
    else if (verb == "flood") Flood();
    else if (verb == "server") StartServer(value);
    else if (verb == "exit") code = std::atoi(value.c_str());
  }
  if (!matched) {
    Write(STD_ERROR_HANDLE, "fake adb: no rule for " + args + "\n");
    return 1;
  }
  return code;
}
