// Scripted asynchronous encoder transform.
#include "fake_async_mft.h"

#include <new>

namespace kelm::test {
namespace {

constexpr uint8_t kKeyFrame[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88, 0x84};
constexpr uint8_t kDeltaFrame[] = {0, 0, 0, 1, 0x41, 0x9A, 0x02};

}  // namespace

HRESULT FakeAsyncMft::Create(const FakeMftScript& script, FakeMftRecord* record, IMFTransform** out) {
  ComPtr<FakeAsyncMft> mft;
  mft.Attach(new (std::nothrow) FakeAsyncMft(script, record));
  if (!mft) return E_OUTOFMEMORY;
  HRESULT hr = MFCreateEventQueue(&mft->queue_);
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(&mft->attributes_, 2);
  if (SUCCEEDED(hr)) hr = mft->attributes_->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
  if (FAILED(hr)) return hr;
  *out = static_cast<IMFTransform*>(mft.Detach());
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFTransform)) {
    *object = static_cast<IMFTransform*>(this);
  } else if (riid == __uuidof(IMFMediaEventGenerator)) {
    *object = static_cast<IMFMediaEventGenerator*>(this);
  } else if (riid == __uuidof(IMFShutdown)) {
    *object = static_cast<IMFShutdown*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) FakeAsyncMft::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP FakeAsyncMft::Shutdown() {
  std::lock_guard lock(mutex_);
  shutDown_ = true;
  record_->shutDown = true;
  return queue_->Shutdown();
}

STDMETHODIMP FakeAsyncMft::GetShutdownStatus(MFSHUTDOWN_STATUS* status) {
  std::lock_guard lock(mutex_);
  if (!shutDown_) return MF_E_INVALIDREQUEST;
  *status = MFSHUTDOWN_COMPLETED;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) {
  *inMin = *inMax = *outMin = *outMax = 1;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetStreamCount(DWORD* inputs, DWORD* outputs) {
  *inputs = *outputs = 1;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  *info = {};
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  *info = {};
  info->dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetAttributes(IMFAttributes** attributes) {
  *attributes = attributes_.Get();
  attributes_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  std::lock_guard lock(mutex_);
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (index != 0 || !outputType_) return MF_E_NO_MORE_TYPES;
  *type = outputType_.Get();
  outputType_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::SetInputType(DWORD id, IMFMediaType* type, DWORD) {
  std::lock_guard lock(mutex_);
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  GUID subtype{};
  if (type == nullptr || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) {
    return MF_E_INVALIDMEDIATYPE;
  }
  inputType_ = type;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::SetOutputType(DWORD id, IMFMediaType* type, DWORD) {
  std::lock_guard lock(mutex_);
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  GUID subtype{};
  if (type == nullptr || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) return MF_E_INVALIDMEDIATYPE;
  if (subtype == MFVideoFormat_HEVC && script_.refuseHevc) return MF_E_INVALIDMEDIATYPE;
  outputType_ = type;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetInputCurrentType(DWORD, IMFMediaType** type) {
  std::lock_guard lock(mutex_);
  if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *type = inputType_.Get();
  inputType_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetOutputCurrentType(DWORD, IMFMediaType** type) {
  std::lock_guard lock(mutex_);
  if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *type = outputType_.Get();
  outputType_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetInputStatus(DWORD, DWORD* flags) {
  std::lock_guard lock(mutex_);
  *flags = requestsOpen_ > 0 ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::GetOutputStatus(DWORD* flags) {
  std::lock_guard lock(mutex_);
  *flags = pendingTimes_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
  return S_OK;
}

void FakeAsyncMft::RequestInput() {
  if (script_.inputRequests >= 0 && requestsSent_ >= script_.inputRequests) return;
  ++requestsSent_;
  ++requestsOpen_;
  queue_->QueueEventParamVar(METransformNeedInput, GUID_NULL, S_OK, nullptr);
}

STDMETHODIMP FakeAsyncMft::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  switch (message) {
    case MFT_MESSAGE_SET_D3D_MANAGER:
      if (param != 0 && script_.refuseD3DManager) return E_NOTIMPL;
      record_->managerSet = param != 0;
      return S_OK;
    case MFT_MESSAGE_NOTIFY_START_OF_STREAM: {
      UINT32 unlocked = 0;
      attributes_->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked);
      record_->unlocked = unlocked != 0;
      RequestInput();
      return S_OK;
    }
    case MFT_MESSAGE_COMMAND_FLUSH:
      pendingTimes_.clear();
      return S_OK;
    default:
      return S_OK;
  }
}

STDMETHODIMP FakeAsyncMft::ProcessInput(DWORD id, IMFSample* sample, DWORD) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  UINT32 unlocked = 0;
  attributes_->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked);
  if (unlocked == 0) return MF_E_TRANSFORM_ASYNC_LOCKED;
  if (requestsOpen_ == 0) return MF_E_NOTACCEPTING;
  --requestsOpen_;
  LONGLONG time = 0;
  sample->GetSampleTime(&time);
  pendingTimes_.push_back(time);
  ++record_->inputs;
  queue_->QueueEventParamVar(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
  return S_OK;
}

STDMETHODIMP FakeAsyncMft::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  *status = 0;
  if (count != 1 || buffers == nullptr || buffers[0].pSample != nullptr) return E_INVALIDARG;
  if (pendingTimes_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
  const LONGLONG time = pendingTimes_.front();
  pendingTimes_.pop_front();
  const bool key = record_->outputs == 0;
  const uint8_t* bytes = key ? kKeyFrame : kDeltaFrame;
  const DWORD size = key ? sizeof(kKeyFrame) : sizeof(kDeltaFrame);
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  HRESULT hr = MFCreateMemoryBuffer(size, &buffer);
  BYTE* data = nullptr;
  if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    memcpy(data, bytes, size);
    buffer->Unlock();
    buffer->SetCurrentLength(size);
    hr = MFCreateSample(&sample);
  }
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  if (FAILED(hr)) return hr;
  sample->SetSampleTime(time);
  if (key) sample->SetUINT32(MFSampleExtension_CleanPoint, TRUE);
  buffers[0].pSample = sample.Detach();
  ++record_->outputs;
  if (script_.errorAfterFirstOutput) {
    queue_->QueueEventParamVar(MEError, GUID_NULL, E_FAIL, nullptr);
  } else {
    RequestInput();
  }
  return S_OK;
}

}  // namespace kelm::test
