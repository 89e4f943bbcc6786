// Event pump of an asynchronous Media Foundation transform.
#include "media/mft_event_queue.h"

#include <chrono>
#include <new>

namespace kelm {

ComPtr<MftEventQueue> MftEventQueue::Create(IMFMediaEventGenerator* generator) {
  ComPtr<MftEventQueue> queue;
  // COM object: its own Release frees it, so the reference count owns it from here.
  queue.Attach(new (std::nothrow) MftEventQueue(generator));
  return queue;
}

HRESULT MftEventQueue::Start() {
  const HRESULT hr = generator_->BeginGetEvent(this, nullptr);
  if (FAILED(hr)) {
    std::lock_guard lock(mutex_);
    failed_ = true;
  }
  return hr;
}

bool MftEventQueue::Pop(uint32_t& type, uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !events_.empty() || failed_ || stopped_; });
  if (events_.empty()) return false;
  type = events_.front();
  events_.pop_front();
  return true;
}

void MftEventQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
}

bool MftEventQueue::Failed() {
  std::lock_guard lock(mutex_);
  return failed_;
}

STDMETHODIMP MftEventQueue::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFAsyncCallback)) {
    *object = static_cast<IMFAsyncCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MftEventQueue::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) MftEventQueue::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP MftEventQueue::GetParameters(DWORD*, DWORD*) { return E_NOTIMPL; }

STDMETHODIMP MftEventQueue::Invoke(IMFAsyncResult* result) {
  ComPtr<IMFMediaEvent> event;
  const HRESULT hr = generator_->EndGetEvent(result, &event);
  MediaEventType type = MEUnknown;
  HRESULT status = hr;
  if (SUCCEEDED(hr)) {
    event->GetType(&type);
    if (FAILED(event->GetStatus(&status))) status = E_FAIL;
  }
  bool rearm = false;
  {
    std::lock_guard lock(mutex_);
    if (FAILED(hr) || FAILED(status) || type == MEError) {
      failed_ = true;
    } else {
      events_.push_back(static_cast<uint32_t>(type));
    }
    rearm = !stopped_ && !failed_;
  }
  wake_.notify_all();
  if (rearm && FAILED(generator_->BeginGetEvent(this, nullptr))) {
    {
      std::lock_guard lock(mutex_);
      failed_ = true;
    }
    wake_.notify_all();
  }
  return S_OK;
}

}  // namespace kelm
