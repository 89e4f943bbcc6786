#pragma once
// The test end of the WebView2 double's link: a listening socket on 127.0.0.1 whose port
// the double reads from TAVRO_WEBVIEW2_DOUBLE_PORT, and the JSON lines both ways. While
// waiting it pumps the calling thread's messages, so a double loaded in-process gets its
// completions and events delivered.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelm::testing {

class WebView2DoubleDriver {
 public:
  using json = nlohmann::json;

  // `hello` is the first line the double gets: {"hello":1}, or {"fail":hresult} to make
  // environment creation fail.
  explicit WebView2DoubleDriver(json hello = {{"hello", 1}}) : hello_(std::move(hello)) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener_, 4);
    int len = sizeof at;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);
    // The double reads its first line inside the export call that connects, on the
    // caller's thread: it is accepted and greeted here, whatever that thread does.
    acceptor_ = std::thread([this] {
      const SOCKET peer = accept(listener_, nullptr, nullptr);
      if (peer == INVALID_SOCKET) return;
      const std::string text = hello_.dump() + "\n";
      send(peer, text.data(), static_cast<int>(text.size()), 0);
      peer_ = peer;
    });
  }
  ~WebView2DoubleDriver() {
    closesocket(listener_);
    acceptor_.join();
    if (peer_ != INVALID_SOCKET) closesocket(peer_);
  }
  WebView2DoubleDriver(const WebView2DoubleDriver&) = delete;
  WebView2DoubleDriver& operator=(const WebView2DoubleDriver&) = delete;

  uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  bool Connected() const { return peer_ != INVALID_SOCKET; }

  void Write(const json& line) {
    const std::string text = line.dump() + "\n";
    send(peer_, text.data(), static_cast<int>(text.size()), 0);
  }
  // The next line that `match` accepts within `timeout`; a null value when none came.
  json WaitFor(const std::function<bool(const json&)>& match,
               std::chrono::milliseconds timeout = std::chrono::seconds(20), bool failOnTimeout = true) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        json line = json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        seen_.push_back(line);
        if (match(line)) return line;
      }
      if (std::chrono::steady_clock::now() >= until) break;
      Pump();
      Receive();
    }
    if (failOnTimeout) ADD_FAILURE() << "no matching line from the WebView2 double";
    return json();
  }
  json WaitCall(const std::string& name) {
    return WaitFor([&](const json& l) { return l.value("call", "") == name; });
  }
  json WaitPost(const std::string& type, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return WaitFor([&](const json& l) { return l.contains("post") && l["post"].value("type", "") == type; }, timeout)
        .value("post", json());
  }
  // Everything the double did before this point has been read: it answers pings in order.
  void Settle() {
    const int n = ++ping_;
    Write({{"ping", n}});
    WaitFor([&](const json& l) { return l.value("call", "") == "pong" && l.value("ping", 0) == n; });
  }
  // Lines seen since `from` (an index into Seen()) that `match` accepts.
  std::vector<json> SeenSince(size_t from, const std::function<bool(const json&)>& match) const {
    std::vector<json> out;
    for (size_t i = from; i < seen_.size(); ++i)
      if (match(seen_[i])) out.push_back(seen_[i]);
    return out;
  }
  static bool IsPost(const json& l) { return l.contains("post"); }
  const std::vector<json>& Seen() const { return seen_; }

 private:
  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  void Receive() {
    const SOCKET peer = peer_;
    if (peer == INVALID_SOCKET) {
      Sleep(5);
      return;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(peer, &ready);
    timeval wait{0, 5000};
    if (select(0, &ready, nullptr, nullptr, &wait) <= 0) return;
    char chunk[65536];
    const int n = recv(peer, chunk, sizeof chunk, 0);
    if (n > 0) {
      buffer_.append(chunk, n);
    } else {
      Sleep(5);
    }
  }

  json hello_;
  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<SOCKET> peer_{INVALID_SOCKET};
  std::thread acceptor_;
  uint16_t port_ = 0;
  int ping_ = 0;
  std::string buffer_;
  std::vector<json> seen_;
};

}  // namespace kelm::testing
