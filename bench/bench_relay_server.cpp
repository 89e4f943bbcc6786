// The benchmarks' relay server: HTTP upgrade with the RFC 6455 accept key, unmasked
// frames out, masked frames in.
#include "bench_relay_server.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "core/encoding.h"

namespace kelm::bench {
namespace {

constexpr char kWebSocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr uint8_t kOpText = 0x1;
constexpr uint8_t kOpClose = 0x8;
const BCRYPT_ALG_HANDLE kSha1 = reinterpret_cast<BCRYPT_ALG_HANDLE>(0x31);  // the SHA-1 pseudo-handle

bool ReadAll(SOCKET s, void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    const int got = recv(s, p, static_cast<int>(n), 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool SendAll(SOCKET s, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const int sent = send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
    if (sent <= 0) return false;
    at += static_cast<size_t>(sent);
  }
  return true;
}

std::string Frame(uint8_t opcode, const std::string& payload) {
  std::string f(1, static_cast<char>(0x80 | opcode));
  if (payload.size() < 126) {
    f += static_cast<char>(payload.size());
  } else if (payload.size() < 65536) {
    f += static_cast<char>(126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xFF);
  } else {
    f += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
  }
  return f + payload;
}

// One whole message (fragments joined); false on close or error.
bool ReadMessage(SOCKET s, uint8_t& opcode, std::string& text) {
  text.clear();
  for (;;) {
    uint8_t head[2];
    if (!ReadAll(s, head, 2)) return false;
    uint64_t length = head[1] & 0x7F;
    if (length == 126) {
      uint8_t ext[2];
      if (!ReadAll(s, ext, 2)) return false;
      length = (ext[0] << 8) | ext[1];
    } else if (length == 127) {
      uint8_t ext[8];
      if (!ReadAll(s, ext, 8)) return false;
      length = 0;
      for (uint8_t b : ext) length = (length << 8) | b;
    }
    if (length > (1u << 20)) return false;
    uint8_t mask[4] = {};
    if ((head[1] & 0x80) != 0 && !ReadAll(s, mask, 4)) return false;
    std::string payload(static_cast<size_t>(length), '\0');
    if (length != 0 && !ReadAll(s, payload.data(), payload.size())) return false;
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);
    const uint8_t op = head[0] & 0x0F;
    if (op != 0) opcode = op;
    text += payload;
    if ((head[0] & 0x80) != 0) return opcode != kOpClose;
  }
}

std::string AcceptKey(const std::string& key) {
  const std::string input = key + kWebSocketGuid;
  std::array<uint8_t, 20> digest{};
  if (BCryptHash(kSha1, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(input.data())),
                 static_cast<ULONG>(input.size()), digest.data(), static_cast<ULONG>(digest.size())) != 0) {
    return {};
  }
  return Base64Encode(digest);
}

}  // namespace

BenchRelayServer::~BenchRelayServer() {
  stopping_ = true;
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  {
    std::lock_guard lock(mutex_);
    if (pc_ != INVALID_SOCKET) shutdown(pc_, SD_BOTH);
  }
  if (thread_.joinable()) thread_.join();
}

bool BenchRelayServer::Start() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;  // kept for the process, like the device's
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof a;
  if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    return false;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void BenchRelayServer::AcceptLoop() {
  while (!stopping_) {
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;
    const BOOL noDelay = TRUE;  // small frames go out at once, as a relay server's would
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    Serve(s);
    closesocket(s);
  }
}

void BenchRelayServer::Serve(SOCKET s) {
  std::string request;
  char c = 0;
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
    if (!ReadAll(s, &c, 1)) return;
    request += c;
  }
  std::string key;
  for (const char* name : {"Sec-WebSocket-Key: ", "sec-websocket-key: "}) {
    const size_t at = request.find(name);
    if (at != std::string::npos) {
      const size_t start = at + strlen(name);
      key = request.substr(start, request.find("\r\n", start) - start);
    }
  }
  if (key.empty() || !SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Accept: " + AcceptKey(key) + "\r\n\r\n")) {
    return;
  }
  uint8_t op = 0;
  std::string text;
  if (!SendAll(s, Frame(kOpText, R"({"nonce":"bench-nonce","type":"challenge"})")) || !ReadMessage(s, op, text) ||
      !SendAll(s, Frame(kOpText, R"({"iceServers":)" + readyIceServers_ + R"(,"type":"ready"})"))) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    pc_ = s;
    ++signIns_;
  }
  changed_.notify_all();
  while (ReadMessage(s, op, text)) {
    if (op != kOpText || text == R"({"type":"ping"})") continue;
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  pc_ = INVALID_SOCKET;
  changed_.notify_all();
}

bool BenchRelayServer::SendToPc(const std::string& text) {
  std::lock_guard lock(mutex_);
  return pc_ != INVALID_SOCKET && SendAll(pc_, Frame(kOpText, text));
}

std::optional<std::string> BenchRelayServer::NextFromPc(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !texts_.empty(); })) {
    return std::nullopt;
  }
  std::string text = std::move(texts_.front());
  texts_.pop_front();
  return text;
}

bool BenchRelayServer::WaitSignIns(int count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return signIns_ >= count && pc_ != INVALID_SOCKET; });
}

bool BenchRelayServer::WaitOnline(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return pc_ != INVALID_SOCKET; });
}

}  // namespace kelm::bench
