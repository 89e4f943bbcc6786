// The tray application's start-up and hand-off times: the real tavro.exe started as a
// user would, beside the console host and a program that does nothing.
#include <windows.h>

#include <string>
#include <vector>

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

struct GuiStart {
  double firstWindow = -1;
  double listening = -1;
};

// One start of the tray app: the first visible window and the first accepted connection,
// watched together (the notice can come before or after the port opens).
GuiStart StartGuiOnce(const test::TempDir& dir, int round) {
  const uint16_t port = FreeLoopbackPort();
  test::ChildProcess gui;
  GuiStart r;
  const Stopwatch watch;
  if (!gui.Start(HostLine(dir.File(L"gui" + std::to_wstring(round)), port, L""),
                 dir.File(L"gui" + std::to_wstring(round) + L".txt"))) {
    return r;
  }
  while (watch.Seconds() < 30 && (r.firstWindow < 0 || r.listening < 0)) {
    if (r.firstWindow < 0 && !test::FindTopWindows(L"", L"", gui.Id(), true).empty()) {
      r.firstWindow = watch.Seconds() * 1000;
    }
    if (r.listening < 0 && test::ConnectTcp("127.0.0.1", port, 200)) r.listening = watch.Seconds() * 1000;
    Sleep(2);
  }
  QuitGui(gui);
  return r;
}

double ConsoleStartOnce(const test::TempDir& dir, int round) {
  test::ChildProcess console;
  const uint16_t port = FreeLoopbackPort();
  const Stopwatch watch;
  if (!console.Start(HostLine(dir.File(L"console" + std::to_wstring(round)), port, L" --console"),
                     dir.File(L"console" + std::to_wstring(round) + L".txt"))) {
    return -1;
  }
  return UntilListening(watch, port);
}

// A hidden top-level window of the bench's own, so Wine's desktop process is running
// throughout, as the Windows desktop is when a user starts the app; without it each start
// would also pay for Wine starting its desktop process again.
class DesktopKeeper {
 public:
  DesktopKeeper()
      : window_(CreateWindowExW(0, L"STATIC", L"tavro-bench desktop keeper", WS_POPUP, 0, 0, 1, 1, nullptr,
                                nullptr, nullptr, nullptr)) {}
  ~DesktopKeeper() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  DesktopKeeper(const DesktopKeeper&) = delete;
  DesktopKeeper& operator=(const DesktopKeeper&) = delete;

 private:
  HWND window_;
};

void StartBench(BenchOut& out) {
  // Three alternating rounds: the median is then the middle of three starts of each kind,
  // which a single slow start (a busy moment of the machine) does not move.
  constexpr int kRounds = 3;
  const DesktopKeeper desktop;
  test::TempDir dir;
  std::vector<double> firstWindow, listening, console;
  for (int round = 0; round < kRounds; ++round) {
    const GuiStart gui = StartGuiOnce(dir, round);
    if (gui.firstWindow < 0 || gui.listening < 0) return out.Fail("the tray application showed no window or did not listen");
    firstWindow.push_back(gui.firstWindow);
    listening.push_back(gui.listening);
    const double c = ConsoleStartOnce(dir, round);
    if (c < 0) return out.Fail("tavro.exe --console did not listen");
    console.push_back(c);
  }
  // Medians of alternating starts, so a busy moment of the machine weighs on both alike.
  out.Figure("gui.start_to_first_window", Quantile(firstWindow, 0.5), "ms");
  out.Figure("gui.start_to_listening", Quantile(listening, 0.5), "ms");
  out.Figure("gui.console_start_to_listening", Quantile(console, 0.5), "ms");
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
