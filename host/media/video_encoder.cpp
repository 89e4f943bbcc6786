// Media Foundation video encoder with GPU (or stand-in CPU) colour conversion.
#include "media/video_encoder.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/text.h"
#include "media/media_buffers.h"

namespace kelm {
namespace {

// Attribute of hardware encoder activation objects naming their adapter; missing
// from the toolchain's headers (declared from the documented value).
constexpr GUID kMftEnumAdapterLuid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

constexpr UINT32 kEnumHardware = MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER;  // 0x44
constexpr UINT32 kEnumSoftware = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;   // 0x41
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

const char* CodecName(proto::VideoCodec codec) { return codec == proto::VideoCodec::Hevc ? "HEVC" : "H.264"; }

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
  CoTaskMem<wchar_t> name;
  UINT32 length = 0;
  if (FAILED(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, name.Put(), &length)) || !name) return {};
  return WideToUtf8(std::wstring_view(name.Get(), length));
}

}  // namespace

std::vector<EncoderCandidate> SystemEncoderCandidates(bool hardware, proto::VideoCodec codec) {
  const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, codec == proto::VideoCodec::Hevc ? MFVideoFormat_HEVC : MFVideoFormat_H264};
  CoTaskMem<IMFActivate*> list;
  UINT32 count = 0;
  std::vector<EncoderCandidate> candidates;
  if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, hardware ? kEnumHardware : kEnumSoftware, &input, &output,
                       list.Put(), &count)) ||
      !list) {
    return candidates;
  }
  for (UINT32 i = 0; i < count; ++i) {
    ComPtr<IMFActivate> activate;
    activate.Attach(list.Get()[i]);
    EncoderCandidate c;
    c.name = ReadFriendlyName(activate.Get());
    c.adapterLuid = ReadAdapterLuid(activate.Get());
    c.activate = [activate](IMFTransform** transform) { return activate->ActivateObject(IID_PPV_ARGS(transform)); };
    c.shutdown = [activate] { activate->ShutdownObject(); };
    candidates.push_back(std::move(c));
  }
  return candidates;
}

VideoEncoder::~VideoEncoder() { Close(); }

bool VideoEncoder::Open(ID3D11Device* device, int64_t adapterLuid, uint32_t sourceWidth, uint32_t sourceHeight,
                        DisplayRotation rotation, const Config& config) {
  Close();
  width_ = config.width & ~1u;
  height_ = config.height & ~1u;
  fps_ = std::max<uint32_t>(config.fps, 1);
  bitrateKbps_ = config.bitrateKbps;
  codec_ = config.codec;
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  rotation_ = rotation == DisplayRotation::Unspecified ? DisplayRotation::Identity : rotation;
  if (device == nullptr || width_ == 0 || height_ == 0 || width_ > kMaxSide || height_ > kMaxSide ||
      sourceWidth == 0 || sourceHeight == 0 || sourceWidth > kMaxSide || sourceHeight > kMaxSide || rotation_ > DisplayRotation::Rotate270) {
    LogError("Cannot encode {}x{} from {}x{} (rotation {})", width_, height_, sourceWidth, sourceHeight,
             static_cast<uint32_t>(rotation));
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
  shutdownActivation_ = std::move(candidates[pick].shutdown);
  candidates.clear();
  if (FAILED(hr)) {
    if (shutdownActivation_) std::exchange(shutdownActivation_, nullptr)();
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
  if (codec_ == proto::VideoCodec::Hevc) {
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
    type->SetGUID(MF_MT_SUBTYPE, codec_ == proto::VideoCodec::Hevc ? MFVideoFormat_HEVC : MFVideoFormat_H264);
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
  CoTaskMem<UINT8> blob;
  UINT32 size = 0;
  if (SUCCEEDED(type->GetAllocatedBlob(MF_MT_MPEG_SEQUENCE_HEADER, blob.Put(), &size)) && blob) {
    header.assign(blob.Get(), blob.Get() + size);
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
  if (shutdownActivation_) std::exchange(shutdownActivation_, nullptr)();
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
