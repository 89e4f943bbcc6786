// gui_tool: the GUI probe from the command line, for manual checks of the tray app.
//   windows [CLASS [TITLE]]      list top-level windows (handle, process, rect, visible)
//   dialog TITLE                 list the controls of the visible window titled TITLE
//   press TITLE BUTTON           click BUTTON in the visible window titled TITLE
//   post HWND MESSAGE [W [L]]    post a message (numbers in decimal or 0x hex)
//   keys KEY...                  press keys: down up enter esc tab or a 0x virtual key
//   click X Y [right]            click at a screen point
//   capture HWND FILE.bmp        save a mapped window's client area
//   modules PID                  list a process's modules
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "gui_probe.h"

using namespace kelm::test;

namespace {

uint64_t Number(const wchar_t* text) { return std::wcstoull(text, nullptr, 0); }

void Print(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  std::fputs(utf8.c_str(), stdout);
}

WORD KeyOf(const std::wstring& name) {
  if (name == L"down") return VK_DOWN;
  if (name == L"up") return VK_UP;
  if (name == L"enter") return VK_RETURN;
  if (name == L"esc") return VK_ESCAPE;
  if (name == L"tab") return VK_TAB;
  return static_cast<WORD>(Number(name.c_str()));
}

int Usage() {
  std::fputs("usage: gui_tool windows|dialog|press|post|keys|click|capture|modules ...\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring verb = argv[1];
  if (verb == L"windows") {
    for (const WindowInfo& w : FindTopWindows(argc > 2 ? argv[2] : L"", argc > 3 ? argv[3] : L"")) {
      wchar_t line[128];
      std::swprintf(line, 128, L"0x%llx pid %lu (%ld,%ld)-(%ld,%ld) %ls ", static_cast<unsigned long long>(
                    reinterpret_cast<uintptr_t>(w.hwnd)), w.processId, w.rect.left, w.rect.top, w.rect.right,
                    w.rect.bottom, w.visible ? L"visible" : L"hidden");
      Print(line + w.className + L" \"" + w.title + L"\"\n");
    }
    return 0;
  }
  if (verb == L"dialog" && argc == 3) {
    HWND dialog = WaitForWindow(L"", argv[2], 0, 5000);
    if (dialog == nullptr) return 1;
    for (const ControlInfo& c : Controls(dialog)) Print(c.className + L" \"" + c.text + L"\"\n");
    return 0;
  }
  if (verb == L"press" && argc == 4) {
    HWND dialog = WaitForWindow(L"", argv[2], 0, 5000);
    return dialog != nullptr && PressButton(dialog, argv[3]) ? 0 : 1;
  }
  if (verb == L"post" && argc >= 4) {
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(Number(argv[2])));
    const WPARAM w = argc > 4 ? static_cast<WPARAM>(Number(argv[4])) : 0;
    const LPARAM l = argc > 5 ? static_cast<LPARAM>(Number(argv[5])) : 0;
    return PostMessageW(window, static_cast<UINT>(Number(argv[3])), w, l) ? 0 : 1;
  }
  if (verb == L"keys") {
    std::vector<WORD> keys;
    for (int i = 2; i < argc; ++i) keys.push_back(KeyOf(argv[i]));
    SendKeys(keys);
    return 0;
  }
  if (verb == L"click" && argc >= 4) {
    ClickAt(static_cast<int>(Number(argv[2])), static_cast<int>(Number(argv[3])),
            argc > 4 && std::wstring(argv[4]) == L"right");
    return 0;
  }
  if (verb == L"capture" && argc == 4) {
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(Number(argv[2])));
    return SaveBmp(CaptureClient(window), argv[3]) ? 0 : 1;
  }
  if (verb == L"modules" && argc == 3) {
    for (const std::wstring& m : ProcessModules(static_cast<DWORD>(Number(argv[2])))) Print(m + L"\n");
    return 0;
  }
  return Usage();
}
