// File transfer figures through a real session over loopback: 256 MiB each way beside
// raw loopback TCP with 32 KiB writes, and many small files each way.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/host_service.h"
#include "core/text.h"
#include "desktop/file_transfer.h"
#include "support/device_client.h"
#include "support/device_files.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm::bench {
namespace {

constexpr uint64_t kBigFile = 256ull << 20;
constexpr size_t kPiece = 32768;
constexpr size_t kBlock = 1 << 20;  // the big file repeats one random block
constexpr int kSmallFiles = 1000;
constexpr size_t kSmallFile = 4096;
constexpr uint64_t kDeviceAckEvery = 65536;

std::string RandomBlock(size_t n) {
  std::mt19937_64 random(42);
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = random();
    for (int k = 0; k < 8; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

// The device's end of the connection, reading ahead as an app's buffered stream does,
// so the figures measure the host rather than one socket call per record header.
class BufferedDeviceStream : public ByteStream {
 public:
  explicit BufferedDeviceStream(SOCKET s) : socket_(s), buffer_(256 * 1024) {}
  ~BufferedDeviceStream() override { closesocket(socket_); }
  bool ReadExact(void* data, size_t size) override {
    auto* out = static_cast<uint8_t*>(data);
    while (size > 0) {
      if (begin_ == end_) {
        const int got = recv(socket_, reinterpret_cast<char*>(buffer_.data()), static_cast<int>(buffer_.size()), 0);
        if (got <= 0) return false;
        begin_ = 0;
        end_ = static_cast<size_t>(got);
      }
      const size_t n = std::min(size, end_ - begin_);
      std::memcpy(out, buffer_.data() + begin_, n);
      begin_ += n;
      out += n;
      size -= n;
    }
    return true;
  }
  bool Write(const void* data, size_t size) override {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
      const int sent = send(socket_, p, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
      if (sent <= 0) return false;
      p += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }
  void SetReadTimeout(uint32_t ms) override {
    const DWORD value = ms;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
  }
  void Shutdown() override { shutdown(socket_, SD_BOTH); }

 private:
  SOCKET socket_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;
};

std::unique_ptr<ByteStream> ConnectDevice(uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return nullptr;
  }
  const BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  auto stream = std::make_unique<BufferedDeviceStream>(s);
  stream->SetReadTimeout(30000);
  return stream;
}

std::string Tag() { return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()); }

// A host service and one connected, ready device.
struct Link {
  HostService host;
  HostOptions options;
  test::DeviceIdentity identity;
  std::unique_ptr<ByteStream> stream;
  std::unique_ptr<test::DeviceClient> client;
  std::mutex mutex;
  std::condition_variable cv;
  size_t events = 0;
  size_t failedEvents = 0;

  std::string Open() {
    std::string error;
    if (!host.Initialize(error)) return error;
    host.SetPinAlwaysValid(true);
    host.SetOnTransfer([this](const std::string&, const TransferEvent& e) {
      {
        std::lock_guard lock(mutex);
        ++events;
        if (e.result != 0) ++failedEvents;
      }
      cv.notify_all();
    });
    options.port = FreeLoopbackPort();
    options.name = "Bench PC";
    options.pin = kBenchPin;
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.keepAwake = false;
    options.forwardNotifications = false;
    if (!host.Start(options)) return "the host service did not start";
    stream = ConnectDevice(options.port);
    if (!stream) return "no connection";
    client = std::make_unique<test::DeviceClient>(*stream);
    test::HandshakeOptions ho;
    ho.pairing = test::PairingCode{0, 0, kBenchPinText};
    if (client->Handshake(identity, ho).admissionResult != 0) return "not admitted";
    if (!client->SendRecord(1, test::BuildHello({}))) return "no Hello";
    uint8_t type = 0;
    test::Bytes payload;
    if (!client->ReadRecord(type, payload) || type != 2) return "no Welcome";
    for (int i = 0; i < 400 && host.GetStatus().sessions.empty(); ++i) Sleep(10);
    if (host.GetStatus().sessions.empty()) return "the session never became ready";
    return {};
  }
  ~Link() {
    client.reset();
    stream.reset();
    host.Shutdown();
  }
  size_t Events() {
    std::lock_guard lock(mutex);
    return events;
  }
  size_t FailedEvents() {
    std::lock_guard lock(mutex);
    return failedEvents;
  }
  // Keeps the session's read time-out from ending it between phases.
  void Ping() { client->SendRecord(30, test::Bytes(8, 0)); }
  bool WaitForEvents(size_t n) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(120), [&] { return events >= n; });
  }
};

// Counts final acknowledgements (any non-zero flags) until `files` have arrived;
// false when one of them was not flag 2 or the stream broke.
bool ReadFinalAcks(test::DeviceClient& client, int files) {
  int finals = 0;
  bool allSaved = true;
  uint8_t type = 0;
  test::Bytes payload;
  while (finals < files && client.ReadRecord(type, payload)) {
    if (type != test::kFileAck) continue;
    const auto ack = test::ParseFileAckBytes(payload);
    if (!ack || ack->flags == 0) continue;
    ++finals;
    allSaved = allSaved && ack->flags == test::kAckFlagSaved;
  }
  return finals == files && allSaved;
}

// Device to PC: MB/s of one big file, from FileBegin to the saved acknowledgement.
double ReceiveBig(Link& link, const std::string& block, std::string& error) {
  const std::string name = "bench-" + Tag() + ".bin";
  const std::wstring path = TransferFolder() + L"\\" + Utf8ToWide(name);
  bool saved = false;
  Stopwatch watch;
  std::thread reader([&] { saved = ReadFinalAcks(*link.client, 1); });
  bool sent = link.client->SendRecord(test::kFileBegin, test::FileBeginBytes(1, kBigFile, name));
  for (uint64_t at = 0; sent && at < kBigFile; at += kPiece) {
    sent = link.client->SendRecord(test::kFileData, test::FileDataBytes(1, block.data() + at % kBlock, kPiece));
  }
  sent = sent && link.client->SendRecord(test::kFileEnd, test::FileEndBytes(1, 0));
  reader.join();
  const double seconds = watch.Seconds();
  DeleteFileW(path.c_str());
  if (!sent || !saved) {
    error = "the big file from the device was not saved";
    return 0;
  }
  return MegabytesPerSecond(kBigFile, seconds);
}

// Receives `files` files on the device side, acknowledging like a receiver does;
// returns the data bytes seen, or nothing when a file was incomplete.
std::optional<uint64_t> DeviceReceives(test::DeviceClient& client, int files) {
  uint64_t total = 0, expected = 0, got = 0, acked = 0;
  uint32_t id = 0;
  uint8_t type = 0;
  test::Bytes p;
  for (int done = 0; done < files;) {
    if (!client.ReadRecord(type, p)) return std::nullopt;
    if (type == test::kFileBegin && p.size() >= 14) {
      id = p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
      expected = 0;
      for (int i = 0; i < 8; ++i) expected |= uint64_t{p[4 + i]} << (8 * i);
      got = acked = 0;
    } else if (type == test::kFileData && p.size() >= 4) {
      got += p.size() - 4;
      total += p.size() - 4;
      if (got - acked >= kDeviceAckEvery) {
        acked = got;
        if (!client.SendRecord(test::kFileAck, test::FileAckBytes(id, got, 0))) return std::nullopt;
      }
    } else if (type == test::kFileEnd && p.size() >= 4) {
      const bool whole = (p.size() < 5 || p[4] == 0) && got == expected;
      if (!client.SendRecord(test::kFileAck,
                             test::FileAckBytes(id, got, whole ? test::kAckFlagSaved : test::kAckFlagFailed)) ||
          !whole) {
        return std::nullopt;
      }
      ++done;
    }
  }
  return total;
}

// PC to device: MB/s of one big file, from SendFiles to the device's confirmation.
double SendBig(Link& link, const std::wstring& path, std::string& error) {
  const size_t eventsBefore = link.Events();
  Stopwatch watch;
  if (link.host.SendFiles(0, {path}).empty()) {
    error = "no session took the file";
    return 0;
  }
  const auto bytes = DeviceReceives(*link.client, 1);
  const double seconds = watch.Seconds();
  if (!bytes || *bytes != kBigFile || !link.WaitForEvents(eventsBefore + 1)) {
    error = "the big file did not reach the device";
    return 0;
  }
  return MegabytesPerSecond(kBigFile, seconds);
}

double ReceiveSmall(Link& link, std::string& error) {
  const std::string content(kSmallFile, 'x');
  const std::string tag = Tag();
  std::vector<std::wstring> paths;
  bool saved = false;
  Stopwatch watch;
  std::thread reader([&] { saved = ReadFinalAcks(*link.client, kSmallFiles); });
  bool sent = true;
  for (int i = 0; sent && i < kSmallFiles; ++i) {
    const std::string name = "bench-" + tag + "-" + std::to_string(i) + ".bin";
    paths.push_back(TransferFolder() + L"\\" + Utf8ToWide(name));
    sent = test::SendFileFromDevice(*link.client, static_cast<uint32_t>(i + 1), name, content);
  }
  reader.join();
  const double seconds = watch.Seconds();
  for (const auto& p : paths) DeleteFileW(p.c_str());
  if (!sent || !saved) {
    error = "small files from the device were not all saved";
    return 0;
  }
  return kSmallFiles / seconds;
}

double SendSmall(Link& link, const std::vector<std::wstring>& paths, std::string& error) {
  const size_t eventsBefore = link.Events();
  Stopwatch watch;
  if (link.host.SendFiles(0, paths).empty()) {
    error = "no session took the files";
    return 0;
  }
  const auto bytes = DeviceReceives(*link.client, kSmallFiles);
  const bool allEvents = link.WaitForEvents(eventsBefore + kSmallFiles);
  const double seconds = watch.Seconds();
  if (!bytes || *bytes != kSmallFiles * kSmallFile || !allEvents || link.FailedEvents() != 0) {
    error = "small files did not all reach the device";
    return 0;
  }
  return kSmallFiles / seconds;
}

// Raw loopback TCP between two threads of this process: 256 MiB in 32 KiB writes.
double RawTcp(const std::string& block) {
  auto [a, b] = test::LoopbackPair();
  if (!a || !b) return 0;
  Stopwatch watch;
  std::thread writer([&, &a = a] {
    for (uint64_t at = 0; at < kBigFile; at += kPiece) {
      if (!a->Write(block.data() + at % kBlock, kPiece)) return;
    }
  });
  std::vector<char> buffer(kPiece);
  uint64_t got = 0;
  while (got < kBigFile && b->ReadExact(buffer.data(), kPiece)) got += kPiece;
  writer.join();
  return got == kBigFile ? MegabytesPerSecond(kBigFile, watch.Seconds()) : 0;
}

// Raw disk writes into the folder received files go to: 256 MiB in 32 KiB pieces.
double RawDiskWrite(const std::string& block) {
  const std::wstring path = TransferFolder() + L"\\bench-raw-" + Utf8ToWide(Tag()) + L".bin";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  Stopwatch watch;
  bool ok = true;
  for (uint64_t at = 0; ok && at < kBigFile; at += kPiece) {
    DWORD written = 0;
    ok = WriteFile(file, block.data() + at % kBlock, kPiece, &written, nullptr) && written == kPiece;
  }
  CloseHandle(file);
  const double seconds = watch.Seconds();
  DeleteFileW(path.c_str());
  return ok ? MegabytesPerSecond(kBigFile, seconds) : 0;
}

void TransferBench(BenchOut& out) {
  const std::string block = RandomBlock(kBlock);
  const double raw = RawTcp(block);
  if (raw == 0) return out.Fail("transfer: raw loopback TCP failed");
  const double disk = RawDiskWrite(block);
  if (disk == 0) return out.Fail("transfer: raw disk writes failed");
  // Source files first: the session drops a device that stays silent for seconds.
  test::TempDir source;
  const std::wstring big = source.File(L"big.bin");
  {
    HANDLE file = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return out.Fail("transfer: cannot write the source file");
    DWORD written = 0;
    for (uint64_t at = 0; at < kBigFile; at += kBlock) WriteFile(file, block.data(), kBlock, &written, nullptr);
    CloseHandle(file);
  }
  std::vector<std::wstring> small;
  for (int i = 0; i < kSmallFiles; ++i) {
    small.push_back(source.File(L"small-" + std::to_wstring(i) + L".bin"));
    if (!test::WriteFileBytes(small.back(), block.substr(0, kSmallFile))) {
      return out.Fail("transfer: cannot write the small source files");
    }
  }
  Link link;
  if (const std::string error = link.Open(); !error.empty()) return out.Fail("transfer: " + error);
  std::string error;
  const double receive = ReceiveBig(link, block, error);
  if (!error.empty()) return out.Fail("transfer: " + error);
  link.Ping();
  const double send = SendBig(link, big, error);
  if (!error.empty()) return out.Fail("transfer: " + error);
  out.Figure("transfer.receive_256m", receive, "MB/s");
  out.Figure("transfer.send_256m", send, "MB/s");
  out.Figure("transfer.raw_tcp_32k", raw, "MB/s");
  out.Figure("transfer.raw_disk_write_32k", disk, "MB/s");
  out.Figure("transfer.receive_vs_raw", 100 * receive / raw, "%");
  out.Figure("transfer.send_vs_raw", 100 * send / raw, "%");
  link.Ping();
  const double receiveSmall = ReceiveSmall(link, error);
  if (!error.empty()) return out.Fail("transfer: " + error);
  link.Ping();
  const double sendSmall = SendSmall(link, small, error);
  if (!error.empty()) return out.Fail("transfer: " + error);
  out.Figure("transfer.receive_4k_files", receiveSmall, "files/s");
  out.Figure("transfer.send_4k_files", sendSmall, "files/s");
}

TAVRO_BENCH("transfer", TransferBench);

}  // namespace
}  // namespace kelm::bench
