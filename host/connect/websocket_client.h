#pragma once
// A small blocking WebSocket client for UTF-8 text messages over WinHTTP. Close may be
// called from any thread and ends every wait at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kelm {

class WebSocketClient {
 public:
  WebSocketClient();
  // Closes the connection; WinHTTP's handles finish closing on their own afterwards.
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  // Opens "ws://", "wss://", "http://" or "https://" `address`. `receiveTimeoutMs`
  // bounds the server's answer to the upgrade and every later Receive (0 or less:
  // no bound). On failure `error` tells why.
  bool Connect(const std::wstring& address, int32_t receiveTimeoutMs, std::string& error);
  // Waits for the next whole text message of at most `maxBytes` bytes; binary messages
  // are skipped. False on close, error, time-out or an oversize message (the last two
  // leave the connection unusable for receiving). `closeCode` is the peer's close code
  // when the connection ended with a close frame, else 0. One receiving thread at a time.
  bool Receive(std::string& message, uint16_t& closeCode, size_t maxBytes);
  // Sends `text` as one text message; any thread.
  bool Send(std::string_view text);
  // Ends the connection without a close frame; waits in other threads return false.
  // Idempotent, any thread.
  void Close();

  // Everything WinHTTP's callbacks touch; it lives until every handle has reported
  // that it closed, which may be after this object is gone.
  struct State;

  // How many client states are still waiting for handles to finish closing (for tests).
  static size_t LiveStates();

 private:
  std::shared_ptr<State> state_;
  std::mutex sendMutex_;  // one message at a time on the wire
};

}  // namespace kelm
