// Figures of the main window's page: its size in tavro.exe, and from the native Chromium
// helper the time to "ready" and to show a status of 8 sessions and 64 paired devices.
#include <windows.h>

#include <optional>
#include <sstream>
#include <string>

#include "bench.h"
#include "native_peer.h"

namespace kelm::bench {
namespace {

constexpr wchar_t kHelperProgram[] = L"page_bench_helper";
constexpr int kHelperMs = 120000;
constexpr int kPageResource = 101;

std::wstring ProgramBeside(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L"\\/") + 1) + name;
}

void BytesBench(BenchOut& out) {
  const std::wstring exe = ProgramBeside(L"tavro.exe");
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    out.Fail("page: tavro.exe could not be opened");
    return;
  }
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPageResource), MAKEINTRESOURCEW(10));
  const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
  FreeLibrary(module);
  if (size == 0) {
    out.Fail("page: tavro.exe has no page resource");
    return;
  }
  out.Figure("page.bytes", size, "bytes");
}

void TimingBench(BenchOut& out) {
  std::string error;
  auto helper = NativePeer::Start(kHelperProgram, L"", error);
  if (!helper) {
    out.Fail("page: " + error);
    return;
  }
  const std::optional<std::string> line = helper->ReadLine(kHelperMs);
  if (line && line->starts_with("PAGE ")) {
    std::istringstream in(line->substr(5));
    double ready = 0, apply = 0;
    if (in >> ready >> apply) {
      out.Figure("page.ready", ready, "ms");
      out.Figure("page.status_apply_8_64", apply, "ms");
      return;
    }
  }
  out.Fail("page: the timing helper gave no figures" + (line ? ": " + *line : std::string()));
}

void PageBench(BenchOut& out) {
  BytesBench(out);
  TimingBench(out);
}

}  // namespace

TAVRO_BENCH("page", PageBench);

}  // namespace kelm::bench
