#pragma once
// The main window: class, creation at 440 x 640 DIPs, theme and backdrop, and the
// fallback paint while the page cannot be shown.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "core/unique_any.h"

namespace kelm {

class MainWindow {
 public:
  using Hook = std::function<std::optional<LRESULT>(UINT, WPARAM, LPARAM)>;
  static constexpr int kWidthDip = 440;
  static constexpr int kHeightDip = 640;

  MainWindow() = default;
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  bool Create(HINSTANCE instance, Hook hook);
  void Destroy();
  void SetFallbackText(std::function<std::wstring()> text) { fallbackText_ = std::move(text); }
  void ApplyTheme();
  void DropBackdrop();
  void ShowAndActivate();
  void Paint();

  HWND Handle() const { return hwnd_; }
  HICON Icon() const { return icon_.Get(); }
  HICON SmallIcon() const { return smallIcon_.Get(); }
  bool Backdrop() const { return backdrop_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void TryBackdrop();

  using Icon_ = UniqueAny<HICON, &DestroyIcon>;
  HWND hwnd_ = nullptr;
  Icon_ icon_;
  Icon_ smallIcon_;
  bool backdrop_ = false;
  Hook hook_;
  std::function<std::wstring()> fallbackText_;
};

}  // namespace kelm
