// Figures of the video path: Annex-B scan, packetiser, CPU colour conversion, the
// Media Foundation encoder, and the stream feedback's per-call costs.
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>

#include <cstdint>
#include <format>
#include <random>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "media/annexb.h"
#include "media/com_ptr.h"
#include "media/cpu_nv12_converter.h"
#include "media/stream_feedback.h"
#include "media/video_encoder.h"
#include "media/video_packetizer.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;

// An Annex-B frame of `size` bytes: SPS, PPS, then slices of about 1400 bytes whose
// bodies hold no start code.
std::vector<uint8_t> SyntheticFrame(size_t size) {
  std::mt19937 rng(7);
  std::vector<uint8_t> frame;
  frame.reserve(size);
  const uint8_t headers[] = {0x67, 0x68, 0x65};
  size_t unit = 0;
  while (frame.size() < size) {
    frame.insert(frame.end(), {0, 0, 0, 1, headers[std::min<size_t>(unit, 2)]});
    const size_t body = unit < 2 ? 12 : 1400;
    for (size_t i = 0; i < body && frame.size() < size; ++i) frame.push_back(static_cast<uint8_t>(1 + rng() % 255));
    ++unit;
  }
  return frame;
}

void ScanBench(BenchOut& out) {
  const std::vector<uint8_t> frame = SyntheticFrame(4 << 20);
  size_t units = 0;
  const LoopResult r = RunFor(kSeconds, 5, [&] {
    units += ScanAnnexB(frame, proto::VideoCodec::H264).size();
    return true;
  });
  if (units == 0) out.Fail("video.scan_annexb: no units found");
  out.Figure("video.scan_annexb", MegabytesPerSecond(frame.size() * r.iterations, r.seconds), "MB/s");
}

void PacketizeBench(BenchOut& out) {
  for (const size_t kb : {50, 500}) {
    const std::vector<uint8_t> frame = SyntheticFrame(kb * 1000);
    VideoPacketizer packetizer;
    uint64_t stamp = 0;
    const LoopResult r = RunFor(kSeconds, 20, [&] {
      return !packetizer.Packetize(++stamp, false, frame, proto::VideoCodec::H264, nullptr).empty();
    });
    out.Figure(std::format("video.packetize_{}k", kb), r.MicrosEach(), "us");
  }
}

void ConvertBench(BenchOut& out) {
  struct Case {
    const char* name;
    uint32_t sw, sh, rotation, w, h;
  };
  for (const Case c : {Case{"1080p_to_1080p", 1920, 1080, 1, 1920, 1080},
                       {"2160p_to_1080p", 3840, 2160, 1, 1920, 1080},
                       {"1080p_to_720p", 1920, 1080, 1, 1280, 720},
                       {"1080p_to_720p_rot90", 1920, 1080, 2, 1280, 720}}) {
    std::vector<uint8_t> bgra(size_t{c.sw} * c.sh * 4);
    std::mt19937 rng(3);
    for (auto& b : bgra) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> nv12(size_t{c.w} * c.h * 3 / 2);
    CpuNv12Converter converter;
    if (!converter.Prepare(c.sw, c.sh, static_cast<DisplayRotation>(c.rotation), c.w, c.h)) {
      out.Fail(std::format("video.cpu_convert_{}: refused", c.name));
      continue;
    }
    const BgraView source{bgra.data(), size_t{c.sw} * 4, c.sw, c.sh};
    const Nv12View target{nv12.data(), c.w, nv12.data() + size_t{c.w} * c.h, c.w, c.w, c.h};
    const LoopResult r = RunFor(kSeconds, 5, [&] { return converter.Convert(source, target); });
    out.Figure(std::format("video.cpu_convert_{}", c.name), r.MicrosEach() / 1000.0, "ms");
  }
}

ComPtr<ID3D11Device> MakeDevice() {
  ComPtr<ID3D11Device> device;
  for (const D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
    if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                    D3D11_SDK_VERSION, &device, nullptr, nullptr))) {
      break;
    }
  }
  return device;
}

void EncodeBench(BenchOut& out) {
  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) {
    out.Fail("video.encode: Media Foundation did not start");
    return;
  }
  const ComPtr<ID3D11Device> device = MakeDevice();
  if (!device) {
    out.Fail("video.encode: no Direct3D 11 device");
    MFShutdown();
    return;
  }
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{1280, 720}, {1920, 1080}}) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = w;
    desc.Height = h;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &texture))) {
      out.Fail("video.encode: no texture");
      continue;
    }
    // A desktop-like picture that changes a little every frame.
    std::vector<uint8_t> pixels(size_t{w} * h * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i / 4 % w) ^ (i / 4 / w));
    VideoEncoder encoder;
    if (!encoder.Open(device.Get(), 0, w, h, DisplayRotation::Identity, {w, h, 60, 8000, proto::VideoCodec::H264})) {
      out.Fail(std::format("video.encode_{}p: the encoder did not open", h));
      continue;
    }
    if (encoder.CpuConversion()) out.Note("video.encode: colour conversion on the CPU (no GPU video processor)");
    std::vector<EncodedFrame> frames;
    int64_t index = 0;
    auto step = [&] {
      const size_t row = static_cast<size_t>(index % h) * w * 4;
      for (size_t i = 0; i < size_t{w} * 4; ++i) pixels[row + i] ^= 0x55;
      context->UpdateSubresource(texture.Get(), 0, nullptr, pixels.data(), w * 4, 0);
      frames.clear();
      const bool ok = encoder.Encode(texture.Get(), index * 16666, index == 0, frames);
      ++index;
      return ok;
    };
    for (int i = 0; i < 80; ++i) step();  // past the encoder's start-up delay
    // At least 60 frames past the start-up: the average encode time settles within them.
    const LoopResult r = RunFor(1.5, 60, step);
    if (index < 80 + 60) {
      out.Fail(std::format("video.encode_{}p: Encode failed", h));
      continue;
    }
    out.Figure(std::format("video.encode_{}p_fps", h), r.iterations / r.seconds, "fps");
    out.Figure(std::format("video.encode_{}p", h), r.MicrosEach() / 1000.0, "ms");
  }
  MFShutdown();
}

void FeedbackBench(BenchOut& out) {
  uint64_t now = 1'000'000'000;
  StreamFeedback feedback([&now] { return now; });
  feedback.ResetRate(20000, false);
  uint64_t stamp = 0;
  const LoopResult acks = RunFor(kSeconds, 1000, [&] {
    feedback.RecordSentFrame(++stamp, 30000);
    now += 16666;
    feedback.OnFrameAck(stamp);
    return true;
  });
  // The figure includes recording the frame, as every acknowledgement follows one.
  out.Figure("stream.on_frame_ack", acks.MicrosEach() * 1000.0, "ns");
  const LoopResult adapt = RunFor(kSeconds, 1000, [&] {
    now += 1000;
    feedback.AdaptBitrate();
    return true;
  });
  out.Figure("stream.adapt_bitrate", adapt.MicrosEach() * 1000.0, "ns");
}

}  // namespace

TAVRO_BENCH("video.scan_annexb", ScanBench);
TAVRO_BENCH("video.packetize", PacketizeBench);
TAVRO_BENCH("video.cpu_convert", ConvertBench);
TAVRO_BENCH("video.encode", EncodeBench);
TAVRO_BENCH("stream.feedback", FeedbackBench);

}  // namespace kelm::bench
