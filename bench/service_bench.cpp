// Figures of the service program: how long the service manager takes from StartServiceW
// to RUNNING beside a plain process start of the same program, the data folder check
// beside opening its six paths once, and hashing the locked installer through its
// handle beside hashing the same bytes in memory.
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "core/crypto.h"
#include "core/paths.h"
#include "core/unique_any.h"
#include "core/win_handle.h"
#include "data_folder.h"
#include "service_names.h"
#include "support/temp_dir.h"
#include "update/hash_open_file.h"

namespace kelm::bench {
namespace {

using ScHandle = UniqueAny<SC_HANDLE, &CloseServiceHandle>;

constexpr int kRuns = 5;
constexpr int kFolderRuns = 50;
constexpr std::array<const wchar_t*, 5> kFiles = {L"service.log", L"service.log.1", L"lock-agent.log",
                                                  L"lock-agent.log.1", L"driver.log"};

std::wstring HelperPath() { return ExecutableDir() + L"\\tavroHelper.exe"; }

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  SERVICE_STATUS status{};
  while (QueryServiceStatus(service, &status)) {
    if (status.dwCurrentState == state) return true;
    if (GetTickCount64() > end) return false;
    Sleep(1);
  }
  return false;
}

// A demand-start service (it never comes back at a wineboot), deleted at the end.
void StartToRunningBench(BenchOut& out) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return out.Fail("service.start_to_running: the service manager cannot be opened");
  if (ScHandle existing(OpenServiceW(manager.Get(), service::kServiceName, SERVICE_QUERY_STATUS)); existing) {
    return out.Fail("service.start_to_running: a tavroHelper service is installed here; remove it first");
  }
  const std::wstring binary = L"\"" + HelperPath() + L"\" --service";
  ScHandle service(CreateServiceW(manager.Get(), service::kServiceName, service::kDisplayName, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return out.Fail("service.start_to_running: the service cannot be created");
  std::vector<double> samples;
  for (int i = 0; i < kRuns; ++i) {
    Stopwatch watch;
    if (!StartServiceW(service.Get(), 0, nullptr) || !WaitForState(service.Get(), SERVICE_RUNNING, 20000)) break;
    samples.push_back(watch.Seconds() * 1000);
    SERVICE_STATUS status{};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    if (!WaitForState(service.Get(), SERVICE_STOPPED, 20000)) break;
  }
  DeleteService(service.Get());
  if (samples.size() != kRuns) return out.Fail("service.start_to_running: the service did not start and stop");
  out.Figure("service.start_to_running", Quantile(samples, 0.5), "ms");

  std::vector<double> plain;
  for (int i = 0; i < kRuns; ++i) {
    std::wstring cmd = L"\"" + HelperPath() + L"\" --stop";
    STARTUPINFOW si{sizeof si};
    PROCESS_INFORMATION pi{};
    Stopwatch watch;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
      return out.Fail("service.process_start: tavroHelper.exe cannot be started");
    }
    WinHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.Get(), 20000);
    plain.push_back(watch.Seconds() * 1000);
  }
  out.Figure("service.process_start", Quantile(plain, 0.5), "ms");
}

void DataFolderCheckBench(BenchOut& out) {
  test::TempDir dir;
  const std::wstring folder = dir.File(L"tavro");
  if (!service::SecureDataFolder(folder)) return out.Fail("service.data_folder_check: the folder is not trusted");
  for (const wchar_t* name : kFiles) test::WriteFileBytes(folder + L"\\" + name, "one line\r\n");
  std::vector<double> checks, raw;
  for (int i = 0; i < kFolderRuns; ++i) {
    Stopwatch watch;
    if (!service::SecureDataFolder(folder)) return out.Fail("service.data_folder_check: a check failed");
    checks.push_back(watch.Seconds() * 1000);
  }
  for (int i = 0; i < kFolderRuns; ++i) {
    Stopwatch watch;
    WinHandle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    for (const wchar_t* name : kFiles) {
      WinHandle(CreateFileW((folder + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    raw.push_back(watch.Seconds() * 1000);
  }
  out.Figure("service.data_folder_check", Quantile(checks, 0.5), "ms");
  out.Figure("service.data_folder_check.raw", Quantile(raw, 0.5), "ms");
}

// The service hashes the saved installer through the handle that keeps it locked.
void HashOpenFileBench(BenchOut& out) {
  constexpr size_t kBytes = 100000000;
  constexpr int kHashRuns = 3;
  std::string bytes(kBytes, '\0');
  for (size_t i = 0; i < kBytes; i += 4096) bytes[i] = static_cast<char>(i >> 12);
  test::TempDir dir;
  const std::wstring path = dir.File(L"installer.exe");
  if (!test::WriteFileBytes(path, bytes)) return out.Fail("service.hash_open_file: the file cannot be written");
  WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return out.Fail("service.hash_open_file: the file cannot be opened");
  std::vector<double> fromFile, inMemory;
  for (int i = 0; i < kHashRuns; ++i) {
    std::array<uint8_t, 32> digest{};
    uint64_t size = 0;
    Stopwatch watch;
    if (!update::HashOpenFile(file.Get(), digest, size) || size != kBytes) {
      return out.Fail("service.hash_open_file: hashing failed");
    }
    fromFile.push_back(MegabytesPerSecond(size, watch.Seconds()));
    Stopwatch memoryWatch;
    const Digest32 expected = Sha256(ByteRange(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    inMemory.push_back(MegabytesPerSecond(kBytes, memoryWatch.Seconds()));
    if (expected != digest) return out.Fail("service.hash_open_file: the digests differ");
  }
  out.Figure("service.hash_open_file", Quantile(fromFile, 0.5), "MB/s");
  out.Figure("service.hash_open_file.raw", Quantile(inMemory, 0.5), "MB/s");
}

TAVRO_BENCH("service.start_to_running", StartToRunningBench);
TAVRO_BENCH("service.hash_open_file", HashOpenFileBench);
TAVRO_BENCH("service.data_folder_check", DataFolderCheckBench);

}  // namespace
}  // namespace kelm::bench
