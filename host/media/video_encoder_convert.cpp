// The encoder's colour conversion: the GPU video processor, or the CPU stand-in where
// the GPU does not offer one, and the input samples made from either.
#include <mfapi.h>

#include <cstring>

#include "core/log.h"
#include "core/text.h"
#include "media/media_buffers.h"
#include "media/video_encoder.h"

namespace kelm {
namespace {

// Answers meaning "this GPU or driver does not offer it", which select the stand-in.
bool IsMissing(HRESULT hr) { return hr == E_NOINTERFACE || hr == E_NOTIMPL || hr == E_INVALIDARG; }

}  // namespace

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
  if (rotation_ != DisplayRotation::Identity) {
    videoContext_->VideoProcessorSetStreamRotation(processor_.Get(), 0, TRUE,
                                                   static_cast<D3D11_VIDEO_PROCESSOR_ROTATION>(static_cast<uint32_t>(rotation_) - 1));
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

}  // namespace kelm
