// The ICE stream: ICE agent callbacks, the pump thread that runs the reliable control
// block, and the bounded buffers between them and the session's reads and writes.
#include "connect/ice_stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "connect/ice_description.h"
#include "connect/ice_server_url.h"
#include "connect/juice.h"
#include "connect/kcp.h"

namespace tavro::connect {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kConversation = 0x74766331;  // "tvc1"
constexpr char kCloseMarker[4] = {'t', 'v', 'c', 'B'};
constexpr size_t kMaxDescription = 4096;
constexpr size_t kCandidateBuffer = 256;
constexpr int kMtu = 1200;
constexpr int kWindow = 1024;
constexpr size_t kWritePiece = 65536;
constexpr int kMaxWaitingSegments = 2048;
constexpr size_t kScratchSize = 65536;
constexpr size_t kCompactAfter = 1048576;
constexpr int kMaxTurnServers = 2;
constexpr int kIntervalMs = 10;
constexpr int kMarkerSends = 3;
// Unread bytes kept before the control block's own window is left to fill (and close).
constexpr size_t kReadBufferCap = 4u << 20;
// Received datagrams waiting for the pump; beyond this they are dropped (and resent).
constexpr size_t kMaxQueuedDatagrams = 4096;
// ... and in bytes: the count alone would let 64 KiB datagrams queue 256 MiB.
constexpr size_t kMaxQueuedBytes = kMaxQueuedDatagrams * 1200;
// How long a close waits for unacknowledged data before the marker goes out anyway.
constexpr int kCloseDrainMs = 2000;

constexpr int kLogWarn = 2;
constexpr int kLogError = 3;

std::atomic<IceLogCallback> g_log{nullptr};

void Log(int level, const std::string& text) {
  if (IceLogCallback cb = g_log.load()) cb(level, text.c_str());
}

bool IsConnectedState(uint32_t state) {
  return state == JUICE_STATE_CONNECTED || state == JUICE_STATE_COMPLETED;
}

}  // namespace

void SetIceLogCallback(IceLogCallback callback) { g_log.store(callback); }

struct IceStream::Impl {
  std::string stunHost;
  uint16_t stunPort = 0;
  bool relayFree = false;
  IceTestSettings test;
  juice_agent_t* agent = nullptr;
  ikcpcb* kcp = nullptr;

  // Signal lock: agent state and the datagram queue.
  std::mutex signalMu;
  std::condition_variable signalCv;
  uint32_t juiceState = JUICE_STATE_DISCONNECTED;
  std::deque<std::vector<uint8_t>> queue;
  size_t queuedBytes = 0;
  bool gatheringDone = false, peerClosed = false, closedForWaiters = false, changed = false, stop = false;
  size_t peakQueue = 0;

  std::atomic<bool> connected{false};

  // Transport lock: the control block, the read buffer and the close state.
  std::mutex transportMu;
  std::condition_variable transportCv;
  std::vector<uint8_t> readBuffer;
  uint64_t readOffset = 0;
  bool closed = false;
  bool closeCalled = false;
  bool markerPending = false;  // our close waits for the send queue to drain
  Clock::time_point markerDeadline;
  std::vector<char> scratch = std::vector<char>(kScratchSize);
  size_t peakReadBuffer = 0;

  std::thread pump;

  ~Impl() {
    if (agent) juice_destroy(agent);
    if (kcp) ikcp_release(kcp);
  }

  uint32_t Now32(Clock::time_point t) const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return static_cast<uint32_t>(ms) + test.kcpClockOffset;
  }

  static void OnState(juice_agent_t*, juice_state_t state, void* user) {
    auto* impl = static_cast<Impl*>(user);
    {
      std::lock_guard lock(impl->signalMu);
      impl->juiceState = state;
      impl->connected = IsConnectedState(state);
      impl->changed = true;
    }
    impl->signalCv.notify_all();
  }

  static void OnGatheringDone(juice_agent_t*, void* user) {
    auto* impl = static_cast<Impl*>(user);
    {
      std::lock_guard lock(impl->signalMu);
      impl->gatheringDone = true;
    }
    impl->signalCv.notify_all();
  }

  static void OnRecv(juice_agent_t*, const char* data, size_t size, void* user) {
    auto* impl = static_cast<Impl*>(user);
    bool wake;
    {
      std::lock_guard lock(impl->signalMu);
      // Only the first datagram after the pump took the queue needs to wake it: waking
      // is costly, and the pump takes the whole queue at once.
      wake = !impl->changed;
      if (size == sizeof kCloseMarker && std::memcmp(data, kCloseMarker, sizeof kCloseMarker) == 0) {
        impl->peerClosed = true;
      } else if (size < static_cast<size_t>(kKcpOverhead)) {
        return;
      } else if (impl->queue.size() >= kMaxQueuedDatagrams || impl->queuedBytes + size > kMaxQueuedBytes) {
        return;  // the pump is behind: drop, the sender resends
      } else {
        impl->queue.emplace_back(data, data + size);
        impl->queuedBytes += size;
        impl->peakQueue = std::max(impl->peakQueue, impl->queue.size());
      }
      impl->changed = true;
    }
    if (wake) impl->signalCv.notify_all();
  }

  static int KcpOutput(const char* buf, int len, ikcpcb*, void* user) {
    auto* impl = static_cast<Impl*>(user);
    if (impl->connected.load()) juice_send(impl->agent, buf, static_cast<size_t>(len));
    return 0;
  }

  // Caller holds the transport lock.
  void SendMarker() {
    markerPending = false;
    if (!connected.load()) return;
    for (int i = 0; i < kMarkerSends; ++i) juice_send(agent, kCloseMarker, sizeof kCloseMarker);
  }

  // Caller holds the transport lock. Moves received data into the read buffer, but only up
  // to its cap, so a slow reader leaves the data in the control block and its window closes.
  void Drain() {
    if (readOffset >= readBuffer.size()) {
      readBuffer.clear();
      readOffset = 0;
    } else if (readOffset > kCompactAfter) {
      readBuffer.erase(readBuffer.begin(), readBuffer.begin() + static_cast<ptrdiff_t>(readOffset));
      readOffset = 0;
    }
    while (readBuffer.size() - readOffset < kReadBufferCap) {
      int n = ikcp_recv(kcp, scratch.data(), static_cast<int>(scratch.size()));
      if (n == kKcpRecvBufferTooSmall) {
        // A message larger than the scratch buffer: grow it instead of stalling.
        int need = ikcp_peeksize(kcp);
        if (need <= static_cast<int>(scratch.size())) break;
        scratch.resize(static_cast<size_t>(need));
        continue;
      }
      if (n < 0) break;
      readBuffer.insert(readBuffer.end(), scratch.begin(), scratch.begin() + n);
    }
    peakReadBuffer = std::max(peakReadBuffer, readBuffer.size() - static_cast<size_t>(readOffset));
  }

  void Pump() {
    Clock::time_point deadline = Clock::now();
    std::deque<std::vector<uint8_t>> taken;
    for (;;) {
      uint32_t state;
      bool peerGone;
      {
        std::unique_lock lock(signalMu);
        signalCv.wait_until(lock, deadline, [&] { return stop || changed; });
        if (stop) return;
        changed = false;
        taken.swap(queue);
        queuedBytes = 0;
        state = juiceState;
        peerGone = peerClosed;
      }
      {
        std::lock_guard lock(transportMu);
        for (const auto& d : taken) ikcp_input(kcp, reinterpret_cast<const char*>(d.data()), static_cast<long>(d.size()));
        Drain();
        if (state == JUICE_STATE_FAILED || peerGone) {
          closed = true;
          markerPending = false;
        }
        Clock::time_point now = Clock::now();
        uint32_t now32 = Now32(now);
        if (!taken.empty()) ikcp_flush(kcp);
        ikcp_update(kcp, now32);
        if (kcp->state == -1 && !closed) {
          // A segment was resent its maximum number of times: the link is dead, and
          // whoever waits to read or write must learn it now.
          Log(kLogWarn, "ICE: the link is dead (a segment went unacknowledged) - closing the stream");
          closed = true;
          markerPending = false;
        }
        if (markerPending && (ikcp_waitsnd(kcp) == 0 || now >= markerDeadline)) SendMarker();
        // The control block's clock is 32 bits and wraps; only its distance counts.
        int32_t wait = static_cast<int32_t>(ikcp_check(kcp, now32) - now32);
        wait = std::clamp(wait, 0, kIntervalMs);
        deadline = now + std::chrono::milliseconds(wait);
      }
      taken.clear();
      transportCv.notify_all();
    }
  }
};

IceStream::IceStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<IceStream> IceStream::Create(const Config& config) {
  auto impl = std::make_unique<Impl>();
  impl->relayFree = config.relayFree;
  if (config.test) impl->test = *config.test;
  if (!config.stunServer.empty()) {
    auto parsed = ParseStunServer(config.stunServer);
    if (!parsed) {
      Log(kLogError, "ICE: invalid STUN server '" + config.stunServer + "'");
      return nullptr;
    }
    impl->stunHost = parsed->host;
    impl->stunPort = parsed->port;
  }
  std::vector<juice_turn_server_t> turns;
  for (const auto& t : config.turnServers) {
    if (static_cast<int>(turns.size()) >= kMaxTurnServers) break;
    turns.push_back({t.host.c_str(), t.username.c_str(), t.password.c_str(), t.port});
  }
  juice_config_t jc;
  jc.concurrency_mode = JUICE_CONCURRENCY_MODE_THREAD;
  jc.stun_server_host = impl->stunHost.empty() ? nullptr : impl->stunHost.c_str();
  jc.stun_server_port = impl->stunPort;
  jc.turn_servers = turns.empty() ? nullptr : turns.data();
  jc.turn_servers_count = static_cast<int>(turns.size());
  jc.cb_state_changed = Impl::OnState;
  jc.cb_gathering_done = Impl::OnGatheringDone;
  jc.cb_recv = Impl::OnRecv;
  jc.user_ptr = impl.get();
  jc.test = config.test ? &impl->test : nullptr;
  impl->agent = juice_create(&jc);
  if (impl->agent == nullptr) {
    Log(kLogError, "ICE: creating the agent failed");
    return nullptr;
  }
  impl->kcp = ikcp_create(kConversation, impl.get());
  impl->kcp->stream = 1;
  ikcp_setoutput(impl->kcp, Impl::KcpOutput);
  ikcp_setmtu(impl->kcp, kMtu);
  ikcp_wndsize(impl->kcp, kWindow, kWindow);
  ikcp_nodelay(impl->kcp, 1, kIntervalMs, 2, 1);
  Impl* raw = impl.get();
  impl->pump = std::thread([raw] { raw->Pump(); });
  return std::unique_ptr<IceStream>(new IceStream(std::move(impl)));
}

IceStream::~IceStream() {
  Close();
  {
    // Give unacknowledged data its bounded chance to reach the peer before the marker.
    std::unique_lock lock(impl_->transportMu);
    impl_->transportCv.wait_until(lock, impl_->markerDeadline + std::chrono::milliseconds(50),
                                  [&] { return !impl_->markerPending; });
  }
  {
    std::lock_guard lock(impl_->signalMu);
    impl_->stop = true;
  }
  impl_->signalCv.notify_all();
  if (impl_->pump.joinable()) impl_->pump.join();
  // Impl's destructor destroys the agent (joining its thread) and then the control block.
}

std::optional<std::string> IceStream::Answer(const std::string& offer, int timeoutMs) {
  if (offer.empty() || offer.size() > kMaxDescription || offer.find('\0') != std::string::npos) return std::nullopt;
  std::string remote = impl_->relayFree ? StripRelayCandidates(offer) : offer;
  if (juice_set_remote_description(impl_->agent, remote.c_str()) != JUICE_ERR_SUCCESS) return std::nullopt;
  juice_set_remote_gathering_done(impl_->agent);
  if (juice_gather_candidates(impl_->agent) != JUICE_ERR_SUCCESS) {
    Log(kLogError, "ICE: gathering candidates failed");
    return std::nullopt;
  }
  {
    std::unique_lock lock(impl_->signalMu);
    if (!impl_->signalCv.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                  [&] { return impl_->gatheringDone || impl_->closedForWaiters; })) {
      Log(kLogWarn, "ICE: gathering timed out, using the candidates found so far");
    }
  }
  std::vector<char> buffer(kMaxDescription);
  // A description that does not fit is refused whole, never cut short.
  if (juice_get_local_description(impl_->agent, buffer.data(), buffer.size()) != JUICE_ERR_SUCCESS) {
    return std::nullopt;
  }
  std::string answer(buffer.data());
  if (impl_->relayFree) answer = StripRelayCandidates(answer);
  return answer;
}

bool IceStream::WaitConnected(int timeoutMs) {
  bool noted;
  {
    std::unique_lock lock(impl_->signalMu);
    impl_->signalCv.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] {
      return IsConnectedState(impl_->juiceState) || impl_->juiceState == JUICE_STATE_FAILED || impl_->peerClosed ||
             impl_->closedForWaiters;
    });
    noted = IsConnectedState(impl_->juiceState);
  }
  // The transport lock comes first in the lock order, so it is taken only after the signal lock is released.
  std::lock_guard lock(impl_->transportMu);
  return noted && !impl_->closed;
}

std::optional<IceStream::CandidatePair> IceStream::SelectedCandidates() {
  char local[kCandidateBuffer], remote[kCandidateBuffer];
  if (juice_get_selected_candidates(impl_->agent, local, sizeof local, remote, sizeof remote) != JUICE_ERR_SUCCESS) {
    return std::nullopt;
  }
  auto l = ParseCandidate(local);
  auto r = ParseCandidate(remote);
  return CandidatePair{l.type, l.address, r.type, r.address};
}

long long IceStream::Read(void* buffer, size_t size, int timeoutMs) {
  if (size == 0) return 0;
  Impl& s = *impl_;
  std::unique_lock lock(s.transportMu);
  auto unread = [&] { return s.readBuffer.size() - static_cast<size_t>(s.readOffset); };
  auto ready = [&] {
    if (unread() == 0) s.Drain();  // the reader makes room itself
    return unread() > 0 || s.closed;
  };
  if (timeoutMs < 0) {
    s.transportCv.wait(lock, ready);
  } else if (!s.transportCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return -1;
  }
  size_t n = std::min(unread(), size);
  if (n == 0) return 0;
  std::memcpy(buffer, s.readBuffer.data() + s.readOffset, n);
  s.readOffset += n;
  return static_cast<long long>(n);
}

bool IceStream::Write(const void* data, size_t size, int timeoutMs) {
  if (size == 0) return true;
  Impl& s = *impl_;
  const char* p = static_cast<const char*>(data);
  bool timedOut = false;
  {
    std::unique_lock lock(s.transportMu);
    // The time-out counts from the last piece handed over: a slow peer that keeps
    // taking data is waited for, one that takes nothing is given up.
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (!s.closed) {
      if (size == 0) return true;
      if (ikcp_waitsnd(s.kcp) < kMaxWaitingSegments) {
        size_t piece = std::min(size, kWritePiece);
        if (ikcp_send(s.kcp, p, static_cast<int>(piece)) < 0) return false;
        ikcp_flush(s.kcp);
        p += piece;
        size -= piece;
        deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
      } else if (timeoutMs < 0) {
        s.transportCv.wait(lock);
      } else if (s.transportCv.wait_until(lock, deadline) == std::cv_status::timeout &&
                 ikcp_waitsnd(s.kcp) >= kMaxWaitingSegments) {
        timedOut = true;
        break;
      }
    }
  }
  if (timedOut) {
    Log(kLogWarn, "ICE: the peer took no data for " + std::to_string(timeoutMs) + " ms - closing the stream");
    Close();
  }
  return false;
}

void IceStream::Close() {
  Impl& s = *impl_;
  {
    std::lock_guard lock(s.transportMu);
    if (s.closeCalled) return;
    s.closeCalled = true;
    bool wasClosed = s.closed;
    s.closed = true;
    if (!wasClosed && s.connected.load()) {
      // The marker follows the data still in flight, so a last message is not overtaken.
      s.markerDeadline = Clock::now() + std::chrono::milliseconds(kCloseDrainMs);
      s.markerPending = true;
      if (ikcp_waitsnd(s.kcp) == 0) s.SendMarker();
    }
  }
  s.transportCv.notify_all();
  {
    std::lock_guard lock(s.signalMu);
    s.closedForWaiters = true;
    s.changed = true;
  }
  s.signalCv.notify_all();
}

std::optional<IceStream::TurnServer> IceStream::AddTurnServer(const std::string& url, const std::string& username,
                                                             const std::string& credential) {
  auto entry = ParseTurnServer(url, username, credential);
  if (!entry) return std::nullopt;
  return TurnServer{entry->host, entry->port, entry->username, entry->password};
}

size_t IceStream::PeakQueuedDatagramsForTest() const {
  std::lock_guard lock(impl_->signalMu);
  return impl_->peakQueue;
}

std::vector<TurnStats> IceStream::TurnStatsForTest() const { return juice_test_turn_stats(impl_->agent); }

namespace {
uint32_t JuiceState(IceStream::Impl& impl) {
  std::lock_guard lock(impl.signalMu);
  return impl.juiceState;
}
}  // namespace

std::string IceStream::DebugStateForTest() const {
  uint32_t state = JuiceState(*impl_);
  std::lock_guard lock(impl_->transportMu);
  const ikcpcb* k = impl_->kcp;
  return "rcv_nxt=" + std::to_string(k->rcv_nxt) + " rcv_queue=" + std::to_string(k->rcv_queue.size()) +
         " rcv_buf=" + std::to_string(k->rcv_buf.size()) + " snd_una=" + std::to_string(k->snd_una) +
         " snd_nxt=" + std::to_string(k->snd_nxt) + " rmt_wnd=" + std::to_string(k->rmt_wnd) +
         " timeout_resends=" + std::to_string(k->xmit) + " srtt=" + std::to_string(k->rx_srtt) +
         " rto=" + std::to_string(k->rx_rto) +
         " unread=" + std::to_string(impl_->readBuffer.size() - impl_->readOffset) +
         " closed=" + std::to_string(impl_->closed) + " connected=" + std::to_string(impl_->connected.load()) +
         " consent_sent=" + std::to_string(juice_test_consent_counts(impl_->agent).first) +
         " consent_answered=" + std::to_string(juice_test_consent_counts(impl_->agent).second) +
         " juice_state=" + std::to_string(state);
}

size_t IceStream::PeakReadBufferForTest() const {
  std::lock_guard lock(impl_->transportMu);
  return impl_->peakReadBuffer;
}

}  // namespace tavro::connect
