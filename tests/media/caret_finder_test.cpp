// The caret finder reading bands back from a real Direct3D texture.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <vector>

#include "media/caret_finder.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;
constexpr uint64_t kMs = 1000;
constexpr uint32_t kW = 640;
constexpr uint32_t kH = 480;

class CaretFinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
    ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                               D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2, D3D11_SDK_VERSION,
                                               &device, nullptr, &context));
    D3D11_TEXTURE2D_DESC d{};
    d.Width = kW;
    d.Height = kH;
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&d, nullptr, &frame));
  }

  // A light grey frame, with a black bar of w x h at (x, y) when w > 0.
  void Show(uint32_t x = 0, uint32_t y = 0, uint32_t w = 0, uint32_t h = 0) {
    std::vector<uint32_t> px(size_t{kW} * kH, 0xFFD0D0D0u);
    for (uint32_t yy = y; yy < y + h && yy < kH; ++yy) {
      for (uint32_t xx = x; xx < x + w && xx < kW; ++xx) px[size_t{yy} * kW + xx] = 0xFF000000u;
    }
    context->UpdateSubresource(frame.Get(), 0, nullptr, px.data(), kW * 4, 0);
  }

  int Step(CaretFinder& f, uint64_t now) { return f.OnFrame(device.Get(), context.Get(), frame.Get(), now); }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<ID3D11Texture2D> frame;
};

TEST_F(CaretFinderTest, FindsABlinkInABandClippedAtTheFrameEdges) {
  CaretFinder f;
  // 48 rows below the tap reach past the bottom, the band past the right edge.
  f.Arm(RECT{0, 400, 800, 497}, 0, 1600 * kMs);
  ASSERT_TRUE(f.Armed());
  Show();
  EXPECT_EQ(Step(f, 0), kCaretLooking);
  Show(630, 455, 2, 20);  // a caret at the bottom-right corner
  EXPECT_EQ(Step(f, 100 * kMs), kCaretLooking);
  Show();
  EXPECT_EQ(Step(f, 600 * kMs), kCaretFound);
  EXPECT_EQ(f.FoundX(), 630);
  EXPECT_EQ(f.FoundY(), 455 + 9);
  EXPECT_FALSE(f.Armed());
  EXPECT_EQ(Step(f, 700 * kMs), kCaretNotArmed);
}

TEST_F(CaretFinderTest, ChangesOutsideTheBandAreNotSeen) {
  CaretFinder f;
  f.Arm(RECT{0, 100, kW, 197}, 0, 1600 * kMs);
  Show();
  Step(f, 0);
  Show(100, 300, 2, 20);
  EXPECT_EQ(Step(f, 100 * kMs), kCaretLooking);
  Show();
  EXPECT_EQ(Step(f, 600 * kMs), kCaretLooking);
  EXPECT_EQ(f.CheckTimeout(1600 * kMs), kCaretTimedOut);
}

TEST_F(CaretFinderTest, ABandOutsideTheFrameOnlyTimesOut) {
  CaretFinder f;
  f.Arm(RECT{0, 500, kW, 597}, 0, 1000 * kMs);
  Show();
  EXPECT_EQ(Step(f, 0), kCaretLooking);
  EXPECT_EQ(Step(f, 999 * kMs), kCaretLooking);
  EXPECT_EQ(Step(f, 1000 * kMs), kCaretTimedOut);
}

TEST_F(CaretFinderTest, EmptyRegionIsNotArmed) {
  CaretFinder f;
  f.Arm(RECT{0, 100, kW, 100}, 0, 1000 * kMs);
  EXPECT_FALSE(f.Armed());
  EXPECT_EQ(Step(f, 0), kCaretNotArmed);
  EXPECT_EQ(f.CheckTimeout(0), kCaretNotArmed);
}

}  // namespace
}  // namespace kelm
