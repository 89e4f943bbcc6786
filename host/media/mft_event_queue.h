#pragma once
// Pumps an asynchronous encoder's events into a queue the encoding thread waits on.
#include <windows.h>
#include <mfidl.h>
#include <mfobjects.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "media/com_ptr.h"

namespace kelm {

class MftEventQueue final : public IMFAsyncCallback {
 public:
  // A queue listening on `generator`; BeginGetEvent is the caller's first Start().
  static ComPtr<MftEventQueue> Create(IMFMediaEventGenerator* generator);

  // Arms the first event request; false when the generator refuses.
  HRESULT Start();
  // The oldest queued event type, waiting up to `timeoutMs`; false when none came
  // (time-out, stop or failure).
  bool Pop(uint32_t& type, uint32_t timeoutMs);
  void Stop();
  bool Failed();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IMFAsyncCallback
  STDMETHODIMP GetParameters(DWORD* flags, DWORD* queue) override;
  STDMETHODIMP Invoke(IMFAsyncResult* result) override;

 private:
  explicit MftEventQueue(IMFMediaEventGenerator* generator) : generator_(generator) {}
  ~MftEventQueue() = default;

  LONG refs_ = 1;
  ComPtr<IMFMediaEventGenerator> generator_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<uint32_t> events_;
  bool failed_ = false;
  bool stopped_ = false;
};

}  // namespace kelm
