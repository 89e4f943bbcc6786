// Devices for tests of whole programs: pairs N devices with a running host by PIN (or an
// authenticator code), streams its mirrored screen to each (acknowledging every frame)
// and, with --paint, keeps the screen changing, until the host ends the sessions or --seconds pass. With --receive-into,
// files the PC sends are saved into that folder and confirmed.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/device_client.h"
#include "support/device_files.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace {

using namespace kelm::test;

// The message types as the device knows them (not the host's constants).
constexpr uint8_t kHello = 1;
constexpr uint8_t kWelcome = 2;
constexpr uint8_t kVideoFrame = 4;
constexpr uint8_t kFrameAck = 22;
constexpr uint8_t kPing = 30;
constexpr uint8_t kBye = 40;
constexpr size_t kWelcomeStatus = 6;
constexpr size_t kFrameAckBytes = 8;  // the frame's number and stamp, echoed back
constexpr auto kPingEvery = std::chrono::seconds(2);
constexpr size_t kFileAckEvery = 65536;  // progress acks, as the receiving side sends them
constexpr size_t kFileBeginFixed = 14;   // id 4, size 8, name length 2
constexpr size_t kFileIdBytes = 4;
// How the pairing code was made, as the device's handshake names it.
constexpr uint8_t kPinCode = 0;
constexpr uint8_t kAuthenticatorCode = 1;

struct Options {
  uint16_t port = 0;
  int devices = 1;
  int seconds = 0;  // 0: until the host ends the sessions
  std::string pin = "012345";
  // An authenticator app's code and its 30-second step, sent instead of the PIN when set.
  std::string totp;
  uint64_t totpStep = 0;
  std::string name;  // empty: "Stream tablet N"
  bool paint = false;
  std::wstring receiveInto;  // empty: files from the PC are not taken
};

void Say(const char* format, auto... values) {
  std::printf(format, values...);
  std::printf("\n");
  std::fflush(stdout);
}

class Device {
 public:
  Device(int index, const Options& options) : index_(index), options_(options) {}

  // Connects (retrying while the host comes up), pairs, says Hello and streams.
  void Run(const std::atomic<bool>& stop) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(stream_ = ConnectTcp("127.0.0.1", options_.port)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!stream_) return Fail("could not connect");
    stream_->SetReadTimeout(15000);
    client_ = std::make_unique<DeviceClient>(*stream_);
    HandshakeOptions handshake;
    handshake.name = options_.name.empty() ? "Stream tablet " + std::to_string(index_) : options_.name;
    handshake.pairing = options_.totp.empty() ? PairingCode{kPinCode, 0, options_.pin}
                                              : PairingCode{kAuthenticatorCode, options_.totpStep, options_.totp};
    HandshakeOutcome outcome;
    {
      // One pairing at a time, as people pair tablets: the host charges every code
      // attempt before checking it, so many at once from one address lock it out.
      static std::mutex pairingOneAtATime;
      std::lock_guard lock(pairingOneAtATime);
      outcome = client_->Handshake(identity_, handshake);
    }
    if (!outcome.hostProofValid || outcome.admissionResult != 0) {
      const std::string why = "was not admitted (host proof " + std::string(outcome.hostProofValid ? "valid" : "invalid") +
                              ", admission " + std::to_string(outcome.admissionResult) + ", error " +
                              (outcome.errorCode ? std::to_string(*outcome.errorCode) : "none") + " " +
                              outcome.errorText + outcome.admissionMessage + ")";
      return Fail(why.c_str());
    }
    Bytes payload;
    uint8_t type = 0;
    HelloFields hello;
    if (!options_.name.empty()) hello.name = options_.name;
    if (!Send(kHello, BuildHello(hello)) || !client_->ReadRecord(type, payload) || type != kWelcome ||
        payload.size() <= kWelcomeStatus || payload[kWelcomeStatus] != 0) {
      return Fail("got no Welcome");
    }
    Say("device %d admitted", index_);
    std::thread pinger([this, &stop] {
      auto next = std::chrono::steady_clock::now();
      while (!stop && !ended_) {
        if (std::chrono::steady_clock::now() >= next) {
          if (!Send(kPing, {})) break;
          next += kPingEvery;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (stop && !ended_) {
        Send(kBye, {});
        stream_->Shutdown();
      }
    });
    while (client_->ReadRecord(type, payload)) {
      if (type == kVideoFrame && payload.size() >= kFrameAckBytes) {
        ++frames_;
        Send(kFrameAck, Bytes(payload.begin(), payload.begin() + kFrameAckBytes));
      } else if (!options_.receiveInto.empty()) {
        TakeFilePart(type, payload);
      }
    }
    ended_ = true;
    pinger.join();
  }

  int Frames() const { return frames_; }
  bool Failed() const { return failed_; }

 private:
  bool Send(uint8_t type, const Bytes& payload) {
    std::lock_guard lock(sendMutex_);
    return client_->SendRecord(type, payload);
  }
  static uint64_t ReadLe(const Bytes& in, size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    return v;
  }

  // One file at a time, as the PC sends them: FileBegin, FileData pieces, FileEnd.
  void TakeFilePart(uint8_t type, const Bytes& p) {
    if (type == kFileBegin && p.size() >= kFileBeginFixed) {
      const size_t n = static_cast<size_t>(ReadLe(p, 12, 2));
      if (p.size() < kFileBeginFixed + n) return;
      file_.id = static_cast<uint32_t>(ReadLe(p, 0, 4));
      file_.size = ReadLe(p, 4, 8);
      file_.name.assign(reinterpret_cast<const char*>(p.data() + kFileBeginFixed), n);
      file_.data.clear();
      fileAcked_ = 0;
      fileOpen_ = true;
    } else if (type == kFileData && fileOpen_ && p.size() >= kFileIdBytes && ReadLe(p, 0, 4) == file_.id) {
      file_.data.append(reinterpret_cast<const char*>(p.data() + kFileIdBytes), p.size() - kFileIdBytes);
      if (file_.data.size() - fileAcked_ >= kFileAckEvery) {
        fileAcked_ = file_.data.size();
        Send(kFileAck, FileAckBytes(file_.id, fileAcked_, 0));
      }
    } else if (type == kFileEnd && fileOpen_ && p.size() >= kFileIdBytes && ReadLe(p, 0, 4) == file_.id) {
      fileOpen_ = false;
      const bool whole = (p.size() <= kFileIdBytes || p[kFileIdBytes] == 0) && file_.data.size() == file_.size;
      const bool saved = whole && SaveFile();
      Send(kFileAck, FileAckBytes(file_.id, file_.data.size(), saved ? kAckFlagSaved : kAckFlagFailed));
      Say("device %d received %s (%zu bytes)%s", index_, file_.name.c_str(), file_.data.size(),
          saved ? "" : " but did not keep it");
    }
  }

  bool SaveFile() {
    const int n = MultiByteToWideChar(CP_UTF8, 0, file_.name.data(), static_cast<int>(file_.name.size()), nullptr, 0);
    std::wstring name(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, file_.name.data(), static_cast<int>(file_.name.size()), name.data(), n);
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
    // Written under a temporary name and moved, so a watcher never sees half a file.
    const std::wstring path = options_.receiveInto + L"\\" + name;
    const std::wstring partial = path + L".partial";
    if (!WriteFileBytes(partial, file_.data)) return false;
    return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  void Fail(const char* what) {
    failed_ = true;
    Say("device %d %s", index_, what);
  }

  int index_;
  const Options& options_;
  DeviceIdentity identity_;
  std::unique_ptr<TestTcpStream> stream_;
  std::unique_ptr<DeviceClient> client_;
  std::mutex sendMutex_;
  FileFromPc file_;
  bool fileOpen_ = false;
  size_t fileAcked_ = 0;
  std::atomic<int> frames_{0};
  std::atomic<bool> ended_{false};
  bool failed_ = false;
};

// A window over part of the screen whose colour changes every 40 ms, so the mirrored
// screen always has something new to encode.
void PaintUntil(const std::atomic<bool>& done) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"tavroStreamDevicesPaint";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"changing", WS_POPUP | WS_VISIBLE, 0, 0, 640, 480,
                                nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return;
  for (unsigned step = 0; !done; ++step) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    HDC dc = GetDC(window);
    HBRUSH brush = CreateSolidBrush(RGB(step * 37 % 256, step * 11 % 256, step * 73 % 256));
    RECT area{0, 0, 640, 480};
    FillRect(dc, &area, brush);
    DeleteObject(brush);
    ReleaseDC(window, dc);
    Sleep(40);
  }
  DestroyWindow(window);
}

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == L"--port" && hasValue) {
      o.port = static_cast<uint16_t>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--devices" && hasValue) {
      o.devices = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
    } else if (a == L"--seconds" && hasValue) {
      o.seconds = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
    } else if (a == L"--pin" && hasValue) {
      const std::wstring pin = argv[++i];
      o.pin.assign(pin.begin(), pin.end());
    } else if (a == L"--totp" && hasValue) {
      const std::wstring code = argv[++i];
      o.totp.assign(code.begin(), code.end());
    } else if (a == L"--step" && hasValue) {
      o.totpStep = std::wcstoull(argv[++i], nullptr, 10);
    } else if (a == L"--name" && hasValue) {
      const std::wstring name = argv[++i];
      o.name.assign(name.begin(), name.end());
    } else if (a == L"--receive-into" && hasValue) {
      o.receiveInto = argv[++i];
    } else if (a == L"--paint") {
      o.paint = true;
    } else {
      return false;
    }
  }
  return o.port != 0 && o.devices >= 1 && o.devices <= 16;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: stream_devices --port P [--devices N] [--seconds S] [--pin CODE | --totp CODE --step N] [--name ASCII] [--paint] [--receive-into DIR]\n");
    return 2;
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> allEnded{false};
  std::thread painter;
  if (options.paint) painter = std::thread([&] { PaintUntil(allEnded); });

  std::vector<std::unique_ptr<Device>> devices;
  std::vector<std::thread> threads;
  for (int i = 0; i < options.devices; ++i) {
    devices.push_back(std::make_unique<Device>(i + 1, options));
    threads.emplace_back([&stop, d = devices.back().get()] { d->Run(stop); });
  }
  // One line once every device has a picture, for the caller to wait on.
  const auto started = std::chrono::steady_clock::now();
  bool announced = false;
  std::atomic<int> running{options.devices};
  std::thread watcher([&] {
    for (std::thread& t : threads) t.join();
    running = 0;
  });
  while (running != 0) {
    int streaming = 0;
    for (const auto& d : devices) streaming += d->Frames() > 0 ? 1 : 0;
    if (!announced && streaming == options.devices) {
      Say("streaming %d devices", streaming);
      announced = true;
    }
    if (options.seconds > 0 && std::chrono::steady_clock::now() - started > std::chrono::seconds(options.seconds)) {
      stop = true;
    }
    Sleep(100);
  }
  watcher.join();
  allEnded = true;
  if (painter.joinable()) painter.join();

  bool ok = true;
  std::string counts;
  for (const auto& d : devices) {
    counts += " " + std::to_string(d->Frames());
    ok = ok && !d->Failed() && d->Frames() > 0;
  }
  Say("frames%s", counts.c_str());
  return ok ? 0 : 1;
}
