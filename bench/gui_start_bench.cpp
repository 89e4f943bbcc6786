// The tray application's start-up and hand-off times: the real tavro.exe started as a
// user would, beside the console host and a program that does nothing.
#include <windows.h>

#include <string>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "gui_probe.h"
#include "support/child_process.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm::bench {
namespace {

std::wstring HostLine(const std::wstring& profile, uint16_t port, const std::wstring& extra) {
  return L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --profile \"" + profile + L"\" --port " + std::to_wstring(port) +
         L" --pin " + std::to_wstring(kBenchPin) + L" --no-adb --no-driver --no-discovery" + extra;
}

// Milliseconds from `watch` until a connection to `port` is accepted; negative on timeout.
double UntilListening(const Stopwatch& watch, uint16_t port) {
  while (watch.Seconds() < 30) {
    if (test::ConnectTcp("127.0.0.1", port, 200)) return watch.Seconds() * 1000;
    Sleep(5);
  }
  return -1;
}

bool WaitLogLine(const std::wstring& profile, const std::string& text, double limitSeconds) {
  const Stopwatch watch;
  while (watch.Seconds() < limitSeconds) {
    if (test::ReadFileBytes(profile + L"\\host.log").find(text) != std::string::npos) return true;
    Sleep(2);
  }
  return false;
}

void QuitGui(test::ChildProcess& gui) {
  for (const test::WindowInfo& w : test::FindTopWindows(L"tavro.MainWindow", L"tavro", gui.Id())) {
    PostMessageW(w.hwnd, WM_APP + 7, 0, 0);
  }
  uint32_t code = 0;
  gui.Wait(20000, code);
}

void StartBench(BenchOut& out) {
  test::TempDir dir;
  const uint16_t port = FreeLoopbackPort();
  test::ChildProcess gui;
  const Stopwatch watch;
  if (!gui.Start(HostLine(dir.File(L"gui"), port, L""), dir.File(L"gui.txt"))) return out.Fail("tavro.exe did not start");
  double firstWindow = -1;
  while (watch.Seconds() < 30 && firstWindow < 0) {
    if (!test::FindTopWindows(L"", L"", gui.Id(), true).empty()) firstWindow = watch.Seconds() * 1000;
    Sleep(2);
  }
  const double listening = UntilListening(watch, port);
  QuitGui(gui);
  if (firstWindow < 0 || listening < 0) return out.Fail("the tray application showed no window or did not listen");

  test::ChildProcess console;
  const uint16_t consolePort = FreeLoopbackPort();
  const Stopwatch consoleWatch;
  if (!console.Start(HostLine(dir.File(L"console"), consolePort, L" --console"), dir.File(L"console.txt"))) {
    return out.Fail("tavro.exe --console did not start");
  }
  const double consoleListening = UntilListening(consoleWatch, consolePort);
  out.Figure("gui.start_to_first_window", firstWindow, "ms");
  out.Figure("gui.start_to_listening", listening, "ms");
  out.Figure("gui.console_start_to_listening", consoleListening, "ms");
}

void HandoffBench(BenchOut& out) {
  test::TempDir dir;
  const std::wstring profile = dir.File(L"gui");
  const uint16_t port = FreeLoopbackPort();
  test::ChildProcess gui;
  if (!gui.Start(HostLine(profile, port, L""), dir.File(L"gui.txt"))) return out.Fail("tavro.exe did not start");
  HWND notice = test::WaitForWindow(L"#32770", L"tavro", gui.Id(), 20000);
  if (notice != nullptr) test::PressButton(notice, L"OK");
  if (test::WaitForWindow(L"tavro.MainWindow", L"tavro", gui.Id(), 20000) == nullptr) {
    QuitGui(gui);
    return out.Fail("the main window did not show");
  }
  BenchDevice device;
  if (!device.Open(port, true)) {
    QuitGui(gui);
    return out.Fail("the device was not admitted");
  }
  const std::wstring file = dir.File(L"one.txt");
  test::WriteFileBytes(file, "one file");
  const Stopwatch watch;
  const test::ProcessResult second = test::RunProcess(HostLine(profile, port, L" --send \"" + file + L"\""));
  const double secondMs = watch.Seconds() * 1000;
  const bool sent = WaitLogLine(profile, "Sending 1 file(s) to", 10);
  const double sendMs = watch.Seconds() * 1000;
  device.Close();
  QuitGui(gui);
  if (second.exitCode != 0 || !sent) return out.Fail("the hand-off did not reach the running instance");

  const Stopwatch rawWatch;
  const test::ProcessResult raw = test::RunProcess(L"\"" + test::SiblingExe(L"bench_noop.exe") + L"\"");
  const double rawMs = rawWatch.Seconds() * 1000;
  if (raw.exitCode != 0) return out.Fail("the do-nothing program did not run");
  out.Figure("gui.handoff_second_start", secondMs, "ms");
  out.Figure("gui.handoff_to_send", sendMs, "ms");
  out.Figure("gui.raw_process_start", rawMs, "ms");
}

}  // namespace

TAVRO_BENCH("gui.start", StartBench);
TAVRO_BENCH("gui.handoff", HandoffBench);

}  // namespace kelm::bench
