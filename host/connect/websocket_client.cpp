// WebSocket client over asynchronous WinHTTP: every call starts one operation and
// waits for its completion with the client's own time-out, so that Close and
// time-outs end waits the same way on every WinHTTP.
#include "connect/websocket_client.h"

#include <windows.h>
#include <winhttp.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <format>
#include <optional>
#include <utility>
#include <vector>

#include "core/text.h"
#include "core/unique_any.h"

namespace kelm {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kUserAgent[] = L"tavro";
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 2048;
constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 10000;
// Sending the upgrade request covers name resolution, connecting and sending.
constexpr int kSendRequestWaitMs = kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs;
constexpr DWORD kReceiveBufferBytes = 16384;
constexpr DWORD kHttpSwitchingProtocols = 101;
constexpr DWORD kCannotConnect = 12029;     // ERROR_WINHTTP_CANNOT_CONNECT
constexpr DWORD kNameNotResolved = 12007;   // ERROR_WINHTTP_NAME_NOT_RESOLVED
constexpr DWORD kTimedOut = 12002;          // ERROR_WINHTTP_TIMEOUT
constexpr DWORD kOperationCancelled = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED
constexpr DWORD kIncorrectHandleState = 12019;  // ERROR_WINHTTP_INCORRECT_HANDLE_STATE
constexpr DWORD kCloseReasonBytes = WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH;
constexpr DWORD kCallbackEvents = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING;

std::atomic<size_t> liveStates{0};

// A WinHTTP handle (session, connection, request or WebSocket), closed once.
using WinHttpHandle = UniqueAny<HINTERNET, &WinHttpCloseHandle>;

// One asynchronous operation: armed before it starts, completed by the callback.
struct Operation {
  bool pending = false;
  bool done = false;
  DWORD error = 0;
  DWORD bytes = 0;
  WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferType = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;

  void Arm() { *this = Operation{.pending = true}; }
  void Complete(DWORD err, DWORD count = 0,
                WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
    if (!pending) return;  // a late completion of an abandoned operation
    pending = false;
    done = true;
    error = err;
    bytes = count;
    bufferType = type;
  }
};

enum class WaitResult { Done, Closed, TimedOut };

}  // namespace

struct WebSocketClient::State : std::enable_shared_from_this<State> {
  State() { ++liveStates; }
  ~State() { --liveStates; }

  // Held around every use of a handle value and around closing it, so no call ever
  // gets a value that was freed (WinHTTP reuses small values). WinHTTP may call the
  // callback inside these calls, so the callback never takes this mutex.
  std::mutex handleMutex;
  WinHttpHandle session;
  WinHttpHandle connection;
  WinHttpHandle request;
  WinHttpHandle socket;

  // Guards everything below; never held while calling WinHTTP.
  std::mutex mutex;
  std::condition_variable changed;
  bool closed = false;
  bool receiveFailed = false;  // mid-message or still pending: no later receive can follow
  bool sendFailed = false;     // a send still pending after its time-out owns the buffer
  int openHandles = 0;
  std::shared_ptr<State> self;  // keeps the state alive while any handle is open
  Operation receive;            // the upgrade steps, then receives
  Operation send;
  int32_t receiveTimeoutMs = 0;

  // Buffers WinHTTP writes or reads after the call that started the operation returned.
  std::vector<uint8_t> receiveBuffer = std::vector<uint8_t>(kReceiveBufferBytes);
  std::string sendBuffer;
  DWORD unusedBytes = 0;
  WINHTTP_WEB_SOCKET_BUFFER_TYPE unusedType = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;

  DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

  bool IsClosed() {
    std::lock_guard lock(mutex);
    return closed;
  }

  // Counts a new handle whose callbacks carry this state; handleMutex is held. When
  // Close has already run, the handle is closed at once and false returned.
  bool Adopt(WinHttpHandle& handle, bool contextSet) {
    bool isClosed = false;
    {
      std::lock_guard lock(mutex);
      if (contextSet) {
        if (openHandles++ == 0) self = shared_from_this();
      }
      isClosed = closed;
    }
    if (isClosed) {
      handle.Reset();
      return false;
    }
    return true;
  }

  bool AdoptWithContext(WinHttpHandle& handle) {
    DWORD_PTR context = Context();
    const bool set = WinHttpSetOption(handle.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) != FALSE;
    return Adopt(handle, set);
  }

  void HandleClosed() {
    std::shared_ptr<State> last;
    {
      std::lock_guard lock(mutex);
      if (--openHandles == 0) last = std::move(self);
      changed.notify_all();
    }
    // `last` may free this state here, after the mutex is released.
  }

  // handleMutex is held.
  void CloseRequest() {
    request.Reset();
  }

  WaitResult Wait(Operation State::*op, std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(mutex);
    const auto ready = [&] { return (this->*op).done || closed; };
    if (deadline) {
      if (!changed.wait_until(lock, *deadline, ready)) {
        return WaitResult::TimedOut;
      }
    } else {
      changed.wait(lock, ready);
    }
    return closed ? WaitResult::Closed : WaitResult::Done;
  }

  std::optional<Clock::time_point> DeadlineIn(int32_t ms) const {
    if (ms <= 0) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(ms);
  }
};

namespace {

using State = WebSocketClient::State;

void CALLBACK OnWinHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) noexcept {
  auto* state = reinterpret_cast<State*>(context);
  if (state == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    state->HandleClosed();
    return;
  }
  std::lock_guard lock(state->mutex);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      state->receive.Complete(ERROR_SUCCESS);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      if (info != nullptr && length >= sizeof(WINHTTP_WEB_SOCKET_STATUS)) {
        const auto* ws = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
        state->receive.Complete(ERROR_SUCCESS, ws->dwBytesTransferred, ws->eBufferType);
      } else {
        state->receive.Complete(ERROR_INVALID_DATA);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      state->send.Complete(ERROR_SUCCESS);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      const DWORD error = result != nullptr ? result->dwError : ERROR_GEN_FAILURE;
      // A WebSocket's error names its operation; while connecting only one is pending.
      bool isSend = state->send.pending && !state->receive.pending;
      if (state->send.pending && state->receive.pending && info != nullptr &&
          length >= sizeof(WINHTTP_WEB_SOCKET_ASYNC_RESULT)) {
        isSend = static_cast<const WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info)->Operation ==
                 WINHTTP_WEB_SOCKET_SEND_OPERATION;
      }
      (isSend ? state->send : state->receive).Complete(error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error);
      break;
    }
    default:
      return;
  }
  state->changed.notify_all();
}

// What a failed connection attempt tells the user.
std::string ConnectFailedText(DWORD code) {
  if (code == kCannotConnect || code == kNameNotResolved) {
    return "can't reach the server";
  }
  return FailedText("connecting", code);
}

// The address with "ws" and "wss" mapped to their HTTP schemes.
std::wstring HttpAddress(const std::wstring& address) {
  std::wstring url = address;
  if (url.starts_with(L"ws://")) {
    url.replace(0, 2, L"http");
  } else if (url.starts_with(L"wss://")) {
    url.replace(0, 3, L"https");
  }
  return url;
}

}  // namespace

size_t WebSocketClient::LiveStates() { return liveStates.load(); }

WebSocketClient::WebSocketClient() : state_(std::make_shared<State>()) {}

WebSocketClient::~WebSocketClient() {
  Close();
  std::lock_guard handles(state_->handleMutex);
  state_->CloseRequest();
  state_->connection.Reset();
  state_->session.Reset();
}

namespace {

struct ServerTarget {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // path and query
  bool secure = false;
};

std::optional<ServerTarget> CrackAddress(const std::wstring& address) {
  const std::wstring url = HttpAddress(address);
  std::wstring host(kHostNameChars, L'\0');
  std::wstring path(kUrlPathChars, L'\0');
  std::wstring extra(kUrlPathChars, L'\0');
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = kHostNameChars;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = kUrlPathChars;
  // Asked for separately, the query is kept the same way on every WinHTTP (without
  // this buffer Wine leaves query and fragment in the path).
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = kUrlPathChars;
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    return std::nullopt;
  }
  ServerTarget target;
  target.host.assign(host.data(), parts.dwHostNameLength);
  target.port = parts.nPort;
  target.path.assign(path.data(), parts.dwUrlPathLength);
  if (target.path.empty()) target.path = L"/";
  // The query goes to the server with the path; a fragment never does.
  const std::wstring_view query(extra.data(), parts.dwExtraInfoLength);
  target.path.append(query.substr(0, query.find(L'#')));
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return target;
}

// Opens the session, connection and request handles into `s`.
bool OpenRequest(State& s, const ServerTarget& target, int32_t receiveTimeoutMs, std::string& error) {
  std::lock_guard handles(s.handleMutex);
  WinHttpHandle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (!session) {
    error = FailedText("WinHttpOpen", GetLastError());
    return false;
  }
  // Child handles inherit the callback, so it is set before any of them exists.
  if (WinHttpSetStatusCallback(session.Get(), OnWinHttpStatus, kCallbackEvents, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    error = FailedText("WinHttpSetStatusCallback", GetLastError());
    return false;
  }
  if (!s.AdoptWithContext(session)) {
    error = ConnectFailedText(kOperationCancelled);
    return false;
  }
  s.session = std::move(session);
  WinHttpSetTimeouts(s.session.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, receiveTimeoutMs);

  WinHttpHandle connection(WinHttpConnect(s.session.Get(), target.host.c_str(), target.port, 0));
  if (!connection) {
    error = FailedText("WinHttpConnect", GetLastError());
    return false;
  }
  if (!s.AdoptWithContext(connection)) {
    error = ConnectFailedText(kOperationCancelled);
    return false;
  }
  s.connection = std::move(connection);

  WinHttpHandle request(WinHttpOpenRequest(s.connection.Get(), L"GET", target.path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    error = FailedText("WinHttpOpenRequest", GetLastError());
    return false;
  }
  if (!s.AdoptWithContext(request)) {
    error = ConnectFailedText(kOperationCancelled);
    return false;
  }
  s.request = std::move(request);
  return true;
}

// Runs one step of the upgrade on the request: `start` begins it under the handle
// lock, then its completion is awaited. Returns 0 or the error code.
template <typename Start>
DWORD UpgradeStep(State& s, Start start, int32_t waitMs) {
  {
    std::lock_guard handles(s.handleMutex);
    if (!s.request || s.IsClosed()) return kOperationCancelled;
    {
      std::lock_guard lock(s.mutex);
      s.receive.Arm();
    }
    if (!start(s.request.Get())) {
      const DWORD code = GetLastError();
      std::lock_guard lock(s.mutex);
      s.receive.pending = false;
      return code;
    }
  }
  switch (s.Wait(&State::receive, s.DeadlineIn(waitMs))) {
    case WaitResult::Closed:
      return kOperationCancelled;
    case WaitResult::TimedOut:
      return kTimedOut;
    case WaitResult::Done:
      break;
  }
  std::lock_guard lock(s.mutex);
  return s.receive.error;
}

// Sends the upgrade request, checks the answer and turns the request into the
// WebSocket handle. The request handle is closed on every path.
bool Upgrade(State& s, int32_t receiveTimeoutMs, std::string& error) {
  const DWORD_PTR context = s.Context();
  const auto fail = [&s, &error](DWORD code) {
    error = ConnectFailedText(code);
    std::lock_guard handles(s.handleMutex);
    s.CloseRequest();
    return false;
  };
  DWORD code = UpgradeStep(
      s,
      [context](HINTERNET request) {
        return WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) &&
               WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, context);
      },
      kSendRequestWaitMs);
  if (code != ERROR_SUCCESS) return fail(code);
  code = UpgradeStep(
      s, [](HINTERNET request) { return WinHttpReceiveResponse(request, nullptr) != FALSE; }, receiveTimeoutMs);
  if (code != ERROR_SUCCESS) return fail(code);

  std::lock_guard handles(s.handleMutex);
  if (!s.request || s.IsClosed()) {
    error = ConnectFailedText(kOperationCancelled);
    s.CloseRequest();
    return false;
  }
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!WinHttpQueryHeaders(s.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    error = FailedText("connecting", GetLastError());
    s.CloseRequest();
    return false;
  }
  if (status != kHttpSwitchingProtocols) {
    error = std::format("the server answered HTTP {}", status);
    s.CloseRequest();
    return false;
  }
  WinHttpHandle socket(WinHttpWebSocketCompleteUpgrade(s.request.Get(), context));
  const DWORD upgradeError = GetLastError();
  s.CloseRequest();
  if (!socket) {
    error = FailedText("WebSocket upgrade", upgradeError);
    return false;
  }
  if (!s.Adopt(socket, true)) {
    error = ConnectFailedText(kOperationCancelled);
    return false;
  }
  s.socket = std::move(socket);
  return true;
}

}  // namespace

bool WebSocketClient::Connect(const std::wstring& address, int32_t receiveTimeoutMs, std::string& error) {
  State& s = *state_;
  {
    // One connection per client: a second Connect would orphan the first one's handles.
    std::lock_guard handles(s.handleMutex);
    if (s.session) {
      error = FailedText("connecting", kIncorrectHandleState);
      return false;
    }
  }
  const std::optional<ServerTarget> target = CrackAddress(address);
  if (!target) {
    error = "invalid server address";
    return false;
  }
  {
    std::lock_guard lock(s.mutex);
    s.receiveTimeoutMs = receiveTimeoutMs;
  }
  return OpenRequest(s, *target, receiveTimeoutMs, error) && Upgrade(s, receiveTimeoutMs, error);
}

bool WebSocketClient::Receive(std::string& message, uint16_t& closeCode, size_t maxBytes) {
  State& s = *state_;
  message.clear();
  closeCode = 0;
  int32_t timeoutMs = 0;
  {
    std::lock_guard lock(s.mutex);
    timeoutMs = s.receiveTimeoutMs;
  }
  const auto deadline = s.DeadlineIn(timeoutMs);
  const auto fail = [&s] {
    std::lock_guard lock(s.mutex);
    s.receiveFailed = true;
    return false;
  };
  for (;;) {
    {
      std::lock_guard handles(s.handleMutex);
      if (!s.socket) return false;
      {
        std::lock_guard lock(s.mutex);
        if (s.closed || s.receiveFailed) return false;
        s.receive.Arm();
      }
      const DWORD started =
          WinHttpWebSocketReceive(s.socket.Get(), s.receiveBuffer.data(), kReceiveBufferBytes, &s.unusedBytes, &s.unusedType);
      if (started != ERROR_SUCCESS) {
        std::lock_guard lock(s.mutex);
        s.receive.pending = false;
        s.receiveFailed = true;
        return false;
      }
    }
    if (s.Wait(&State::receive, deadline) != WaitResult::Done) {
      // Closed, or timed out with the receive still pending in WinHTTP.
      return fail();
    }
    Operation done;
    {
      std::lock_guard lock(s.mutex);
      done = s.receive;
    }
    if (done.error != ERROR_SUCCESS) return fail();
    switch (done.bufferType) {
      case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE: {
        std::lock_guard handles(s.handleMutex);
        USHORT status = 0;
        std::array<BYTE, kCloseReasonBytes> reason{};
        DWORD reasonLength = 0;
        if (s.socket && WinHttpWebSocketQueryCloseStatus(s.socket.Get(), &status, reason.data(), kCloseReasonBytes,
                                                                    &reasonLength) == ERROR_SUCCESS) {
          closeCode = status;
        }
        return fail();
      }
      case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE:
      case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE: {
        const size_t count = std::min<size_t>(done.bytes, kReceiveBufferBytes);
        if (message.size() + count > maxBytes) {
          message.clear();
          return fail();  // the rest of the message would follow as if it were new
        }
        message.append(reinterpret_cast<const char*>(s.receiveBuffer.data()), count);
        if (done.bufferType == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) return true;
        break;
      }
      default:  // binary messages are not for us
        break;
    }
  }
}

bool WebSocketClient::Send(std::string_view text) {
  State& s = *state_;
  std::lock_guard sending(sendMutex_);
  {
    std::lock_guard handles(s.handleMutex);
    if (!s.socket) return false;
    {
      std::lock_guard lock(s.mutex);
      if (s.closed || s.sendFailed) return false;
      s.send.Arm();
    }
    s.sendBuffer.assign(text);
    const DWORD started = WinHttpWebSocketSend(s.socket.Get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                               s.sendBuffer.data(), static_cast<DWORD>(s.sendBuffer.size()));
    if (started != ERROR_SUCCESS) {
      std::lock_guard lock(s.mutex);
      s.send.pending = false;
      return false;
    }
  }
  const WaitResult result = s.Wait(&State::send, s.DeadlineIn(kSendTimeoutMs));
  std::lock_guard lock(s.mutex);
  if (result == WaitResult::TimedOut) {
    s.sendFailed = true;
    return false;
  }
  return result == WaitResult::Done && s.send.error == ERROR_SUCCESS;
}

void WebSocketClient::Close() {
  State& s = *state_;
  std::lock_guard handles(s.handleMutex);
  {
    std::lock_guard lock(s.mutex);
    if (s.closed) return;
    s.closed = true;
    s.changed.notify_all();
  }
  // Closing completes whatever is pending on these handles.
  s.socket.Reset();
  s.CloseRequest();
}

}  // namespace kelm
