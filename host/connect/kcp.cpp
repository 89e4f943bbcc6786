// The ARQ control block: segmenting, acknowledgement, retransmission and window handling.
#include "connect/kcp.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/byte_order.h"

namespace tavro::connect {
namespace {

constexpr uint32_t kRtoNoDelayMin = 30;
constexpr uint32_t kRtoMin = 100;
constexpr uint32_t kRtoDefault = 200;
constexpr uint32_t kRtoMax = 60000;
constexpr uint32_t kAskSend = 1;  // send a window probe
constexpr uint32_t kAskTell = 2;  // announce our window
constexpr uint32_t kWndRcvMin = 128;  // also the fragment limit of one message
constexpr uint32_t kProbeInit = 7000;
constexpr uint32_t kProbeLimit = 120000;
constexpr uint32_t kThreshMin = 2;
constexpr uint32_t kIntervalMin = 10;
constexpr uint32_t kIntervalMax = 5000;
constexpr int kMtuMin = 50;
constexpr int32_t kFlushResyncMs = 10000;

// Signed distance between two values of a wrapping 32-bit counter (clock or sequence).
inline int32_t Diff(uint32_t later, uint32_t earlier) {
  return static_cast<int32_t>(later - earlier);
}

void EncodeHeader(uint8_t* p, const KcpSegment& seg) {
  kelm::bytes::StoreLe<uint32_t>(p, seg.conv);
  p[4] = seg.cmd;
  p[5] = seg.frg;
  p[6] = static_cast<uint8_t>(seg.wnd);
  p[7] = static_cast<uint8_t>(seg.wnd >> 8);
  kelm::bytes::StoreLe<uint32_t>(p + 8, seg.ts);
  kelm::bytes::StoreLe<uint32_t>(p + 12, seg.sn);
  kelm::bytes::StoreLe<uint32_t>(p + 16, seg.una);
  kelm::bytes::StoreLe<uint32_t>(p + 20, static_cast<uint32_t>(seg.data.size()));
}

uint32_t WndUnused(const ikcpcb* kcp) {
  return kcp->rcv_queue.size() < kcp->rcv_wnd
             ? kcp->rcv_wnd - static_cast<uint32_t>(kcp->rcv_queue.size())
             : 0;
}

void ShrinkBuf(ikcpcb* kcp) {
  kcp->snd_una = kcp->snd_buf.empty() ? kcp->snd_nxt : kcp->snd_buf.front().sn;
}

void UpdateAck(ikcpcb* kcp, int32_t rtt) {
  // The echoed time stamp comes from the peer: a sample beyond the largest time-out is
  // no round trip, and would overflow the smoothing below.
  rtt = std::min<int32_t>(rtt, static_cast<int32_t>(kRtoMax));
  if (kcp->rx_srtt == 0) {
    kcp->rx_srtt = rtt;
    kcp->rx_rttval = rtt / 2;
  } else {
    int32_t delta = rtt - kcp->rx_srtt;
    if (delta < 0) delta = -delta;
    kcp->rx_rttval = (3 * kcp->rx_rttval + delta) / 4;
    kcp->rx_srtt = (7 * kcp->rx_srtt + rtt) / 8;
    if (kcp->rx_srtt < 1) kcp->rx_srtt = 1;
  }
  int64_t rto = int64_t{kcp->rx_srtt} + std::max<int64_t>(kcp->interval, 4 * int64_t{kcp->rx_rttval});
  kcp->rx_rto = static_cast<int32_t>(
      std::clamp<int64_t>(rto, kcp->rx_minrto, static_cast<int64_t>(kRtoMax)));
}

void ParseAck(ikcpcb* kcp, uint32_t sn) {
  if (Diff(sn, kcp->snd_una) < 0 || Diff(sn, kcp->snd_nxt) >= 0) return;
  for (auto it = kcp->snd_buf.begin(); it != kcp->snd_buf.end(); ++it) {
    if (it->sn == sn) {
      kcp->snd_buf.erase(it);
      return;
    }
    if (Diff(sn, it->sn) < 0) return;
  }
}

void ParseUna(ikcpcb* kcp, uint32_t una) {
  while (!kcp->snd_buf.empty() && Diff(una, kcp->snd_buf.front().sn) > 0) {
    kcp->snd_buf.pop_front();
  }
}

void ParseFastack(ikcpcb* kcp, uint32_t sn) {
  if (Diff(sn, kcp->snd_una) < 0 || Diff(sn, kcp->snd_nxt) >= 0) return;
  for (auto& seg : kcp->snd_buf) {
    if (Diff(sn, seg.sn) < 0) break;
    if (sn != seg.sn) seg.fastack++;
  }
}

// Moves in-order segments from the reorder buffer to the queue the application reads.
void MoveReady(ikcpcb* kcp) {
  while (!kcp->rcv_buf.empty()) {
    auto& seg = kcp->rcv_buf.front();
    if (seg.sn != kcp->rcv_nxt || kcp->rcv_queue.size() >= kcp->rcv_wnd) break;
    kcp->rcv_queue.push_back(std::move(seg));
    kcp->rcv_buf.pop_front();
    kcp->rcv_nxt++;
  }
}

void ParseData(ikcpcb* kcp, KcpSegment&& seg) {
  uint32_t sn = seg.sn;
  if (Diff(sn, kcp->rcv_nxt + kcp->rcv_wnd) >= 0 || Diff(sn, kcp->rcv_nxt) < 0) return;
  // Insert sorted, from the back (new data usually belongs at the end); drop duplicates.
  auto it = kcp->rcv_buf.end();
  while (it != kcp->rcv_buf.begin()) {
    auto prev = std::prev(it);
    if (prev->sn == sn) return;
    if (Diff(sn, prev->sn) > 0) break;
    it = prev;
  }
  kcp->rcv_buf.insert(it, std::move(seg));
  MoveReady(kcp);
}

// Sends the assembled buffer through the output callback and empties it.
void Output(ikcpcb* kcp) {
  if (kcp->buffer.empty()) return;
  if (kcp->output) {
    kcp->output(reinterpret_cast<const char*>(kcp->buffer.data()),
                static_cast<int>(kcp->buffer.size()), kcp, kcp->user);
  }
  kcp->buffer.clear();
}

// Appends one segment (header plus payload), flushing first when it would not fit.
void Append(ikcpcb* kcp, const KcpSegment& seg) {
  size_t need = kKcpOverhead + seg.data.size();
  if (kcp->buffer.size() + need > kcp->mtu) Output(kcp);
  size_t at = kcp->buffer.size();
  kcp->buffer.resize(at + need);
  EncodeHeader(kcp->buffer.data() + at, seg);
  if (!seg.data.empty()) {
    std::memcpy(kcp->buffer.data() + at + kKcpOverhead, seg.data.data(), seg.data.size());
  }
}

}  // namespace

ikcpcb* ikcp_create(uint32_t conv, void* user) {
  auto kcp = std::make_unique<ikcpcb>();
  kcp->conv = conv;
  kcp->user = user;
  kcp->rx_rto = kRtoDefault;
  kcp->rx_minrto = kRtoMin;
  kcp->ssthresh = kThreshMin;
  kcp->buffer.reserve(kcp->mtu);
  return kcp.release();
}

void ikcp_release(ikcpcb* kcp) { std::unique_ptr<ikcpcb> owner(kcp); }

void ikcp_setoutput(ikcpcb* kcp, KcpOutput output) { kcp->output = output; }

int ikcp_peeksize(const ikcpcb* kcp) {
  if (kcp->rcv_queue.empty()) return kKcpRecvEmpty;
  const auto& first = kcp->rcv_queue.front();
  if (first.frg == 0) return static_cast<int>(first.data.size());
  if (kcp->rcv_queue.size() < size_t{first.frg} + 1u) return kKcpRecvIncomplete;
  size_t length = 0;
  for (const auto& seg : kcp->rcv_queue) {
    length += seg.data.size();
    if (seg.frg == 0) break;
  }
  return static_cast<int>(length);
}

int ikcp_recv(ikcpcb* kcp, char* buffer, int len) {
  if (kcp->rcv_queue.empty()) return kKcpRecvEmpty;
  int peek = ikcp_peeksize(kcp);
  if (peek < 0) return kKcpRecvIncomplete;
  if (len < 0 || peek > len) return kKcpRecvBufferTooSmall;
  bool wasFull = kcp->rcv_queue.size() >= kcp->rcv_wnd;
  int copied = 0;
  while (!kcp->rcv_queue.empty()) {
    KcpSegment seg = std::move(kcp->rcv_queue.front());
    kcp->rcv_queue.pop_front();
    if (!seg.data.empty()) std::memcpy(buffer + copied, seg.data.data(), seg.data.size());
    copied += static_cast<int>(seg.data.size());
    if (seg.frg == 0) break;
  }
  MoveReady(kcp);
  // The peer saw a closed window: tell it as soon as room appears.
  if (wasFull && kcp->rcv_queue.size() < kcp->rcv_wnd) {
    kcp->probe |= kAskTell;
    kcp->tellReopened = true;
  }
  return copied;
}

int ikcp_send(ikcpcb* kcp, const char* buffer, int len) {
  if (len < 0) return kKcpSendBadLength;
  const uint8_t* src = reinterpret_cast<const uint8_t*>(buffer);
  if (kcp->stream && !kcp->snd_queue.empty()) {
    auto& last = kcp->snd_queue.back();
    if (last.data.size() < kcp->mss) {
      size_t extend = std::min<size_t>(kcp->mss - last.data.size(), static_cast<size_t>(len));
      last.data.insert(last.data.end(), src, src + extend);
      last.frg = 0;
      src += extend;
      len -= static_cast<int>(extend);
    }
    if (len == 0) return 0;
  }
  uint32_t count = len <= static_cast<int>(kcp->mss)
                       ? 1
                       : static_cast<uint32_t>((static_cast<uint64_t>(len) + kcp->mss - 1) / kcp->mss);
  if (count >= kWndRcvMin) return kKcpSendTooManyFragments;
  for (uint32_t i = 0; i < count; ++i) {
    size_t size = std::min<size_t>(static_cast<size_t>(len), kcp->mss);
    KcpSegment seg;
    seg.data.assign(src, src + size);
    seg.frg = kcp->stream ? 0 : static_cast<uint8_t>(count - i - 1);
    kcp->snd_queue.push_back(std::move(seg));
    src += size;
    len -= static_cast<int>(size);
  }
  return 0;
}

int ikcp_input(ikcpcb* kcp, const char* data, long size) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
  if (p == nullptr || size < kKcpOverhead) return kKcpInputShort;
  uint32_t prevUna = kcp->snd_una;
  bool gotAck = false;
  uint32_t maxack = 0;
  while (size >= kKcpOverhead) {
    uint32_t conv = kelm::bytes::LoadLe<uint32_t>(p);
    if (conv != kcp->conv) return kKcpInputShort;
    uint8_t cmd = p[4];
    uint8_t frg = p[5];
    uint16_t wnd = static_cast<uint16_t>(p[6] | (p[7] << 8));
    uint32_t ts = kelm::bytes::LoadLe<uint32_t>(p + 8);
    uint32_t sn = kelm::bytes::LoadLe<uint32_t>(p + 12);
    uint32_t una = kelm::bytes::LoadLe<uint32_t>(p + 16);
    uint32_t len = kelm::bytes::LoadLe<uint32_t>(p + 20);
    p += kKcpOverhead;
    size -= kKcpOverhead;
    if (static_cast<unsigned long>(size) < len) return kKcpInputTruncated;
    if (cmd != kKcpCmdPush && cmd != kKcpCmdAck && cmd != kKcpCmdWask && cmd != kKcpCmdWins) {
      return kKcpInputBadCommand;
    }
    kcp->rmt_wnd = wnd;
    ParseUna(kcp, una);
    ShrinkBuf(kcp);
    if (cmd == kKcpCmdAck) {
      if (Diff(kcp->current, ts) >= 0) UpdateAck(kcp, Diff(kcp->current, ts));
      ParseAck(kcp, sn);
      ShrinkBuf(kcp);
      if (!gotAck || Diff(sn, maxack) > 0) maxack = sn;
      gotAck = true;
    } else if (cmd == kKcpCmdPush) {
      kcp->tellReopened = false;
      // A segment longer than the MSS was never cut by a sender of ours: it is dropped
      // unacknowledged, so the window's slots hold at most the MSS each.
      if (len > kcp->mss) {
        p += len;
        size -= static_cast<long>(len);
        continue;
      }
      if (Diff(sn, kcp->rcv_nxt + kcp->rcv_wnd) < 0) {
        kcp->acklist.emplace_back(sn, ts);
        if (Diff(sn, kcp->rcv_nxt) >= 0) {
          KcpSegment seg;
          seg.conv = conv;
          seg.cmd = cmd;
          seg.frg = frg;
          seg.wnd = wnd;
          seg.ts = ts;
          seg.sn = sn;
          seg.una = una;
          seg.data.assign(p, p + len);
          ParseData(kcp, std::move(seg));
        }
      }
    } else if (cmd == kKcpCmdWask) {
      kcp->probe |= kAskTell;
    }
    p += len;
    size -= static_cast<long>(len);
  }
  if (gotAck) ParseFastack(kcp, maxack);
  // Congestion window growth (only used when the window is not switched off).
  if (Diff(kcp->snd_una, prevUna) > 0 && kcp->cwnd < kcp->rmt_wnd) {
    uint32_t mss = kcp->mss;
    if (kcp->cwnd < kcp->ssthresh) {
      kcp->cwnd++;
      kcp->incr += mss;
    } else {
      if (kcp->incr < mss) kcp->incr = mss;
      kcp->incr += (mss * mss) / kcp->incr + (mss / 16);
      if ((kcp->cwnd + 1) * mss <= kcp->incr) kcp->cwnd = (kcp->incr + mss - 1) / (mss > 0 ? mss : 1);
    }
    if (kcp->cwnd > kcp->rmt_wnd) {
      kcp->cwnd = kcp->rmt_wnd;
      kcp->incr = kcp->rmt_wnd * mss;
    }
  }
  return 0;
}

void ikcp_flush(ikcpcb* kcp) {
  // Nothing leaves before the first ikcp_update has set the clock.
  if (!kcp->updated) return;
  uint32_t current = kcp->current;
  KcpSegment ctl;
  ctl.conv = kcp->conv;
  ctl.wnd = static_cast<uint16_t>(std::min<uint32_t>(WndUnused(kcp), 0xFFFF));
  ctl.una = kcp->rcv_nxt;

  ctl.cmd = kKcpCmdAck;
  for (const auto& [sn, ts] : kcp->acklist) {
    ctl.sn = sn;
    ctl.ts = ts;
    Append(kcp, ctl);
  }
  kcp->acklist.clear();

  // Window probing while the peer's window is closed.
  if (kcp->rmt_wnd == 0) {
    if (kcp->probe_wait == 0) {
      kcp->probe_wait = kProbeInit;
      kcp->ts_probe = current + kcp->probe_wait;
    } else if (Diff(current, kcp->ts_probe) >= 0) {
      if (kcp->probe_wait < kProbeInit) kcp->probe_wait = kProbeInit;
      kcp->probe_wait += kcp->probe_wait / 2;
      if (kcp->probe_wait > kProbeLimit) kcp->probe_wait = kProbeLimit;
      kcp->ts_probe = current + kcp->probe_wait;
      kcp->probe |= kAskSend;
    }
  } else {
    kcp->ts_probe = 0;
    kcp->probe_wait = 0;
  }
  ctl.sn = 0;
  ctl.ts = 0;
  if (kcp->tellReopened && ctl.wnd > 0) kcp->probe |= kAskTell;
  if (kcp->probe & kAskSend) {
    ctl.cmd = kKcpCmdWask;
    Append(kcp, ctl);
  }
  if (kcp->probe & kAskTell) {
    ctl.cmd = kKcpCmdWins;
    Append(kcp, ctl);
  }
  kcp->probe = 0;

  uint32_t cwnd = std::min(kcp->snd_wnd, kcp->rmt_wnd);
  if (!kcp->nocwnd) cwnd = std::min(kcp->cwnd, cwnd);

  while (Diff(kcp->snd_nxt, kcp->snd_una + cwnd) < 0 && !kcp->snd_queue.empty()) {
    KcpSegment seg = std::move(kcp->snd_queue.front());
    kcp->snd_queue.pop_front();
    seg.conv = kcp->conv;
    seg.cmd = kKcpCmdPush;
    seg.wnd = ctl.wnd;
    seg.ts = current;
    seg.sn = kcp->snd_nxt++;
    seg.una = kcp->rcv_nxt;
    seg.resendts = current;
    seg.rto = static_cast<uint32_t>(kcp->rx_rto);
    seg.fastack = 0;
    seg.xmit = 0;
    kcp->snd_buf.push_back(std::move(seg));
  }

  uint32_t resent = kcp->fastresend > 0 ? static_cast<uint32_t>(kcp->fastresend) : 0xFFFFFFFFu;
  uint32_t rtomin = kcp->nodelay == 0 ? static_cast<uint32_t>(kcp->rx_rto >> 3) : 0;
  bool lost = false;
  bool change = false;
  for (auto& seg : kcp->snd_buf) {
    bool needsend = false;
    if (seg.xmit == 0) {
      needsend = true;
      seg.xmit++;
      seg.rto = static_cast<uint32_t>(kcp->rx_rto);
      seg.resendts = current + seg.rto + rtomin;
    } else if (Diff(current, seg.resendts) >= 0) {
      needsend = true;
      seg.xmit++;
      kcp->xmit++;
      if (kcp->nodelay == 0) {
        seg.rto += std::max(seg.rto, static_cast<uint32_t>(kcp->rx_rto));
      } else {
        uint32_t step = kcp->nodelay < 2 ? seg.rto : static_cast<uint32_t>(kcp->rx_rto);
        seg.rto += step / 2;
      }
      seg.resendts = current + seg.rto;
      lost = true;
    } else if (seg.fastack >= resent) {
      if (seg.xmit <= static_cast<uint32_t>(kcp->fastlimit) || kcp->fastlimit <= 0) {
        needsend = true;
        seg.xmit++;
        seg.fastack = 0;
        seg.resendts = current + seg.rto;
        change = true;
      }
    }
    if (needsend) {
      seg.ts = current;
      seg.wnd = ctl.wnd;
      seg.una = kcp->rcv_nxt;
      Append(kcp, seg);
      if (seg.xmit >= kcp->dead_link) kcp->state = -1;
    }
  }
  Output(kcp);

  if (change) {
    uint32_t inflight = kcp->snd_nxt - kcp->snd_una;
    kcp->ssthresh = std::max(inflight / 2, kThreshMin);
    kcp->cwnd = kcp->ssthresh + resent;
    kcp->incr = kcp->cwnd * kcp->mss;
  }
  if (lost) {
    kcp->ssthresh = std::max(cwnd / 2, kThreshMin);
    kcp->cwnd = 1;
    kcp->incr = kcp->mss;
  }
  if (kcp->cwnd < 1) {
    kcp->cwnd = 1;
    kcp->incr = kcp->mss;
  }
}

void ikcp_update(ikcpcb* kcp, uint32_t current) {
  kcp->current = current;
  if (!kcp->updated) {
    kcp->updated = 1;
    kcp->ts_flush = current;
  }
  int32_t slap = Diff(current, kcp->ts_flush);
  if (slap >= kFlushResyncMs || slap < -kFlushResyncMs) {
    kcp->ts_flush = current;
    slap = 0;
  }
  if (slap >= 0) {
    kcp->ts_flush += kcp->interval;
    if (Diff(current, kcp->ts_flush) >= 0) kcp->ts_flush = current + kcp->interval;
    ikcp_flush(kcp);
  }
}

uint32_t ikcp_check(const ikcpcb* kcp, uint32_t current) {
  if (!kcp->updated) return current;
  uint32_t tsFlush = kcp->ts_flush;
  if (Diff(current, tsFlush) >= kFlushResyncMs || Diff(current, tsFlush) < -kFlushResyncMs) {
    tsFlush = current;
  }
  if (Diff(current, tsFlush) >= 0) return current;
  int32_t minimal = Diff(tsFlush, current);
  for (const auto& seg : kcp->snd_buf) {
    int32_t diff = Diff(seg.resendts, current);
    if (diff <= 0) return current;
    minimal = std::min(minimal, diff);
  }
  minimal = std::min(minimal, static_cast<int32_t>(kcp->interval));
  return current + static_cast<uint32_t>(minimal);
}

int ikcp_setmtu(ikcpcb* kcp, int mtu) {
  if (mtu < kMtuMin) return -1;
  kcp->mtu = static_cast<uint32_t>(mtu);
  kcp->mss = kcp->mtu - kKcpOverhead;
  kcp->buffer.reserve(kcp->mtu);
  return 0;
}

int ikcp_wndsize(ikcpcb* kcp, int sndwnd, int rcvwnd) {
  if (sndwnd > 0) kcp->snd_wnd = static_cast<uint32_t>(sndwnd);
  // The receive window also bounds reassembly of one message, so it never shrinks below it.
  if (rcvwnd > 0) kcp->rcv_wnd = std::max(static_cast<uint32_t>(rcvwnd), kWndRcvMin);
  return 0;
}

int ikcp_waitsnd(const ikcpcb* kcp) {
  return static_cast<int>(kcp->snd_buf.size() + kcp->snd_queue.size());
}

int ikcp_nodelay(ikcpcb* kcp, int nodelay, int interval, int resend, int nc) {
  if (nodelay >= 0) {
    kcp->nodelay = static_cast<uint32_t>(nodelay);
    kcp->rx_minrto = nodelay ? kRtoNoDelayMin : kRtoMin;
  }
  if (interval >= 0) {
    kcp->interval = std::clamp<uint32_t>(static_cast<uint32_t>(interval), kIntervalMin, kIntervalMax);
  }
  if (resend >= 0) kcp->fastresend = resend;
  if (nc >= 0) kcp->nocwnd = nc;
  return 0;
}

}  // namespace tavro::connect
