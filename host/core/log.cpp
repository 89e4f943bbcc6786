#include "core/log.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "core/final_path.h"
#include "core/win_handle.h"

namespace kelm {
namespace {

struct LogState {
  std::mutex lock;
  WinHandle file;
  std::wstring path;
  uint64_t size = 0;
};

LogState& State() {
  static LogState state;
  return state;
}

std::atomic<bool> g_verbose{false};

const char* LevelWord(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Info: return "INFO ";
    case LogLevel::Warn: return "WARN ";
    case LogLevel::Error: return "ERROR";
  }
  return "ERROR";
}

// Opens the file as itself and refuses reparse points, files with a second name and
// handles whose final path is not the path (a link followed by the system), so the log
// cannot be redirected into another file. A missing file is created only as a new
// file (CREATE_NEW never follows a link at the path).
WinHandle OpenLogFileHandle(const std::wstring& path, uint64_t& size) {
  size = 0;
  const auto open = [&](DWORD disposition) {
    return WinHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr));
  };
  WinHandle h = open(OPEN_EXISTING);
  if (!h && GetLastError() == ERROR_FILE_NOT_FOUND) {
    h = open(CREATE_NEW);
    if (!h && GetLastError() == ERROR_FILE_EXISTS) h = open(OPEN_EXISTING);
  }
  if (!h) {
    return h;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.Get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1 ||
      !HandleIsAtPath(h.Get(), path)) {
    return {};
  }
  LARGE_INTEGER li{};
  size = GetFileSizeEx(h.Get(), &li) ? static_cast<uint64_t>(li.QuadPart) : 0;
  return h;
}

void CloseFileLocked(LogState& s) { s.file.Reset(); }

// Renames the verified open file through a second handle of the same file (never
// reopened by name), so a link planted at the path meanwhile is never the one moved;
// the ".1" name is replaced as a name, never written through. The log handle itself has
// no delete access, so readers that do not share delete can still open the log.
void RotateLocked(LogState& s) {
  WinHandle renamer(ReOpenFile(s.file.Get(), DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_FLAG_OPEN_REPARSE_POINT));
  if (renamer && HandleIsAtPath(renamer.Get(), s.path)) RenameByHandle(renamer.Get(), s.path + L".1", true);
  renamer.Reset();
  CloseFileLocked(s);
  s.file = OpenLogFileHandle(s.path, s.size);
}

}  // namespace

void SetVerbose(bool verbose) { g_verbose.store(verbose, std::memory_order_relaxed); }
bool IsVerbose() { return g_verbose.load(std::memory_order_relaxed); }

void Log(LogLevel level, std::string_view text) {
  if (level == LogLevel::Debug && !IsVerbose()) {
    return;
  }
  std::string clean(text);
  for (char& c : clean) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b == 127) {
      c = '?';
    }
  }
  SYSTEMTIME t{};
  GetLocalTime(&t);

  LogState& s = State();
  std::lock_guard guard(s.lock);
  if (s.file) {
    const std::string line =
        std::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} {} {}\r\n", t.wYear, t.wMonth, t.wDay,
                    t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, LevelWord(level), clean);
    DWORD written = 0;
    if (WriteFile(s.file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      s.size += written;
    }
    if (s.size > kLogRotateBytes) {
      RotateLocked(s);
    }
    return;
  }
  FILE* out = level <= LogLevel::Info ? stdout : stderr;
  std::fprintf(out, "%02u:%02u:%02u.%03u %s %.*s\n", t.wHour, t.wMinute, t.wSecond,
               t.wMilliseconds, LevelWord(level), static_cast<int>(clean.size()), clean.data());
  std::fflush(out);
}

bool OpenLogFile(const std::wstring& path) {
  LogState& s = State();
  std::lock_guard guard(s.lock);
  CloseFileLocked(s);
  s.path = path;
  s.file = OpenLogFileHandle(path, s.size);
  if (s.file && s.size > kLogRotateBytes) {
    RotateLocked(s);
  }
  return static_cast<bool>(s.file);
}

void CloseLogFile() {
  LogState& s = State();
  std::lock_guard guard(s.lock);
  CloseFileLocked(s);
}

}  // namespace kelm
