#pragma once
// Starts the pattern painter for a test, sends it commands and reads the captured
// image back for comparison with the pattern.
#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kelm::test {

class PatternPainter {
 public:
  PatternPainter() = default;
  ~PatternPainter();
  PatternPainter(const PatternPainter&) = delete;
  PatternPainter& operator=(const PatternPainter&) = delete;

  // Shows pattern 0 over the whole screen; false when the painter did not come up.
  bool Start();
  // Sends a command and waits for its answer.
  intptr_t Send(unsigned message, uintptr_t wParam);

 private:
  TempDir dir_;
  ChildProcess process_;
  HWND window_ = nullptr;
};

// The whole texture as top-down B8G8R8A8 rows of 4 x width bytes.
std::vector<uint8_t> ReadTexture(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* texture,
                                 uint32_t& width, uint32_t& height);

// Pixels of `image` (width x height, B8G8R8A8) that differ from pattern `seed` at 20
// points spread over the screen; 0 when all match.
int PatternMismatches(const std::vector<uint8_t>& image, uint32_t width, uint32_t height, uint32_t seed);

}  // namespace kelm::test

namespace kelm::test {

// A small topmost window of this process, in the foreground on a thread of its own,
// whose cursor the test switches.
class CursorWindow {
 public:
  CursorWindow() = default;
  ~CursorWindow();
  CursorWindow(const CursorWindow&) = delete;
  CursorWindow& operator=(const CursorWindow&) = delete;

  bool Start();
  // A system cursor such as IDC_IBEAM.
  bool SetCursor(const wchar_t* id);

 private:
  void Run();
  HANDLE ready_ = nullptr;
  HANDLE thread_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace kelm::test
