#pragma once
// A scripted capture, a counting encoder and a clock (virtual or real) for driving the
// video pipeline without a screen or a codec.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "media/video_pipeline_io.h"

namespace kelm::test {

// Virtual time moves only when the pipeline waits or sleeps; real time is the process clock.
class TestClock {
 public:
  explicit TestClock(bool real = false) : real_(real) {}
  uint64_t Now() const { return real_ ? NowMicros() : virtual_.load(); }
  void Advance(uint64_t micros) {
    if (real_) {
      ::Sleep(static_cast<DWORD>((micros + 999) / 1000));
    } else {
      virtual_ += micros;
    }
  }
  void AdvanceTo(uint64_t when) {
    const uint64_t now = Now();
    if (when > now) Advance(when - now);
  }
  bool Real() const { return real_; }

 private:
  bool real_;
  std::atomic<uint64_t> virtual_{1000000000};  // far from zero, like a machine's uptime
};

// Hands out new images on a fixed grid while the screen changes, plus queued results.
class ScriptedCapture final : public PipelineCapture {
 public:
  explicit ScriptedCapture(TestClock& clock) : clock_(clock) {}

  // Script, set before the run or from `tick` (which runs on the pipeline's thread).
  uint64_t changePeriod = 16667;         // a new image this often while changing
  uint64_t stillFrom = ~uint64_t{0};     // no new images from this time on
  uint64_t changeFrom = 0;               // and none before this time
  std::deque<CaptureResult> queued;                // results returned before anything else
  bool openOk = true;
  bool recreateOk = true;
  uint32_t width = 1920, height = 1080, generation = 1;
  DisplayRotation rotation = DisplayRotation::Identity;
  uint32_t generationAtRecreate = 0;     // when non-zero, a recreate switches to it
  RECT desktop{0, 0, 1920, 1080};
  CapturedPointer pointer;
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* deviceContext = nullptr;
  ID3D11Texture2D* texture = nullptr;
  std::function<void(uint64_t now)> tick;  // called at every AcquireFrame

  // Record.
  int opens = 0, recreates = 0, acquires = 0;
  uint64_t lastImage = 0;  // time of the last new image handed out
  std::vector<uint32_t> waits;

  bool Open(const std::wstring&) override {
    ++opens;
    return openOk;
  }
  bool Recreate() override {
    ++recreates;
    if (recreateOk && generationAtRecreate != 0) {
      generation = generationAtRecreate;
      generationAtRecreate = 0;
    }
    return recreateOk;
  }
  CaptureResult AcquireFrame(uint32_t timeoutMs) override {
    ++acquires;
    waits.push_back(timeoutMs);
    if (tick) tick(clock_.Now());
    if (!queued.empty()) {
      const CaptureResult r = queued.front();
      queued.pop_front();
      clock_.Advance(1000);
      return r;
    }
    const uint64_t now = clock_.Now();
    const uint64_t until = now + uint64_t{timeoutMs} * 1000;
    if (changePeriod != 0) {
      uint64_t next = (lastImage / changePeriod + 1) * changePeriod;
      if (next < changeFrom) next = (changeFrom + changePeriod - 1) / changePeriod * changePeriod;
      if (next <= now) next = now / changePeriod * changePeriod;  // missed images collapse into one
      if (next <= until && next < stillFrom) {
        clock_.AdvanceTo(next);
        lastImage = clock_.Now();
        return CaptureResult::NewImage;
      }
    }
    clock_.AdvanceTo(until);
    return CaptureResult::NothingNew;
  }
  RECT DesktopRect() const override { return desktop; }
  uint32_t Width() const override { return width; }
  uint32_t Height() const override { return height; }
  DisplayRotation Rotation() const override { return rotation; }
  uint32_t DeviceGeneration() const override { return generation; }
  uint64_t AdapterLuid() const override { return 0; }
  ID3D11Device* Device() const override { return device; }
  ID3D11DeviceContext* Context() const override { return deviceContext; }
  ID3D11Texture2D* Texture() const override { return texture; }
  const CapturedPointer& Pointer() const override { return pointer; }

 private:
  TestClock& clock_;
};

// What the counting encoder saw; shared with the test, since the pipeline owns the encoder.
struct EncoderRecord {
  struct Encode {
    uint64_t when = 0;  // the clock at the call, after the pipeline took any key-frame request
    int64_t stamp = 0;
    bool forced = false;
  };
  std::mutex mutex;
  std::vector<Encode> encodes;
  std::vector<uint32_t> bitrates;
  std::vector<VideoEncoder::Config> opened;  // every successful open
  int openCalls = 0;
  int closes = 0;

  std::vector<Encode> Encodes() {
    std::lock_guard lock(mutex);
    return encodes;
  }
};

class CountingEncoder final : public PipelineEncoder {
 public:
  CountingEncoder(TestClock& clock, std::shared_ptr<EncoderRecord> record)
      : clock_(clock), record_(std::move(record)) {}

  bool hevcAvailable = false;
  bool neverOpens = false;
  int failEncodeAt = -1;  // this encode (0-based) fails once

  bool Open(ID3D11Device*, int64_t, uint32_t, uint32_t, DisplayRotation, const VideoEncoder::Config& config) override {
    std::lock_guard lock(record_->mutex);
    ++record_->openCalls;
    if (neverOpens || (config.codec == proto::VideoCodec::Hevc && !hevcAvailable)) return false;
    record_->opened.push_back(config);
    width_ = config.width;
    first_ = true;
    return true;
  }
  bool Encode(ID3D11Texture2D*, int64_t timeMicros, bool forceKeyFrame, std::vector<EncodedFrame>& out) override {
    std::lock_guard lock(record_->mutex);
    if (calls_++ == failEncodeAt) return false;
    const bool key = forceKeyFrame || first_;
    first_ = false;
    record_->encodes.push_back({clock_.Now(), timeMicros, forceKeyFrame});
    EncodedFrame frame;
    frame.timeMicros = timeMicros;
    frame.keyFrame = key;
    frame.data = key ? std::vector<uint8_t>{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00}
                     : std::vector<uint8_t>{0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x00};
    out.push_back(std::move(frame));
    return true;
  }
  void SetBitrate(uint32_t kbps) override {
    std::lock_guard lock(record_->mutex);
    record_->bitrates.push_back(kbps);
  }
  std::vector<uint8_t> SequenceHeader() const override {
    return {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
  }
  void Close() override {
    std::lock_guard lock(record_->mutex);
    ++record_->closes;
    width_ = 0;
    first_ = true;
  }
  uint32_t Width() const override { return width_; }

 private:
  TestClock& clock_;
  std::shared_ptr<EncoderRecord> record_;
  uint32_t width_ = 0;
  int calls_ = 0;
  bool first_ = true;
};

}  // namespace kelm::test
