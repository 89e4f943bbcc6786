// The test stand-in for the lock agent: pipe server, frame writer and input recorder.
#include "support/fake_lock_agent.h"

#include <cstdio>
#include <cstring>

#include "support/test_pipe.h"

namespace kelm::test {
namespace {

uint64_t NowQpcMicros() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<uint64_t>(c.QuadPart / f.QuadPart * 1000000 + c.QuadPart % f.QuadPart * 1000000 / f.QuadPart);
}

// One overlapped transfer of all `size` bytes; ends early (false) when `stop` is set.
bool Transfer(HANDLE pipe, bool write, uint8_t* data, size_t size, HANDLE stop) {
  WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  size_t done = 0;
  while (done < size) {
    OVERLAPPED ov{};
    ov.hEvent = event.Get();
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1 << 22));
    const BOOL ok = write ? WriteFile(pipe, data + done, piece, nullptr, &ov)
                          : ReadFile(pipe, data + done, piece, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    const HANDLE waits[2] = {event.Get(), stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &ov);
      DWORD ignored = 0;
      GetOverlappedResult(pipe, &ov, &ignored, TRUE);
      return false;
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(pipe, &ov, &moved, TRUE) || moved == 0) return false;
    done += moved;
  }
  return true;
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

}  // namespace

std::vector<uint8_t> FakeLockAgent::BarsFrame(uint32_t width, uint32_t height) {
  // B, G, R, A per bar.
  const uint8_t colours[5][4] = {{255, 255, 255, 255}, {0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255},
                                 {0, 0, 0, 255}};
  std::vector<uint8_t> row(size_t{width} * 4);
  for (uint32_t x = 0; x < width; ++x) std::memcpy(&row[size_t{x} * 4], colours[x * 5 / width], 4);
  std::vector<uint8_t> pixels;
  pixels.reserve(row.size() * height);
  for (uint32_t y = 0; y < height; ++y) pixels.insert(pixels.end(), row.begin(), row.end());
  return pixels;
}

bool FakeLockAgent::Start(Options options) {
  options_ = std::move(options);
  silent_ = options_.silent;
  stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  connectionEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  readingEvent_.Reset(CreateEventW(nullptr, TRUE, options_.reading, nullptr));
  pipe_ = CreateLockPipeServer(options_.pipeName, options_.systemOwned);
  if (!pipe_) return false;

  const std::vector<uint8_t> pixels = BarsFrame(options_.width, options_.height);
  const uint32_t length = static_cast<uint32_t>(1 + 8 + pixels.size());
  message_.resize(5 + 8);
  std::memcpy(message_.data(), &length, 4);
  message_[4] = 1;
  std::memcpy(message_.data() + 5, &options_.width, 4);
  std::memcpy(message_.data() + 9, &options_.height, 4);
  message_.insert(message_.end(), pixels.begin(), pixels.end());
  server_ = std::thread([this] { Serve(); });
  return true;
}

void FakeLockAgent::Stop() {
  if (!server_.joinable()) return;
  SetEvent(stopEvent_.Get());
  SetEvent(connectionEvent_.Get());
  server_.join();
  pipe_.Reset();
}

void FakeLockAgent::SetReading(bool reading) {
  if (reading) {
    SetEvent(readingEvent_.Get());
  } else {
    ResetEvent(readingEvent_.Get());
  }
}

void FakeLockAgent::Disconnect() { SetEvent(connectionEvent_.Get()); }

void FakeLockAgent::Print(const std::string& line) {
  if (options_.onLine) options_.onLine(line);
}

void FakeLockAgent::Serve() {
  while (WaitForSingleObject(stopEvent_.Get(), 0) != WAIT_OBJECT_0) {
    WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.Get();
    bool connected = ConnectNamedPipe(pipe_.Get(), &ov) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && GetLastError() == ERROR_IO_PENDING) {
      const HANDLE waits[2] = {event.Get(), stopEvent_.Get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.Get(), &ov);
        DWORD ignored = 0;
        GetOverlappedResult(pipe_.Get(), &ov, &ignored, TRUE);
        return;
      }
      DWORD ignored = 0;
      connected = GetOverlappedResult(pipe_.Get(), &ov, &ignored, FALSE) != FALSE;
    }
    if (!connected) {
      Sleep(50);
      continue;
    }
    ServeHost();
    DisconnectNamedPipe(pipe_.Get());
  }
}

void FakeLockAgent::ServeHost() {
  ResetEvent(connectionEvent_.Get());
  ++connections_;
  hostConnected_ = true;
  Print("connected");
  reader_ = std::thread([this] { ReadInput(); });
  const DWORD interval = 1000 / std::max<uint32_t>(options_.fps, 1);
  while (WaitForSingleObject(connectionEvent_.Get(), options_.onDemand ? INFINITE : interval) == WAIT_TIMEOUT) {
    if (silent_) continue;
    if (!WriteFrame()) break;
  }
  hostConnected_ = false;
  SetEvent(connectionEvent_.Get());
  CancelIoEx(pipe_.Get(), nullptr);
  reader_.join();
  Print("disconnected");
}

bool FakeLockAgent::WriteFrame() {
  std::lock_guard lock(writeMutex_);
  if (!Transfer(pipe_.Get(), true, message_.data(), message_.size(), connectionEvent_.Get())) return false;
  const uint64_t n = ++framesWritten_;
  if (options_.onFrameWritten) options_.onFrameWritten(n, NowQpcMicros());
  return true;
}

bool FakeLockAgent::WriteOneFrame() {
  if (!hostConnected_) return false;
  if (WriteFrame()) return true;
  SetEvent(connectionEvent_.Get());
  return false;
}

void FakeLockAgent::ReadInput() {
  const HANDLE stop = connectionEvent_.Get();
  for (;;) {
    const HANDLE waits[2] = {stop, readingEvent_.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    uint8_t header[5];
    if (!Transfer(pipe_.Get(), false, header, 5, stop)) break;
    const uint32_t length = Le32(header);
    if (length == 0 || length > 65536) break;  // the agent's own limit for input
    std::vector<uint8_t> body(length - 1);
    if (!body.empty() && !Transfer(pipe_.Get(), false, body.data(), body.size(), stop)) break;
    std::string line = header[4] == 2 ? "input" : "message " + std::to_string(header[4]);
    for (const uint8_t b : body) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", b);
      line += hex;
    }
    {
      std::lock_guard lock(inputMutex_);
      if (header[4] == 2) {
        inputs_.push_back({connections_.load(), std::move(body)});
      } else {
        otherTypes_.push_back(header[4]);
      }
    }
    Print(line);
  }
  // The host went away or sent what an agent refuses: the connection ends.
  SetEvent(stop);
}

std::vector<std::vector<uint8_t>> FakeLockAgent::Inputs() const {
  std::lock_guard lock(inputMutex_);
  std::vector<std::vector<uint8_t>> bodies;
  for (const Input& input : inputs_) bodies.push_back(input.body);
  return bodies;
}

std::vector<FakeLockAgent::Input> FakeLockAgent::InputsByConnection() const {
  std::lock_guard lock(inputMutex_);
  return inputs_;
}

std::vector<uint8_t> FakeLockAgent::OtherTypes() const {
  std::lock_guard lock(inputMutex_);
  return otherTypes_;
}

}  // namespace kelm::test
