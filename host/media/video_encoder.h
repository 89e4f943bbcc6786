#pragma once
// Encodes captured BGRA Direct3D 11 textures to H.264 or HEVC with a Media
// Foundation encoder: GPU colour conversion, hardware encoder first, software after.
#include <windows.h>
#include <codecapi.h>
#include <icodecapi.h>
#include <d3d11_1.h>
#include <mfidl.h>
#include <mftransform.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "media/capture_rotation.h"
#include "media/com_ptr.h"
#include "media/cpu_nv12_converter.h"
#include "media/encoded_frame.h"
#include "media/mft_event_queue.h"

namespace kelm {

// One encoder transform that could be used, as the system (or a test) offers it.
struct EncoderCandidate {
  std::string name;                      // empty when the transform has none
  std::optional<int64_t> adapterLuid;    // hardware encoders name their adapter
  std::function<HRESULT(IMFTransform**)> activate;
  // Releases what activation made. An activation object keeps its transform (and the
  // encoder's picture buffers) alive until it is shut down, even after our last reference.
  std::function<void()> shutdown;
};
// The candidates of one kind (hardware or software) for NV12 input and `codec`.
using EncoderCandidateSource = std::function<std::vector<EncoderCandidate>(bool hardware, proto::VideoCodec codec)>;
// Media Foundation's registered encoders (MFTEnumEx), in the system's order.
std::vector<EncoderCandidate> SystemEncoderCandidates(bool hardware, proto::VideoCodec codec);

class VideoEncoder {
 public:
  struct Config {
    uint32_t width = 1920;
    uint32_t height = 1080;
    uint32_t fps = 60;
    uint32_t bitrateKbps = 20000;
    proto::VideoCodec codec = proto::VideoCodec::H264;
  };

  VideoEncoder() = default;
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // `rotation` is the captured output's (unspecified counts as none).
  bool Open(ID3D11Device* device, int64_t adapterLuid, uint32_t sourceWidth, uint32_t sourceHeight,
            DisplayRotation rotation, const Config& config);
  // Appends zero or more frames to `out`; false on a failure that needs a restart.
  bool Encode(ID3D11Texture2D* frame, int64_t timeMicros, bool forceKeyFrame, std::vector<EncodedFrame>& out);
  void SetBitrate(uint32_t kbps);
  // The parameter sets of the current output type; empty when unknown.
  std::vector<uint8_t> SequenceHeader() const;
  void Close();

  uint32_t Width() const { return transform_ ? width_ : 0; }
  uint32_t Height() const { return height_; }
  uint32_t Fps() const { return fps_; }
  uint32_t BitrateKbps() const { return bitrateKbps_; }
  bool Hardware() const { return hardware_; }
  bool Async() const { return async_; }
  bool GpuInput() const { return gpuInput_; }
  // True while the CPU stands in for a missing GPU video processor.
  bool CpuConversion() const { return cpuConversion_; }

  // Replaces where encoders come from (tests offer transforms of their own).
  void SetCandidateSource(EncoderCandidateSource source) { candidates_ = std::move(source); }

 private:
  static constexpr size_t kRing = 4;

  // Row pitch of NV12 input in memory: the width rounded up to 4 bytes, the layout
  // GStreamer-based encoders (Wine's) assume whatever stride the media type states.
  uint32_t InputStride() const { return (width_ + 3) & ~3u; }
  bool BuildConverter();
  bool BuildGpuConverter(HRESULT& missing);
  bool BuildCpuConverter();
  void DropGpuConverter();
  bool Activate(bool hardware, int64_t adapterLuid);
  bool Configure();
  bool SetOutputType();
  bool SetInputType();
  void SetCodecValue(const GUID& api, uint32_t value);
  void ShutDownTransform();
  bool Convert(ID3D11Texture2D* frame, ComPtr<IMFSample>& sample, int64_t timeMicros);
  bool MakeGpuSample(ID3D11Texture2D* nv12, ComPtr<IMFSample>& sample);
  bool MakeMemorySample(ID3D11Texture2D* frame, ID3D11Texture2D* nv12, ComPtr<IMFSample>& sample);
  bool EncodeSync(IMFSample* sample, std::vector<EncodedFrame>& out);
  bool EncodeAsync(IMFSample* sample, std::vector<EncodedFrame>& out);
  bool HandleEvent(uint32_t type, std::vector<EncodedFrame>& out);
  HRESULT CollectOutput(std::vector<EncodedFrame>& out, bool& produced);
  bool ForceKeyFrameByRestart(std::vector<EncodedFrame>& out);

  // Settings
  uint32_t width_ = 1920, height_ = 1080, fps_ = 60, bitrateKbps_ = 20000;
  proto::VideoCodec codec_ = proto::VideoCodec::H264;
  uint32_t sourceWidth_ = 0, sourceHeight_ = 0;
  DisplayRotation rotation_ = DisplayRotation::Identity;
  // Active encoder
  bool hardware_ = false;
  bool async_ = false;
  bool gpuInput_ = false;
  bool cpuConversion_ = false;
  bool forceKeySupported_ = false;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11VideoDevice> videoDevice_;
  ComPtr<ID3D11VideoContext> videoContext_;
  ComPtr<ID3D11VideoProcessorEnumerator> processorEnum_;
  ComPtr<ID3D11VideoProcessor> processor_;
  ComPtr<ID3D11Texture2D> inputTexture_;
  ComPtr<ID3D11VideoProcessorInputView> inputView_;
  std::array<ComPtr<ID3D11Texture2D>, kRing> nv12Textures_;
  std::array<ComPtr<ID3D11VideoProcessorOutputView>, kRing> outputViews_;
  uint32_t ringIndex_ = 0;
  ComPtr<ID3D11Texture2D> stagingTexture_;      // NV12, CPU-readable (software path)
  ComPtr<ID3D11Texture2D> bgraStagingTexture_;  // BGRA, CPU-readable (CPU conversion)
  CpuNv12Converter cpuConverter_;
  const char* missingStep_ = "";  // the GPU step that answered "not offered"
  UINT resetToken_ = 0;
  ComPtr<IMFDXGIDeviceManager> deviceManager_;
  ComPtr<IMFTransform> transform_;
  std::function<void()> shutdownActivation_;  // the chosen candidate's shutdown, after the transform's
  ComPtr<ICodecAPI> codecApi_;
  ComPtr<MftEventQueue> events_;
  DWORD outputStreamId_ = 0, inputStreamId_ = 0;
  uint32_t inputRequests_ = 0;
  std::optional<int64_t> streamStartMicros_;  // first input time of the current stream
  bool rebasePending_ = false;
  LONGLONG timeOffset_ = 0;  // added to output sample times (100 ns)
  ComPtr<IMFSample> outputSample_;  // reused for encoders that want ours
  DWORD outputSampleSize_ = 0;
  EncoderCandidateSource candidates_ = SystemEncoderCandidates;
};

}  // namespace kelm
