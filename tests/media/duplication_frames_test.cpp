// AcquireFrame's handling of what duplication reports, driven by a scripted
// duplication object (the real one is missing under Wine).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstring>
#include <deque>
#include <vector>

#include "media/desktop_duplication.h"
#include "pattern_painter_control.h"
#include "support/log_capture.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;
constexpr uint32_t kW = 64;
constexpr uint32_t kH = 32;

struct ScriptedFrame {
  HRESULT result = S_OK;
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  DXGI_OUTDUPL_POINTER_SHAPE_INFO shapeInfo{};
  std::vector<uint8_t> shape;
  UINT shapeReturned = 0;  // the size the system says it filled
};

// Plays back scripted frames; counts what the capture asks of it.
class ScriptedDuplication : public IDXGIOutputDuplication {
 public:
  std::deque<ScriptedFrame> frames;
  ScriptedFrame current;
  int held = 0;
  int releases = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutputDuplication)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
    *desc = {};
    desc->ModeDesc.Width = kW;
    desc->ModeDesc.Height = kH;
    desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
  }
  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info, IDXGIResource** resource) override {
    if (held != 0) return DXGI_ERROR_INVALID_CALL;  // the previous frame was not released
    current = frames.empty() ? ScriptedFrame{DXGI_ERROR_WAIT_TIMEOUT} : frames.front();
    if (!frames.empty()) frames.pop_front();
    if (FAILED(current.result)) return current.result;
    *info = current.info;
    *resource = current.resource.Get();
    if (*resource != nullptr) (*resource)->AddRef();
    held = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT, RECT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT size, void* buffer, UINT* required,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) override {
    if (size < current.shape.size()) return DXGI_ERROR_MORE_DATA;
    std::memcpy(buffer, current.shape.data(), current.shape.size());
    *required = current.shapeReturned;
    *info = current.shapeInfo;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return DXGI_ERROR_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
    ++releases;
    held = 0;
    return S_OK;
  }

 private:
  ULONG refs_ = 1;
};

ScriptedFrame MouseFrame(LONG x, LONG y, bool visible = true) {
  ScriptedFrame f;
  f.info.LastMouseUpdateTime.QuadPart = 1;
  f.info.PointerPosition.Position = {x, y};
  f.info.PointerPosition.Visible = visible;
  return f;
}

// A 32 x 32 monochrome shape (64 mask rows, 4 bytes each), all opaque black.
ScriptedFrame ShapeFrame(LONG x, LONG y, POINT hot, UINT returned = 4 * 64) {
  ScriptedFrame f = MouseFrame(x, y);
  f.shape.assign(4 * 64, 0);
  f.shapeReturned = returned;
  f.shapeInfo.Type = kPointerShapeMonochrome;
  f.shapeInfo.Width = 32;
  f.shapeInfo.Height = 64;
  f.shapeInfo.Pitch = 4;
  f.shapeInfo.HotSpot = hot;
  f.info.PointerShapeBufferSize = static_cast<UINT>(f.shape.size());
  return f;
}

class DuplicationFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
    ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                               D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2, D3D11_SDK_VERSION,
                                               &device, nullptr, &context));
    desktop = MakeTexture(0xFFA0B0C0u);
    ASSERT_HRESULT_SUCCEEDED(desktop.As(&desktopResource));
    capture.Adopt(device, context, &scripted, MakeTexture(0xFF112233u), kW, kH);
  }
  void TearDown() override { capture.Close(); }

  ComPtr<ID3D11Texture2D> MakeTexture(uint32_t color) {
    std::vector<uint32_t> px(size_t{kW} * kH, color);
    D3D11_TEXTURE2D_DESC d{};
    d.Width = kW;
    d.Height = kH;
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    const D3D11_SUBRESOURCE_DATA data{px.data(), kW * 4, 0};
    ComPtr<ID3D11Texture2D> t;
    EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&d, &data, &t));
    return t;
  }
  uint32_t CapturedPixel() {
    uint32_t w = 0, h = 0;
    const auto px = test::ReadTexture(device.Get(), context.Get(), capture.Texture(), w, h);
    uint32_t v = 0;
    if (px.size() >= 4) std::memcpy(&v, px.data(), 4);
    return v;
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ScriptedDuplication scripted;
  DesktopDuplication capture;
  ComPtr<ID3D11Texture2D> desktop;
  ComPtr<IDXGIResource> desktopResource;
};

TEST_F(DuplicationFramesTest, MouseMoveOnlyUpdatesThePositionWithoutACopy) {
  scripted.frames.push_back(ShapeFrame(10, 20, {3, 4}));
  scripted.frames.push_back(MouseFrame(100, 50));
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::NothingNew);
  EXPECT_EQ(capture.cursorShapeSerial, 1u);
  EXPECT_EQ(capture.cursorWidth, 32u);
  EXPECT_EQ(capture.cursorHeight, 32u);
  // The position is the shape's corner plus its hot spot.
  EXPECT_EQ(capture.cursorX, 13);
  EXPECT_EQ(capture.cursorY, 24);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::NothingNew);
  EXPECT_EQ(capture.cursorX, 103);
  EXPECT_EQ(capture.cursorY, 54);
  EXPECT_TRUE(capture.cursorVisible);
  EXPECT_EQ(CapturedPixel(), 0xFF112233u);  // no image was copied
  EXPECT_EQ(scripted.held, 0);

  // A new shape with another hot spot moves the point with it.
  scripted.frames.push_back(ShapeFrame(100, 50, {10, 1}));
  capture.AcquireFrame(16);
  EXPECT_EQ(capture.cursorShapeSerial, 2u);
  EXPECT_EQ(capture.cursorX, 110);
  EXPECT_EQ(capture.cursorY, 51);

  // Hidden: visibility changes, the position stays.
  scripted.frames.push_back(MouseFrame(300, 300, false));
  capture.AcquireFrame(16);
  EXPECT_FALSE(capture.cursorVisible);
  EXPECT_EQ(capture.cursorX, 110);
}

TEST_F(DuplicationFramesTest, NewImageIsCopiedAndTheFrameReleased) {
  ScriptedFrame f;
  f.info.LastPresentTime.QuadPart = 5;
  f.resource = desktopResource;
  scripted.frames.push_back(f);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::NewImage);
  EXPECT_EQ(CapturedPixel(), 0xFFA0B0C0u);
  EXPECT_EQ(scripted.held, 0);
  EXPECT_EQ(scripted.releases, 1);
}

TEST_F(DuplicationFramesTest, ResultsForFailures) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"log.txt"));
  scripted.frames.push_back(ScriptedFrame{DXGI_ERROR_WAIT_TIMEOUT});
  scripted.frames.push_back(ScriptedFrame{DXGI_ERROR_ACCESS_LOST});
  scripted.frames.push_back(ScriptedFrame{DXGI_ERROR_INVALID_CALL});
  scripted.frames.push_back(ScriptedFrame{E_OUTOFMEMORY});
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::NothingNew);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::Lost);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::Lost);
  EXPECT_EQ(log.Text().find("AcquireNextFrame failed"), std::string::npos);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::Lost);
  EXPECT_NE(log.Text().find("WARN  AcquireNextFrame failed: 0x8007000E"), std::string::npos) << log.Text();
}

TEST_F(DuplicationFramesTest, ImageThatIsNoTextureIsUnusableAndReleasedNextTime) {
  ScriptedFrame f;
  f.info.LastPresentTime.QuadPart = 5;  // an image, but no resource
  scripted.frames.push_back(f);
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::Unusable);
  EXPECT_EQ(scripted.held, 1);
  // The next call releases the held frame before acquiring.
  EXPECT_EQ(capture.AcquireFrame(16), CaptureResult::NothingNew);
  EXPECT_EQ(scripted.releases, 1);
}

TEST_F(DuplicationFramesTest, ShapeBeyondTheFilledSizeIsRefused) {
  scripted.frames.push_back(ShapeFrame(10, 20, {3, 4}));
  capture.AcquireFrame(16);
  ASSERT_EQ(capture.cursorShapeSerial, 1u);
  const auto pixels = capture.cursorPixels;
  // The system says it filled one byte less than 64 rows of 4 bytes need.
  scripted.frames.push_back(ShapeFrame(10, 20, {7, 7}, 4 * 64 - 1));
  capture.AcquireFrame(16);
  EXPECT_EQ(capture.cursorShapeSerial, 1u);
  EXPECT_EQ(capture.cursorHotX, 3);
  EXPECT_EQ(capture.cursorPixels, pixels);
}

}  // namespace
}  // namespace kelm
