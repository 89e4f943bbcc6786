#include "fake_adb_dir.h"

#include <algorithm>
#include <cstdlib>

#include "support/process.h"

namespace kelm::test {
namespace {
std::vector<uint32_t> PidLines(const std::wstring& path) {
  std::vector<uint32_t> pids;
  for (const std::string& line : FileLines(path)) {
    pids.push_back(static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10)));
  }
  return pids;
}
}  // namespace

FakeAdbDir::FakeAdbDir() : adb_(dir_.File(L"adb.exe")) {
  CopyFileW(SiblingExe(L"fake_adb.exe").c_str(), adb_.c_str(), FALSE);
}

FakeAdbDir::~FakeAdbDir() {
  for (const uint32_t pid : ServerPids()) {
    WinHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process) {
      TerminateProcess(process.Get(), 0);
      WaitForSingleObject(process.Get(), 2000);
    }
  }
}

void FakeAdbDir::Script(const std::string& text) const {
  WriteFileBytes(dir_.File(L"script.txt"), text);
}

std::vector<std::string> FakeAdbDir::Calls() const { return FileLines(dir_.File(L"calls.txt")); }

size_t FakeAdbDir::CountCalls(const std::string& args) const {
  const std::vector<std::string> calls = Calls();
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), args));
}

std::vector<uint32_t> FakeAdbDir::Pids() const { return PidLines(dir_.File(L"pids.txt")); }
std::vector<uint32_t> FakeAdbDir::ServerPids() const {
  return PidLines(dir_.File(L"server.pid"));
}

std::vector<std::string> FileLines(const std::wstring& path) {
  const std::string text = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(std::move(line));
    begin = end + 1;
  }
  return lines;
}

WinHandle OpenProcessById(uint32_t pid) {
  return WinHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
}

int64_t ExitCodeAfter(const WinHandle& process, uint32_t waitMs) {
  if (!process || WaitForSingleObject(process.Get(), waitMs) != WAIT_OBJECT_0) {
    return -1;
  }
  DWORD code = 0;
  return GetExitCodeProcess(process.Get(), &code) ? static_cast<int64_t>(code) : -1;
}

}  // namespace kelm::test
