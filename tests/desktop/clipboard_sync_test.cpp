// The clipboard sync of this process against a clipboard owned by the helper program.
#include "desktop/clipboard_sync.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <psapi.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/messages.h"
#include "desktop/clipboard_image.h"
#include "desktop/dib_layout.h"
#include "desktop_helper_control.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "test_png.h"

namespace kelm {
namespace {

using Clock = std::chrono::steady_clock;
using proto::ClipboardFormat;

struct Change {
  ClipboardFormat format;
  std::vector<uint8_t> bytes;
  Clock::time_point at;
};

// Records every change the sync reports.
class Recorder {
 public:
  ClipboardSync::ChangeCallback Callback() {
    return [this](ClipboardFormat f, const std::vector<uint8_t>& b) {
      std::lock_guard lock(mutex_);
      changes_.push_back({f, b, Clock::now()});
      cv_.notify_all();
    };
  }
  // Waits up to `ms` for at least `n` changes; returns all seen so far.
  std::vector<Change> WaitFor(size_t n, int ms) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return changes_.size() >= n; });
    return changes_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    changes_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Change> changes_;
};

std::string Utf8(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

class ClipboardSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbose(true);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the test decodes with WIC
    ASSERT_TRUE(helper.Start());
    sync.Start(recorder.Callback());
    Sleep(200);  // the window listens before the first copy
  }
  void TearDown() override {
    sync.Stop();
    CoUninitialize();
  }

  test::TempDir scratch;
  test::DesktopHelper helper;
  Recorder recorder;
  ClipboardSync sync;
};

const std::wstring kHello = L"h\u00e9llo \U0001F600";
const std::string kHelloUtf8 = "h\xC3\xA9llo \xF0\x9F\x98\x80";

TEST_F(ClipboardSyncTest, BurstOfCopiesIsReadOnceAfterTheQuietTime) {
  Clock::time_point last;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(helper.SetText(kHello));
    last = Clock::now();
    Sleep(30);
  }
  const auto changes = recorder.WaitFor(2, 1500);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].format, ClipboardFormat::Text);
  EXPECT_EQ(Utf8(changes[0].bytes), kHelloUtf8);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(changes[0].at - last).count(), 140);
}

TEST_F(ClipboardSyncTest, ExclusionFormatsDecideWhetherContentIsSent) {
  struct Case {
    uint32_t flags;
    bool sent;
  };
  const Case cases[] = {{test::helper::kAddExclude, false}, {test::helper::kHistoryZero, false},
                        {test::helper::kHistoryOne, true}, {0, true}};
  for (const Case& c : cases) {
    recorder.Clear();
    ASSERT_TRUE(helper.SetText(L"excluded? " + std::to_wstring(c.flags), c.flags));
    const auto changes = recorder.WaitFor(1, c.sent ? 2000 : 700);
    EXPECT_EQ(changes.size(), c.sent ? 1u : 0u) << "flags " << c.flags;
  }
}

TEST_F(ClipboardSyncTest, TextWinsOverAnImage) {
  ASSERT_TRUE(helper.SetText(L"text and picture", test::helper::kAddBitmap));
  const auto changes = recorder.WaitFor(1, 2000);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].format, ClipboardFormat::Text);
  EXPECT_EQ(Utf8(changes[0].bytes), "text and picture");
}

TEST_F(ClipboardSyncTest, DeviceTextIsSetAndNotEchoedButALaterCopyIs) {
  sync.SetFromDevice(ClipboardFormat::Text, std::vector<uint8_t>(kHelloUtf8.begin(), kHelloUtf8.end()));
  for (int i = 0; i < 100 && test::ReadClipboardText() != kHello; ++i) Sleep(10);
  EXPECT_EQ(test::ReadClipboardText(), kHello);
  EXPECT_TRUE(recorder.WaitFor(1, 1000).empty());
  ASSERT_TRUE(helper.SetText(L"from the PC"));
  const auto changes = recorder.WaitFor(1, 2000);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(Utf8(changes[0].bytes), "from the PC");
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Whether the log shows `what` at least `times` times within 5 s.
bool WaitForLog(test::LogCapture& log, const std::string& what, size_t times = 1) {
  for (int i = 0; i < 250; ++i) {
    if (Count(log.Text(), what) >= times) return true;
    Sleep(20);
  }
  return false;
}

// An image in another container, written by Windows' own encoder.
std::vector<uint8_t> EncodeWithWic(const GUID& container, uint32_t width, uint32_t height) {
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)))) {
    return {};
  }
  std::vector<uint8_t> pixels(size_t{width} * height * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
  Microsoft::WRL::ComPtr<IWICBitmap> bitmap;
  Microsoft::WRL::ComPtr<IStream> stream;
  Microsoft::WRL::ComPtr<IWICBitmapEncoder> encoder;
  Microsoft::WRL::ComPtr<IWICBitmapFrameEncode> frame;
  if (FAILED(factory->CreateBitmapFromMemory(width, height, GUID_WICPixelFormat32bppBGRA, width * 4,
                                             static_cast<UINT>(pixels.size()), pixels.data(), &bitmap)) ||
      FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) ||
      FAILED(factory->CreateEncoder(container, nullptr, &encoder)) ||
      FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) ||
      FAILED(encoder->CreateNewFrame(&frame, nullptr)) || FAILED(frame->Initialize(nullptr)) ||
      FAILED(frame->WriteSource(bitmap.Get(), nullptr)) || FAILED(frame->Commit()) || FAILED(encoder->Commit())) {
    return {};
  }
  STATSTG stat{};
  HGLOBAL memory = nullptr;
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || FAILED(GetHGlobalFromStream(stream.Get(), &memory))) return {};
  const auto* data = static_cast<const uint8_t*>(GlobalLock(memory));
  std::vector<uint8_t> bytes(data, data + stat.cbSize.QuadPart);
  GlobalUnlock(memory);
  return bytes;
}

TEST_F(ClipboardSyncTest, OnlyDecodablePngsSetAnything) {
  test::LogCapture log{scratch.File(L"sync.log")};
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> garbage(5000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 31 + 3);
  auto cutPng = test::MakeRgbaPng(64, 64, [](uint32_t x, uint32_t) { return 0xFF000000u | x; });
  cutPng.resize(cutPng.size() / 2);
  const Case cases[] = {
      {"TIFF", EncodeWithWic(GUID_ContainerFormatTiff, 16, 16)},
      {"JPEG", EncodeWithWic(GUID_ContainerFormatJpeg, 16, 16)},
      {"BMP", EncodeWithWic(GUID_ContainerFormatBmp, 16, 16)},
      {"garbage", garbage},
      {"half a PNG", cutPng},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.bytes.empty());
    const std::wstring mine = L"kept " + std::to_wstring(++round);
    ASSERT_TRUE(helper.SetText(mine));
    recorder.WaitFor(static_cast<size_t>(round), 1000);
    sync.SetFromDevice(ClipboardFormat::Image, c.bytes);
    ASSERT_TRUE(WaitForLog(log, "Device image not set", static_cast<size_t>(round)));
    EXPECT_FALSE(test::ClipboardHasFormat(CF_DIB));
    EXPECT_FALSE(test::ClipboardHasFormat(PngClipboardFormat()));
    EXPECT_EQ(test::ReadClipboardText(), mine);
  }
}

TEST_F(ClipboardSyncTest, DeviceContentWaitsInOneSlotNewestFirst) {
  // 200 images of 12 MiB, faster than any clipboard thread takes them: at most one waits,
  // so memory stays near two of them rather than growing by 2.4 GB.
  PROCESS_MEMORY_COUNTERS before{};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
  size_t mostPending = 0;
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> image(msg::kMaxClipboardBytes, static_cast<uint8_t>(i));
    sync.SetFromDevice(ClipboardFormat::Image, std::move(image));
    mostPending = std::max(mostPending, sync.PendingFromDevice());
  }
  const auto last = test::MakeRgbaPng(8, 8, [](uint32_t, uint32_t) { return 0xFF112233u; });
  sync.SetFromDevice(ClipboardFormat::Image, last);
  std::string stored;
  for (int i = 0; i < 300 && stored.size() != last.size(); ++i) {
    Sleep(10);
    stored = test::ReadClipboardBlock(PngClipboardFormat());
  }
  EXPECT_EQ(stored, std::string(last.begin(), last.end()));  // the newest is what stays
  EXPECT_LE(mostPending, 1u);
  PROCESS_MEMORY_COUNTERS after{};
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
  EXPECT_LT(after.PeakPagefileUsage, before.PeakPagefileUsage + 100u * 1024 * 1024);
}

TEST_F(ClipboardSyncTest, DevicePngIsSetAsPngAndAsDib) {
  const auto png = test::MakeRgbaPng(64, 32, [](uint32_t x, uint32_t y) { return 0xFF000000u | x << 16 | y << 8 | 0x5A; });
  sync.SetFromDevice(ClipboardFormat::Image, png);
  // The clipboard belongs to the whole prefix: an earlier test may have left an image
  // there, so wait for this one's PNG, and only then read the DIB written with it (read
  // before, it can still be the earlier image's).
  const std::string expected(png.begin(), png.end());
  for (int i = 0; i < 300 && test::ReadClipboardBlock(PngClipboardFormat()) != expected; ++i) Sleep(10);
  EXPECT_EQ(test::ReadClipboardBlock(PngClipboardFormat()), expected);
  const std::string dib = test::ReadClipboardBlock(CF_DIB);
  ASSERT_GE(dib.size(), kDibHeaderSize + 64 * 32 * 4);
  BITMAPINFOHEADER h{};
  std::memcpy(&h, dib.data(), sizeof h);
  EXPECT_EQ(h.biWidth, 64);
  EXPECT_EQ(h.biHeight, 32);
  EXPECT_EQ(h.biBitCount, 32);
  EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
  // Bottom-up: the image's top row is the last row of the block.
  const auto* px = reinterpret_cast<const uint8_t*>(dib.data()) + kDibHeaderSize;
  for (uint32_t y : {0u, 5u, 31u}) {
    for (uint32_t x : {0u, 17u, 63u}) {
      const uint8_t* p = px + ((31 - y) * 64 + x) * 4;
      EXPECT_EQ(p[0], 0x5A);
      EXPECT_EQ(p[1], y);
      EXPECT_EQ(p[2], x);
    }
  }
  EXPECT_TRUE(recorder.WaitFor(1, 500).empty());  // its own write is not sent back
}

TEST_F(ClipboardSyncTest, APngAboveThePixelBoundSetsNothingAndStaysSmall) {
  test::LogCapture log{scratch.File(L"sync.log")};
  ASSERT_TRUE(helper.SetText(L"before"));
  recorder.WaitFor(1, 1000);
  const auto png = test::MakeBlackBitPng(7000, 7000);  // 49 megapixels in about 6 MB
  ASSERT_LE(png.size(), msg::kMaxClipboardBytes);
  PROCESS_MEMORY_COUNTERS before{};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
  sync.SetFromDevice(ClipboardFormat::Image, png);
  ASSERT_TRUE(WaitForLog(log, "Device image not set"));
  EXPECT_FALSE(test::ClipboardHasFormat(PngClipboardFormat()));
  EXPECT_FALSE(test::ClipboardHasFormat(CF_DIB));
  EXPECT_EQ(test::ReadClipboardText(), L"before");
  PROCESS_MEMORY_COUNTERS after{};
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
  // Decoding it would have taken about 200 MB for the pixels and as much for the DIB.
  EXPECT_LT(after.PeakPagefileUsage, before.PeakPagefileUsage + 100u * 1024 * 1024);
}

TEST_F(ClipboardSyncTest, BitmapOnlyCopyArrivesAsAPngOfTheSamePixels) {
  ASSERT_TRUE(helper.SetBitmap(50, 30, 9));
  const auto changes = recorder.WaitFor(1, 3000);
  ASSERT_EQ(changes.size(), 1u);
  ASSERT_EQ(changes[0].format, ClipboardFormat::Image);
  const auto image = DecodePng(changes[0].bytes);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, 50u);
  ASSERT_EQ(image->height, 30u);
  int wrong = 0;
  for (uint32_t y = 0; y < 30; ++y) {
    for (uint32_t x = 0; x < 50; ++x) {
      const auto want = test::helper::PatternPixel(x, y, 9);
      const uint8_t* p = &image->pixels[(size_t{y} * 50 + x) * 4];
      if (p[0] != want.b || p[1] != want.g || p[2] != want.r) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(ClipboardSyncTest, TextSizeBoundIsTwelveMebibytes) {
  ASSERT_TRUE(helper.SetRepeatedText(static_cast<uint32_t>(msg::kMaxClipboardBytes), L'a'));
  auto changes = recorder.WaitFor(1, 5000);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].bytes.size(), msg::kMaxClipboardBytes);
  recorder.Clear();
  ASSERT_TRUE(helper.SetRepeatedText(static_cast<uint32_t>(msg::kMaxClipboardBytes + 1), L'b'));
  EXPECT_TRUE(recorder.WaitFor(1, 1500).empty());
  // Two-byte characters: 6 MiB of them reach the bound in UTF-8.
  ASSERT_TRUE(helper.SetRepeatedText(static_cast<uint32_t>(msg::kMaxClipboardBytes / 2 + 1), L'\u00e9'));
  EXPECT_TRUE(recorder.WaitFor(1, 1500).empty());
}

TEST(ClipboardSyncLifecycle, StopRightAfterStartReturnsQuickly) {
  ClipboardSync sync;
  for (int i = 0; i < 100; ++i) {
    const auto start = Clock::now();
    sync.Start([](ClipboardFormat, const std::vector<uint8_t>&) {});
    sync.Stop();
    ASSERT_LT(Clock::now() - start, std::chrono::seconds(1)) << i;
  }
  // Content after Stop is dropped (and freed) without a thread to take it.
  sync.SetFromDevice(ClipboardFormat::Text, {'x'});
}

TEST(ClipboardSyncLifecycle, ContentQueuedAtStopIsFreedAndTheClipboardLeftAlone) {
  ClipboardSync sync;
  sync.Start([](ClipboardFormat, const std::vector<uint8_t>&) {});
  Sleep(100);
  for (int i = 0; i < 50; ++i) sync.SetFromDevice(ClipboardFormat::Text, std::vector<uint8_t>(100000, 'q'));
  sync.Stop();
  sync.SetFromDevice(ClipboardFormat::Text, {'z'});
  Sleep(100);
  EXPECT_NE(test::ReadClipboardText(), L"z");
}

}  // namespace
}  // namespace kelm
