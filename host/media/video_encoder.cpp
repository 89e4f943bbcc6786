// Media Foundation video encoder with GPU (or stand-in CPU) colour conversion.
#include "media/video_encoder.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/log.h"
#include "core/text.h"

namespace kelm {
namespace {

// Attribute of hardware encoder activation objects naming their adapter; missing
// from the toolchain's headers (declared from the documented value).
constexpr GUID kMftEnumAdapterLuid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

constexpr UINT32 kEnumHardware = MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER;  // 0x44
constexpr UINT32 kEnumSoftware = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;   // 0x41
constexpr uint8_t kHevc = 1;
constexpr uint32_t kRateControlCbr = 0;
constexpr uint32_t kQualityVsSpeed = 50;
constexpr uint32_t kGopSeconds = 10;
constexpr uint32_t kH264Profiles[] = {100, 77, 66};  // High, Main, Baseline
constexpr uint32_t kHevcMainProfile = 1;
constexpr auto kInputRequestWait = std::chrono::milliseconds(500);
constexpr uint32_t kInputEventWaitMs = 50;
constexpr auto kOutputWait = std::chrono::milliseconds(100);
constexpr uint32_t kOutputEventWaitMs = 20;
constexpr int kMaxOutputsPerInput = 64;
constexpr int kMaxDrainedFrames = 1024;
constexpr uint32_t kMaxSide = 16384;

const char* CodecName(uint8_t codec) { return codec == kHevc ? "HEVC" : "H.264"; }

// Answers meaning "this GPU or driver does not offer it", which select the stand-in.
bool IsMissing(HRESULT hr) { return hr == E_NOINTERFACE || hr == E_NOTIMPL || hr == E_INVALIDARG; }

std::optional<int64_t> ReadAdapterLuid(IMFActivate* activate) {
  UINT64 value = 0;
  if (SUCCEEDED(activate->GetUINT64(kMftEnumAdapterLuid, &value))) return static_cast<int64_t>(value);
  LUID luid{};
  UINT32 size = 0;
  if (SUCCEEDED(activate->GetBlob(kMftEnumAdapterLuid, reinterpret_cast<UINT8*>(&luid), sizeof(luid), &size)) &&
      size == sizeof(luid)) {
    return (static_cast<int64_t>(luid.HighPart) << 32) | luid.LowPart;
  }
  return std::nullopt;
}

std::string ReadFriendlyName(IMFActivate* activate) {
  wchar_t* name = nullptr;
  UINT32 length = 0;
  if (FAILED(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length)) || name == nullptr) return {};
  std::string utf8 = WideToUtf8(std::wstring_view(name, length));
  CoTaskMemFree(name);
  return utf8;
}

ComPtr<ID3D11Texture2D> MakeTexture(ID3D11Device* device, UINT width, UINT height, DXGI_FORMAT format,
                                    D3D11_USAGE usage, UINT bind, UINT cpu, HRESULT& hr) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = usage;
  desc.BindFlags = bind;
  desc.CPUAccessFlags = cpu;
  ComPtr<ID3D11Texture2D> texture;
  hr = device->CreateTexture2D(&desc, nullptr, &texture);
  return texture;
}

HRESULT MakeMemorySampleOf(DWORD size, ComPtr<IMFSample>& sample, ComPtr<IMFMediaBuffer>& buffer) {
  HRESULT hr = MFCreateMemoryBuffer(size, &buffer);
  if (SUCCEEDED(hr)) hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  return hr;
}

// Locks a media buffer for writing and unlocks it on every path.
class BufferLock {
 public:
  explicit BufferLock(IMFMediaBuffer* buffer) : buffer_(buffer) {
    DWORD max = 0;
    if (FAILED(buffer_->Lock(&data_, &max, nullptr))) data_ = nullptr;
    size_ = max;
  }
  ~BufferLock() {
    if (data_ != nullptr) buffer_->Unlock();
  }
  BufferLock(const BufferLock&) = delete;
  BufferLock& operator=(const BufferLock&) = delete;
  BYTE* Data() const { return data_; }
  DWORD Size() const { return size_; }

 private:
  IMFMediaBuffer* buffer_;
  BYTE* data_ = nullptr;
  DWORD size_ = 0;
};

// Maps a staging texture for reading and unmaps it on every path.
class TextureMap {
 public:
  TextureMap(ID3D11DeviceContext* context, ID3D11Texture2D* texture) : context_(context), texture_(texture) {
    hr_ = context_->Map(texture_, 0, D3D11_MAP_READ, 0, &mapped_);
  }
  ~TextureMap() {
    if (SUCCEEDED(hr_)) context_->Unmap(texture_, 0);
  }
  TextureMap(const TextureMap&) = delete;
  TextureMap& operator=(const TextureMap&) = delete;
  HRESULT Result() const { return hr_; }
  const D3D11_MAPPED_SUBRESOURCE& Mapped() const { return mapped_; }

 private:
  ID3D11DeviceContext* context_;
  ID3D11Texture2D* texture_;
  D3D11_MAPPED_SUBRESOURCE mapped_{};
  HRESULT hr_;
};

}  // namespace

std::vector<EncoderCandidate> SystemEncoderCandidates(bool hardware, uint8_t codec) {
  const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, codec == kHevc ? MFVideoFormat_HEVC : MFVideoFormat_H264};
  IMFActivate** list = nullptr;
  UINT32 count = 0;
  std::vector<EncoderCandidate> candidates;
  if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, hardware ? kEnumHardware : kEnumSoftware, &input, &output, &list,
                       &count)) ||
      list == nullptr) {
    return candidates;
  }
  for (UINT32 i = 0; i < count; ++i) {
    ComPtr<IMFActivate> activate;
    activate.Attach(list[i]);
    EncoderCandidate c;
    c.name = ReadFriendlyName(activate.Get());
    c.adapterLuid = ReadAdapterLuid(activate.Get());
    c.activate = [activate](IMFTransform** transform) { return activate->ActivateObject(IID_PPV_ARGS(transform)); };
    candidates.push_back(std::move(c));
  }
  CoTaskMemFree(list);
  return candidates;
}

VideoEncoder::~VideoEncoder() { Close(); }

bool VideoEncoder::Open(ID3D11Device* device, int64_t adapterLuid, uint32_t sourceWidth, uint32_t sourceHeight,
                        uint32_t rotation, const Config& config) {
  Close();
  width_ = config.width & ~1u;
  height_ = config.height & ~1u;
  fps_ = std::max<uint32_t>(config.fps, 1);
  bitrateKbps_ = config.bitrateKbps;
  codec_ = config.codec;
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  rotation_ = rotation == 0 ? 1 : rotation;
  if (device == nullptr || width_ == 0 || height_ == 0 || width_ > kMaxSide || height_ > kMaxSide ||
      sourceWidth == 0 || sourceHeight == 0 || sourceWidth > kMaxSide || sourceHeight > kMaxSide || rotation_ > 4) {
    LogError("Cannot encode {}x{} from {}x{} (rotation {})", width_, height_, sourceWidth, sourceHeight, rotation);
    return false;
  }
  device_ = device;
  device_->GetImmediateContext(&context_);
  if (!BuildConverter()) return false;
  if (Activate(true, adapterLuid) && Configure()) return true;
  LogWarn("No usable hardware {} encoder, falling back to software encoding (higher CPU use)", CodecName(codec_));
  ShutDownTransform();
  return Activate(false, adapterLuid) && Configure();
}

bool VideoEncoder::BuildConverter() {
  HRESULT missing = S_OK;
  if (BuildGpuConverter(missing)) return true;
  if (!IsMissing(missing)) return false;
  DropGpuConverter();
  LogWarn("GPU video processor unavailable ({}{}); converting colours on the CPU", missingStep_, ErrorText(missing));
  return BuildCpuConverter();
}

bool VideoEncoder::BuildGpuConverter(HRESULT& missing) {
  // A failure whose answer means "not offered" is left for the stand-in, unlogged.
  auto fail = [this, &missing](HRESULT hr, const char* what) {
    if (IsMissing(hr)) {
      missing = hr;
      missingStep_ = what;
    } else {
      LogError("{}{}", what, ErrorText(hr));
    }
    return false;
  };
  HRESULT hr = device_.As(&videoDevice_);
  if (SUCCEEDED(hr)) hr = context_.As(&videoContext_);
  if (FAILED(hr)) return fail(hr, "GPU has no D3D11 video processor: ");

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputFrameRate = {fps_, 1};
  content.InputWidth = sourceWidth_;
  content.InputHeight = sourceHeight_;
  content.OutputFrameRate = {fps_, 1};
  content.OutputWidth = width_;
  content.OutputHeight = height_;
  content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_SPEED;
  hr = videoDevice_->CreateVideoProcessorEnumerator(&content, &processorEnum_);
  if (SUCCEEDED(hr)) hr = videoDevice_->CreateVideoProcessor(processorEnum_.Get(), 0, &processor_);
  if (FAILED(hr)) return fail(hr, "CreateVideoProcessor failed: ");

  inputTexture_ = MakeTexture(device_.Get(), sourceWidth_, sourceHeight_, DXGI_FORMAT_B8G8R8A8_UNORM,
                              D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, hr);
  if (FAILED(hr)) return false;
  D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
  inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
  hr = videoDevice_->CreateVideoProcessorInputView(inputTexture_.Get(), processorEnum_.Get(), &inputDesc, &inputView_);
  if (FAILED(hr)) {
    LogError("CreateVideoProcessorInputView failed: {}", ErrorText(hr));
    return false;
  }
  for (size_t i = 0; i < kRing; ++i) {
    nv12Textures_[i] = MakeTexture(device_.Get(), width_, height_, DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_RENDER_TARGET, 0, hr);
    if (FAILED(hr)) return fail(hr, "Creating NV12 surface failed: ");
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    hr = videoDevice_->CreateVideoProcessorOutputView(nv12Textures_[i].Get(), processorEnum_.Get(), &outputDesc,
                                                      &outputViews_[i]);
    if (FAILED(hr)) return fail(hr, "CreateVideoProcessorOutputView failed: ");
  }

  ComPtr<ID3D11VideoContext1> context1;
  if (SUCCEEDED(videoContext_.As(&context1))) {
    context1->VideoProcessorSetStreamColorSpace1(processor_.Get(), 0, DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
    context1->VideoProcessorSetOutputColorSpace1(processor_.Get(), DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709);
  } else {
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE input{};
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE output{};
    output.YCbCr_Matrix = 1;  // BT.709
    output.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
    videoContext_->VideoProcessorSetStreamColorSpace(processor_.Get(), 0, &input);
    videoContext_->VideoProcessorSetOutputColorSpace(processor_.Get(), &output);
  }
  const RECT source{0, 0, static_cast<LONG>(sourceWidth_), static_cast<LONG>(sourceHeight_)};
  const RECT target{0, 0, static_cast<LONG>(width_), static_cast<LONG>(height_)};
  videoContext_->VideoProcessorSetStreamFrameFormat(processor_.Get(), 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  videoContext_->VideoProcessorSetStreamAutoProcessingMode(processor_.Get(), 0, FALSE);
  videoContext_->VideoProcessorSetStreamSourceRect(processor_.Get(), 0, TRUE, &source);
  videoContext_->VideoProcessorSetStreamDestRect(processor_.Get(), 0, TRUE, &target);
  videoContext_->VideoProcessorSetOutputTargetRect(processor_.Get(), TRUE, &target);
  if (rotation_ > 1) {
    videoContext_->VideoProcessorSetStreamRotation(processor_.Get(), 0, TRUE,
                                                   static_cast<D3D11_VIDEO_PROCESSOR_ROTATION>(rotation_ - 1));
  }
  cpuConversion_ = false;
  return true;
}

void VideoEncoder::DropGpuConverter() {
  for (auto& view : outputViews_) view.Reset();
  for (auto& texture : nv12Textures_) texture.Reset();
  inputView_.Reset();
  inputTexture_.Reset();
  processor_.Reset();
  processorEnum_.Reset();
  videoContext_.Reset();
  videoDevice_.Reset();
}

bool VideoEncoder::BuildCpuConverter() {
  if (!cpuConverter_.Prepare(sourceWidth_, sourceHeight_, rotation_, width_, height_)) {
    LogError("Cannot convert {}x{} to {}x{} on the CPU", sourceWidth_, sourceHeight_, width_, height_);
    return false;
  }
  HRESULT hr = S_OK;
  bgraStagingTexture_ = MakeTexture(device_.Get(), sourceWidth_, sourceHeight_, DXGI_FORMAT_B8G8R8A8_UNORM,
                                    D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, hr);
  if (FAILED(hr)) {
    LogError("Creating BGRA staging texture failed: {}", ErrorText(hr));
    return false;
  }
  cpuConversion_ = true;
  return true;
}

bool VideoEncoder::Activate(bool hardware, int64_t adapterLuid) {
  // Nothing of an earlier (refused) encoder may leak into this one.
  hardware_ = async_ = gpuInput_ = forceKeySupported_ = false;
  inputRequests_ = 0;
  ringIndex_ = 0;
  deviceManager_.Reset();
  outputSample_.Reset();
  outputSampleSize_ = 0;
  inputStreamId_ = outputStreamId_ = 0;

  std::vector<EncoderCandidate> candidates = candidates_ ? candidates_(hardware, codec_) : std::vector<EncoderCandidate>{};
  if (candidates.empty()) {
    if (!hardware) LogError("No software {} encoder is installed", CodecName(codec_));
    return false;
  }
  size_t pick = 0;
  if (hardware) {
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (candidates[i].adapterLuid == adapterLuid) {
        pick = i;
        break;
      }
    }
  }
  const std::string name = candidates[pick].name.empty() ? "unknown encoder" : candidates[pick].name;
  ComPtr<IMFTransform> transform;
  HRESULT hr = candidates[pick].activate ? candidates[pick].activate(&transform) : E_POINTER;
  if (SUCCEEDED(hr) && !transform) hr = E_POINTER;
  candidates.clear();
  if (FAILED(hr)) {
    LogWarn("Activating encoder '{}' failed: {}", name, ErrorText(hr));
    return false;
  }
  transform_ = transform;
  hardware_ = hardware;
  LogInfo("Using {} encoder: {}", hardware ? "hardware" : "software", name);

  ComPtr<IMFAttributes> attributes;
  if (SUCCEEDED(transform_->GetAttributes(&attributes)) && attributes) {
    UINT32 isAsync = 0;
    if (SUCCEEDED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &isAsync)) && isAsync != 0) {
      attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, TRUE);
      async_ = true;
    }
    attributes->SetUINT32(MF_LOW_LATENCY, TRUE);
  }
  if (hardware) {
    hr = MFCreateDXGIDeviceManager(&resetToken_, &deviceManager_);
    if (SUCCEEDED(hr)) hr = deviceManager_->ResetDevice(device_.Get(), resetToken_);
    if (SUCCEEDED(hr)) {
      hr = transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(deviceManager_.Get()));
    }
    if (FAILED(hr)) {
      LogWarn("Hardware encoder does not accept our D3D11 device: {}", ErrorText(hr));
      deviceManager_.Reset();
      return false;
    }
    gpuInput_ = true;
  }
  DWORD input = 0, output = 0;
  if (SUCCEEDED(transform_->GetStreamIDs(1, &input, 1, &output))) {
    inputStreamId_ = input;
    outputStreamId_ = output;
  }
  transform_.As(&codecApi_);
  return true;
}

void VideoEncoder::SetCodecValue(const GUID& api, uint32_t value) {
  if (!codecApi_ || codecApi_->IsSupported(&api) != S_OK) return;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = value;
  codecApi_->SetValue(&api, &v);
}

bool VideoEncoder::Configure() {
  if (codecApi_) {
    if (codecApi_->IsSupported(&CODECAPI_AVLowLatencyMode) == S_OK) {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_BOOL;
      v.boolVal = VARIANT_TRUE;
      codecApi_->SetValue(&CODECAPI_AVLowLatencyMode, &v);
    }
    SetCodecValue(CODECAPI_AVEncCommonRateControlMode, kRateControlCbr);
    SetCodecValue(CODECAPI_AVEncCommonMeanBitRate, bitrateKbps_ * 1000);
    SetCodecValue(CODECAPI_AVEncMPVDefaultBPictureCount, 0);
    SetCodecValue(CODECAPI_AVEncMPVGOPSize, fps_ * kGopSeconds);
    SetCodecValue(CODECAPI_AVEncCommonQualityVsSpeed, kQualityVsSpeed);
    forceKeySupported_ = codecApi_->IsSupported(&CODECAPI_AVEncVideoForceKeyFrame) == S_OK;
  }
  if (!SetOutputType() || !SetInputType()) return false;
  SetCodecValue(CODECAPI_AVEncCommonMeanBitRate, bitrateKbps_ * 1000);

  if (!gpuInput_ && !cpuConversion_) {
    HRESULT hr = S_OK;
    stagingTexture_ = MakeTexture(device_.Get(), width_, height_, DXGI_FORMAT_NV12, D3D11_USAGE_STAGING, 0,
                                  D3D11_CPU_ACCESS_READ, hr);
    if (FAILED(hr)) {
      LogError("Creating NV12 staging texture failed: {}", ErrorText(hr));
      return false;
    }
  }
  if (async_) {
    if (events_) events_->Stop();
    events_.Reset();
    ComPtr<IMFMediaEventGenerator> generator;
    HRESULT hr = transform_.As(&generator);
    if (FAILED(hr)) {
      LogError("Asynchronous encoder has no event generator: {}", ErrorText(hr));
      return false;
    }
    events_ = MftEventQueue::Create(generator.Get());
    hr = events_ ? events_->Start() : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      LogError("BeginGetEvent failed: {}", ErrorText(hr));
      return false;
    }
  }
  // No flush here: a freshly configured encoder holds nothing to discard, and a flush
  // before the first input leaves the GStreamer-backed encoder of Wine silent for good.
  transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  inputRequests_ = 0;
  streamStartMicros_.reset();
  LogInfo("Encoder ready: {} {}x{} @ {} fps, {} kbps", CodecName(codec_), width_, height_, fps_, bitrateKbps_);
  return true;
}

bool VideoEncoder::SetOutputType() {
  std::vector<uint32_t> profiles;
  if (codec_ == kHevc) {
    profiles = {kHevcMainProfile};
  } else {
    profiles.assign(std::begin(kH264Profiles), std::end(kH264Profiles));
  }
  HRESULT hr = E_FAIL;
  for (const uint32_t profile : profiles) {
    ComPtr<IMFMediaType> type;
    hr = MFCreateMediaType(&type);
    if (FAILED(hr)) break;
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, codec_ == kHevc ? MFVideoFormat_HEVC : MFVideoFormat_H264);
    type->SetUINT32(MF_MT_AVG_BITRATE, bitrateKbps_ * 1000);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width_, height_);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, fps_, 1);
    MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    type->SetUINT32(MF_MT_MPEG2_PROFILE, profile);
    type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
    type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
    type->SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
    type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
    hr = transform_->SetOutputType(outputStreamId_, type.Get(), 0);
    if (SUCCEEDED(hr)) return true;
  }
  LogWarn("Encoder rejected output type {}x{}@{}: {}", width_, height_, fps_, ErrorText(hr));
  return false;
}

bool VideoEncoder::SetInputType() {
  ComPtr<IMFMediaType> type;
  HRESULT hr = MFCreateMediaType(&type);
  if (SUCCEEDED(hr)) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width_, height_);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, fps_, 1);
    MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    type->SetUINT32(MF_MT_DEFAULT_STRIDE, InputStride());
    type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
    type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
    hr = transform_->SetInputType(inputStreamId_, type.Get(), 0);
  }
  if (FAILED(hr)) {
    LogWarn("Encoder rejected NV12 input: {}", ErrorText(hr));
    return false;
  }
  return true;
}

bool VideoEncoder::Encode(ID3D11Texture2D* frame, int64_t timeMicros, bool forceKeyFrame,
                          std::vector<EncodedFrame>& out) {
  if (!transform_ || frame == nullptr) return false;
  ComPtr<IMFSample> sample;
  if (!Convert(frame, sample, timeMicros)) return false;
  if (forceKeyFrame) {
    if (forceKeySupported_) {
      SetCodecValue(CODECAPI_AVEncVideoForceKeyFrame, 1);
    } else if (!async_ && streamStartMicros_ && !ForceKeyFrameByRestart(out)) {
      // (With nothing fed since the stream started, its first picture is key anyway.)
      return false;
    }
  }
  if (!streamStartMicros_) {
    streamStartMicros_ = timeMicros;
    rebasePending_ = true;
  }
  return async_ ? EncodeAsync(sample.Get(), out) : EncodeSync(sample.Get(), out);
}

bool VideoEncoder::Convert(ID3D11Texture2D* frame, ComPtr<IMFSample>& sample, int64_t timeMicros) {
  D3D11_TEXTURE2D_DESC desc{};
  frame->GetDesc(&desc);
  if (desc.Width != sourceWidth_ || desc.Height != sourceHeight_ || desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
    LogError("Frame {}x{} (format {}) does not match the encoder's source {}x{}", desc.Width, desc.Height,
             static_cast<int>(desc.Format), sourceWidth_, sourceHeight_);
    return false;
  }
  bool made = false;
  if (cpuConversion_) {
    // CPU-converted pictures live in memory, so even an encoder that took the device
    // manager gets them as memory buffers.
    made = MakeMemorySample(frame, nullptr, sample);
  } else {
    ID3D11Texture2D* nv12 = nv12Textures_[ringIndex_].Get();
    ID3D11VideoProcessorOutputView* view = outputViews_[ringIndex_].Get();
    ringIndex_ = (ringIndex_ + 1) % kRing;
    context_->CopyResource(inputTexture_.Get(), frame);
    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.pInputSurface = inputView_.Get();
    const HRESULT hr = videoContext_->VideoProcessorBlt(processor_.Get(), view, 0, 1, &stream);
    if (FAILED(hr)) {
      LogError("VideoProcessorBlt failed: {}", ErrorText(hr));
      return false;
    }
    made = gpuInput_ ? MakeGpuSample(nv12, sample) : MakeMemorySample(nullptr, nv12, sample);
  }
  if (!made) return false;
  sample->SetSampleTime(timeMicros * 10);
  sample->SetSampleDuration(10000000 / fps_);
  return true;
}

bool VideoEncoder::MakeGpuSample(ID3D11Texture2D* nv12, ComPtr<IMFSample>& sample) {
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), nv12, 0, FALSE, &buffer);
  ComPtr<IMF2DBuffer> buffer2d;
  DWORD length = 0;
  if (SUCCEEDED(hr)) hr = buffer.As(&buffer2d);
  if (SUCCEEDED(hr)) hr = buffer2d->GetContiguousLength(&length);
  if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(length);
  if (SUCCEEDED(hr)) hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  if (FAILED(hr)) {
    LogError("Wrapping the NV12 surface failed: {}", ErrorText(hr));
    return false;
  }
  return true;
}

bool VideoEncoder::MakeMemorySample(ID3D11Texture2D* frame, ID3D11Texture2D* nv12, ComPtr<IMFSample>& sample) {
  const uint32_t stride = InputStride();
  const DWORD size = stride * height_ * 3 / 2;
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MakeMemorySampleOf(size, sample, buffer);
  if (FAILED(hr)) {
    LogError("Creating an input sample failed: {}", ErrorText(hr));
    return false;
  }
  {
    BufferLock lock(buffer.Get());
    if (lock.Data() == nullptr || lock.Size() < size) {
      LogError("Locking the input buffer failed");
      return false;
    }
    ID3D11Texture2D* staging = frame != nullptr ? bgraStagingTexture_.Get() : stagingTexture_.Get();
    context_->CopyResource(staging, frame != nullptr ? frame : nv12);
    TextureMap map(context_.Get(), staging);
    if (FAILED(map.Result())) {
      LogError("Mapping the staging texture failed: {}", ErrorText(map.Result()));
      return false;
    }
    const auto& m = map.Mapped();
    BYTE* y = lock.Data();
    BYTE* uv = y + size_t{stride} * height_;
    if (frame != nullptr) {
      const BgraView source{static_cast<const uint8_t*>(m.pData), m.RowPitch, sourceWidth_, sourceHeight_};
      if (!cpuConverter_.Convert(source, {y, stride, uv, stride, width_, height_})) {
        LogError("CPU colour conversion failed");
        return false;
      }
    } else {
      const auto* src = static_cast<const uint8_t*>(m.pData);
      for (uint32_t row = 0; row < height_; ++row) {
        std::memcpy(y + size_t{row} * stride, src + size_t{row} * m.RowPitch, width_);
      }
      const uint8_t* chroma = src + size_t{m.RowPitch} * height_;
      for (uint32_t row = 0; row < height_ / 2; ++row) {
        std::memcpy(uv + size_t{row} * stride, chroma + size_t{row} * m.RowPitch, width_);
      }
    }
  }
  buffer->SetCurrentLength(size);
  return true;
}

bool VideoEncoder::EncodeSync(IMFSample* sample, std::vector<EncodedFrame>& out) {
  const HRESULT hr = transform_->ProcessInput(inputStreamId_, sample, 0);
  if (FAILED(hr) && hr != MF_E_NOTACCEPTING) {
    LogError("ProcessInput failed: {}", ErrorText(hr));
    return false;
  }
  for (int i = 0; i < kMaxOutputsPerInput; ++i) {
    bool produced = false;
    const HRESULT result = CollectOutput(out, produced);
    if (result == MF_E_TRANSFORM_NEED_MORE_INPUT) return true;
    if (FAILED(result)) {
      LogError("ProcessOutput failed: {}", ErrorText(result));
      return false;
    }
    if (!produced) return true;
  }
  return true;
}

bool VideoEncoder::HandleEvent(uint32_t type, std::vector<EncodedFrame>& out) {
  if (type == METransformNeedInput) {
    ++inputRequests_;
  } else if (type == METransformHaveOutput) {
    bool produced = false;
    const HRESULT hr = CollectOutput(out, produced);
    if (FAILED(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
      LogError("ProcessOutput failed: {}", ErrorText(hr));
      return false;
    }
  }
  return true;
}

bool VideoEncoder::EncodeAsync(IMFSample* sample, std::vector<EncodedFrame>& out) {
  using Clock = std::chrono::steady_clock;
  if (!events_ || events_->Failed()) return false;
  uint32_t type = 0;
  while (events_->Pop(type, 0)) {
    if (!HandleEvent(type, out)) return false;
  }
  const auto waitStart = Clock::now();
  while (inputRequests_ == 0) {
    if (events_->Failed()) return false;
    if (Clock::now() - waitStart > kInputRequestWait) {
      LogWarn("Hardware encoder is not requesting input; dropping frame");
      return true;
    }
    if (events_->Pop(type, kInputEventWaitMs) && !HandleEvent(type, out)) return false;
  }
  const HRESULT hr = transform_->ProcessInput(inputStreamId_, sample, 0);
  if (FAILED(hr)) {
    LogError("ProcessInput failed: {}", ErrorText(hr));
    return false;
  }
  --inputRequests_;
  const size_t before = out.size();
  const auto outputStart = Clock::now();
  while (out.size() == before && Clock::now() - outputStart < kOutputWait) {
    if (events_->Failed()) return false;
    if (events_->Pop(type, kOutputEventWaitMs) && !HandleEvent(type, out)) return false;
  }
  return true;
}

HRESULT VideoEncoder::CollectOutput(std::vector<EncodedFrame>& out, bool& produced) {
  produced = false;
  MFT_OUTPUT_STREAM_INFO info{};
  HRESULT hr = transform_->GetOutputStreamInfo(outputStreamId_, &info);
  if (FAILED(hr)) return hr;
  const bool ours = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) == 0;
  MFT_OUTPUT_DATA_BUFFER buffer{};
  buffer.dwStreamID = outputStreamId_;
  if (ours) {
    const DWORD size = info.cbSize != 0 ? info.cbSize : width_ * height_ * 3;
    if (!outputSample_ || outputSampleSize_ < size) {
      outputSample_.Reset();
      ComPtr<IMFMediaBuffer> memory;
      if (FAILED(MakeMemorySampleOf(size, outputSample_, memory))) {
        outputSample_.Reset();
        return E_OUTOFMEMORY;
      }
      outputSampleSize_ = size;
    } else {
      // One sample serves every frame: clear what the last frame left on it.
      outputSample_->DeleteAllItems();
      ComPtr<IMFMediaBuffer> memory;
      if (SUCCEEDED(outputSample_->GetBufferByIndex(0, &memory))) memory->SetCurrentLength(0);
    }
    buffer.pSample = outputSample_.Get();
  }
  DWORD status = 0;
  hr = transform_->ProcessOutput(0, 1, &buffer, &status);
  if (buffer.pEvents != nullptr) buffer.pEvents->Release();
  ComPtr<IMFSample> sample;
  if (ours) {
    sample = outputSample_;
  } else if (buffer.pSample != nullptr) {
    sample.Attach(buffer.pSample);
  }
  if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    ComPtr<IMFMediaType> type;
    hr = transform_->GetOutputAvailableType(outputStreamId_, 0, &type);
    if (SUCCEEDED(hr)) hr = transform_->SetOutputType(outputStreamId_, type.Get(), 0);
    return hr;
  }
  if (FAILED(hr) || !sample) return hr;

  ComPtr<IMFMediaBuffer> contiguous;
  hr = sample->ConvertToContiguousBuffer(&contiguous);
  if (FAILED(hr)) return hr;
  EncodedFrame frame;
  {
    BYTE* data = nullptr;
    DWORD length = 0;
    hr = contiguous->Lock(&data, nullptr, &length);
    if (FAILED(hr)) return hr;
    frame.data.assign(data, data + length);
    contiguous->Unlock();
  }
  LONGLONG time = 0;
  if (SUCCEEDED(sample->GetSampleTime(&time))) {
    // Output times continue from the first input's time. Some encoders (Wine's)
    // count from their own origin at every stream start instead of echoing ours.
    if (rebasePending_ && streamStartMicros_) {
      timeOffset_ = *streamStartMicros_ * 10 - time;
      rebasePending_ = false;
    }
    frame.timeMicros = (time + timeOffset_) / 10;
  }
  frame.keyFrame = MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0) != 0;
  if (!frame.data.empty()) {
    out.push_back(std::move(frame));
    produced = true;
  }
  return S_OK;
}

bool VideoEncoder::ForceKeyFrameByRestart(std::vector<EncodedFrame>& out) {
  // Stand-in where the encoder cannot force a key frame through ICodecAPI: drain what
  // it holds (those frames are still sent), then set the media types again, which
  // starts a new stream whose first picture is a key frame.
  LogDebug("Forcing a key frame by restarting the encoder's stream");
  HRESULT hr = transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
  if (FAILED(hr)) {
    LogError("Draining the encoder failed: {}", ErrorText(hr));
    return false;
  }
  for (int i = 0; i < kMaxDrainedFrames; ++i) {
    bool produced = false;
    hr = CollectOutput(out, produced);
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT || (SUCCEEDED(hr) && !produced)) break;
    if (FAILED(hr)) {
      LogError("ProcessOutput failed: {}", ErrorText(hr));
      return false;
    }
  }
  if (!SetOutputType() || !SetInputType()) return false;
  transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  streamStartMicros_.reset();
  return true;
}

void VideoEncoder::SetBitrate(uint32_t kbps) {
  bitrateKbps_ = kbps;
  SetCodecValue(CODECAPI_AVEncCommonMeanBitRate, kbps * 1000);
}

std::vector<uint8_t> VideoEncoder::SequenceHeader() const {
  std::vector<uint8_t> header;
  if (!transform_) return header;
  ComPtr<IMFMediaType> type;
  if (FAILED(transform_->GetOutputCurrentType(outputStreamId_, &type)) || !type) return header;
  UINT8* blob = nullptr;
  UINT32 size = 0;
  if (SUCCEEDED(type->GetAllocatedBlob(MF_MT_MPEG_SEQUENCE_HEADER, &blob, &size)) && blob != nullptr) {
    header.assign(blob, blob + size);
    CoTaskMemFree(blob);
  }
  return header;
}

void VideoEncoder::ShutDownTransform() {
  if (events_) events_->Stop();
  events_.Reset();
  if (transform_) {
    ComPtr<IMFShutdown> shutdown;
    if (SUCCEEDED(transform_.As(&shutdown))) shutdown->Shutdown();
  }
  codecApi_.Reset();
  transform_.Reset();
  deviceManager_.Reset();
  outputSample_.Reset();
  outputSampleSize_ = 0;
  stagingTexture_.Reset();
  hardware_ = async_ = gpuInput_ = forceKeySupported_ = false;
  inputRequests_ = 0;
  streamStartMicros_.reset();
  rebasePending_ = false;
  timeOffset_ = 0;
}

void VideoEncoder::Close() {
  if (transform_) {
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
    transform_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
    if (gpuInput_) transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, 0);
  }
  ShutDownTransform();
  DropGpuConverter();
  bgraStagingTexture_.Reset();
  cpuConversion_ = false;
  ringIndex_ = 0;
  context_.Reset();
  device_.Reset();
}

}  // namespace kelm
