// PNG encoding of PC bitmaps and PNG decoding into clipboard DIBs, with WIC.
#include "desktop/clipboard_image.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "desktop/dib_layout.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;

ComPtr<IWICImagingFactory> MakeFactory() {
  ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&factory)))) {
    return nullptr;
  }
  return factory;
}

}  // namespace

std::vector<uint8_t> EncodePng(HBITMAP bitmap) {
  BITMAP info{};
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof info, &info) == 0) return {};
  const int64_t height = info.bmHeight < 0 ? -int64_t{info.bmHeight} : info.bmHeight;
  if (info.bmWidth <= 0 || !ClipboardImageFits(static_cast<uint64_t>(info.bmWidth), static_cast<uint64_t>(height))) {
    return {};
  }
  ComPtr<IWICImagingFactory> factory = MakeFactory();
  if (!factory) return {};
  ComPtr<IWICBitmap> source;
  if (FAILED(factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, &source))) return {};
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return {};
  ComPtr<IWICBitmapEncoder> encoder;
  if (FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) ||
      FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache))) {
    return {};
  }
  ComPtr<IWICBitmapFrameEncode> frame;
  if (FAILED(encoder->CreateNewFrame(&frame, nullptr)) || FAILED(frame->Initialize(nullptr)) ||
      FAILED(frame->WriteSource(source.Get(), nullptr)) || FAILED(frame->Commit()) || FAILED(encoder->Commit())) {
    return {};
  }
  STATSTG stat{};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return {};
  HGLOBAL memory = nullptr;
  if (FAILED(GetHGlobalFromStream(stream.Get(), &memory))) return {};
  const uint64_t size = stat.cbSize.QuadPart;
  if (size > GlobalSize(memory)) return {};
  return BytesFromGlobal(memory, static_cast<size_t>(size));
}

std::optional<BgraImage> DecodePng(std::span<const uint8_t> png) {
  if (png.empty() || png.size() > MAXDWORD) return std::nullopt;
  ComPtr<IWICImagingFactory> factory = MakeFactory();
  if (!factory) return std::nullopt;
  ComPtr<IWICStream> stream;
  if (FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(png.data()), static_cast<DWORD>(png.size())))) {
    return std::nullopt;
  }
  // The PNG decoder only, never whichever decoder recognises the bytes: the device says
  // it sends a PNG, and other formats' decoders are more code for its bytes to reach.
  static constexpr uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < sizeof kPngSignature || !std::equal(std::begin(kPngSignature), std::end(kPngSignature), png.begin())) {
    return std::nullopt;
  }
  ComPtr<IWICBitmapDecoder> decoder;
  if (FAILED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, &decoder)) ||
      FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand))) {
    return std::nullopt;
  }
  ComPtr<IWICBitmapFrameDecode> frame;
  UINT width = 0, height = 0;
  if (FAILED(decoder->GetFrame(0, &frame)) || FAILED(frame->GetSize(&width, &height))) return std::nullopt;
  // Checked before anything is allocated: the size is only what the file declares.
  if (!ClipboardImageFits(width, height)) return std::nullopt;
  ComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    return std::nullopt;
  }
  BgraImage image;
  image.width = width;
  image.height = height;
  const size_t stride = size_t{width} * 4;
  try {
    image.pixels.resize(stride * height);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (FAILED(converter->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(image.pixels.size()),
                                   image.pixels.data()))) {
    return std::nullopt;
  }
  return image;
}

GlobalMemory PngToDib(std::span<const uint8_t> png) {
  const std::optional<BgraImage> image = DecodePng(png);
  if (!image) return {};
  const size_t size = DibSize(image->width, image->height);
  GlobalMemory block = GlobalAllocMovable(size);
  if (!block) return {};
  {
    GlobalLockGuard lock(block.Get());
    if (!lock.Ok()) return {};
    if (!WriteBottomUpDib(image->width, image->height, image->pixels,
                          std::span<uint8_t>(static_cast<uint8_t*>(lock.Data()), size))) {
      return {};
    }
  }
  return block;
}

}  // namespace kelm
