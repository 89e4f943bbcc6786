#pragma once
// A scripted asynchronous "hardware" encoder transform for encoder tests: it asks for
// input with METransformNeedInput, answers each input with METransformHaveOutput and
// a small Annex-B frame, and can fall silent, raise MEError or refuse a D3D manager.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "media/com_ptr.h"

namespace kelm::test {

struct FakeMftScript {
  bool refuseD3DManager = false;
  bool refuseHevc = false;
  int inputRequests = -1;        // METransformNeedInput events it sends; -1 = unlimited
  bool errorAfterFirstOutput = false;
};

// What the fake saw, shared with the test (which outlives nothing the encoder holds).
struct FakeMftRecord {
  std::atomic<int> inputs{0};
  std::atomic<int> outputs{0};
  std::atomic<bool> unlocked{false};
  std::atomic<bool> managerSet{false};
  std::atomic<bool> shutDown{false};
};

class FakeAsyncMft final : public IMFTransform, public IMFMediaEventGenerator, public IMFShutdown {
 public:
  static HRESULT Create(const FakeMftScript& script, FakeMftRecord* record, IMFTransform** out);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override;
  // IMFMediaEventGenerator
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return queue_->GetEvent(flags, event); }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return queue_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return queue_->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID ext, HRESULT status, const PROPVARIANT* value) override {
    return queue_->QueueEventParamVar(type, ext, status, value);
  }
  // IMFShutdown
  STDMETHODIMP Shutdown() override;
  STDMETHODIMP GetShutdownStatus(MFSHUTDOWN_STATUS* status) override;
  // IMFTransform
  STDMETHODIMP GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override;
  STDMETHODIMP GetStreamCount(DWORD* inputs, DWORD* outputs) override;
  STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) override;
  STDMETHODIMP GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) override;
  STDMETHODIMP GetAttributes(IMFAttributes** attributes) override;
  STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return MF_E_NO_MORE_TYPES; }
  STDMETHODIMP GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) override;
  STDMETHODIMP SetInputType(DWORD id, IMFMediaType* type, DWORD flags) override;
  STDMETHODIMP SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) override;
  STDMETHODIMP GetInputCurrentType(DWORD id, IMFMediaType** type) override;
  STDMETHODIMP GetOutputCurrentType(DWORD id, IMFMediaType** type) override;
  STDMETHODIMP GetInputStatus(DWORD id, DWORD* flags) override;
  STDMETHODIMP GetOutputStatus(DWORD* flags) override;
  STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override;
  STDMETHODIMP ProcessInput(DWORD id, IMFSample* sample, DWORD flags) override;
  STDMETHODIMP ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override;

 private:
  FakeAsyncMft(const FakeMftScript& script, FakeMftRecord* record) : script_(script), record_(record) {}
  ~FakeAsyncMft() = default;
  void RequestInput();  // under mutex_

  LONG refs_ = 1;
  FakeMftScript script_;
  FakeMftRecord* record_;
  ComPtr<IMFMediaEventQueue> queue_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFMediaType> inputType_, outputType_;
  std::mutex mutex_;
  std::deque<LONGLONG> pendingTimes_;
  int requestsSent_ = 0;
  int requestsOpen_ = 0;
  bool shutDown_ = false;
};

}  // namespace kelm::test
