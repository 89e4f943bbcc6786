#pragma once
// Reliable ordered delivery over datagrams: a small ARQ control block with the classic
// 24-byte little-endian segment header, compatible with other implementations on the wire.
// It keeps the C shape (ikcp_* calls on a control block) of the library the system names,
// so its tuning calls and its tests read as they do for that library.
//
// Portable (no Windows headers). Every call on one control block must be serialised by the
// caller; the output callback runs inside ikcp_flush/ikcp_update on the caller's thread.
#include <cstdint>
#include <deque>
#include <list>
#include <vector>

namespace tavro::connect {

// Segment header layout: conv u32, cmd u8, frg u8, wnd u16, ts u32, sn u32, una u32, len u32.
inline constexpr int kKcpOverhead = 24;
inline constexpr uint8_t kKcpCmdPush = 81;
inline constexpr uint8_t kKcpCmdAck = 82;
inline constexpr uint8_t kKcpCmdWask = 83;  // window probe: "tell me your window"
inline constexpr uint8_t kKcpCmdWins = 84;  // window announcement

// Results of ikcp_recv.
inline constexpr int kKcpRecvEmpty = -1;
inline constexpr int kKcpRecvIncomplete = -2;
inline constexpr int kKcpRecvBufferTooSmall = -3;
// Results of ikcp_send.
inline constexpr int kKcpSendBadLength = -1;
inline constexpr int kKcpSendTooManyFragments = -2;
// Results of ikcp_input.
inline constexpr int kKcpInputShort = -1;     // shorter than a header, or another conversation
inline constexpr int kKcpInputTruncated = -2; // header claims more payload than present
inline constexpr int kKcpInputBadCommand = -3;

struct IKCPCB;
using ikcpcb = IKCPCB;
using KcpOutput = int (*)(const char* buf, int len, ikcpcb* kcp, void* user);

struct KcpSegment {
  uint32_t conv = 0;
  uint8_t cmd = 0;
  uint8_t frg = 0;
  uint16_t wnd = 0;
  uint32_t ts = 0;
  uint32_t sn = 0;
  uint32_t una = 0;
  uint32_t resendts = 0;
  uint32_t rto = 0;
  uint32_t fastack = 0;
  uint32_t xmit = 0;
  std::vector<uint8_t> data;
};

struct IKCPCB {
  uint32_t conv = 0;
  uint32_t mtu = 1400;
  uint32_t mss = 1400 - kKcpOverhead;
  int32_t state = 0;  // -1 once a segment was sent dead_link times
  uint32_t snd_una = 0, snd_nxt = 0, rcv_nxt = 0;
  uint32_t ssthresh = 2;
  int32_t rx_rttval = 0, rx_srtt = 0, rx_rto = 200, rx_minrto = 100;
  uint32_t snd_wnd = 32, rcv_wnd = 128, rmt_wnd = 128, cwnd = 0, probe = 0;
  uint32_t current = 0, interval = 100, ts_flush = 100, xmit = 0;
  uint32_t nodelay = 0, updated = 0;
  uint32_t ts_probe = 0, probe_wait = 0;
  uint32_t dead_link = 20, incr = 0;
  int fastresend = 0;
  int fastlimit = 5;
  int nocwnd = 0;
  int stream = 0;  // 1: byte stream, sends are merged and boundaries are not kept
  // Our window reopened after it was announced closed: keep announcing it until data comes,
  // so one lost announcement does not leave the sender waiting for its next probe.
  bool tellReopened = false;
  std::deque<KcpSegment> snd_queue;
  std::list<KcpSegment> snd_buf;
  std::list<KcpSegment> rcv_buf;
  std::deque<KcpSegment> rcv_queue;
  std::vector<std::pair<uint32_t, uint32_t>> acklist;  // (sn, ts) to acknowledge
  std::vector<uint8_t> buffer;                          // flush assembly, up to one mtu
  void* user = nullptr;
  KcpOutput output = nullptr;
};

// Returns a new control block; release it with ikcp_release.
ikcpcb* ikcp_create(uint32_t conv, void* user);
void ikcp_release(ikcpcb* kcp);
void ikcp_setoutput(ikcpcb* kcp, KcpOutput output);
// Copies the next message (stream mode: the next segment) into buffer; returns its size or
// kKcpRecvEmpty / kKcpRecvIncomplete / kKcpRecvBufferTooSmall.
int ikcp_recv(ikcpcb* kcp, char* buffer, int len);
// Size of the next message, or a negative value when none is complete.
int ikcp_peeksize(const ikcpcb* kcp);
int ikcp_send(ikcpcb* kcp, const char* buffer, int len);
// current: milliseconds of a clock that may wrap at 32 bits.
void ikcp_update(ikcpcb* kcp, uint32_t current);
// When ikcp_update should next be called (same 32-bit clock).
uint32_t ikcp_check(const ikcpcb* kcp, uint32_t current);
int ikcp_input(ikcpcb* kcp, const char* data, long size);
void ikcp_flush(ikcpcb* kcp);
int ikcp_setmtu(ikcpcb* kcp, int mtu);
int ikcp_wndsize(ikcpcb* kcp, int sndwnd, int rcvwnd);
int ikcp_waitsnd(const ikcpcb* kcp);
int ikcp_nodelay(ikcpcb* kcp, int nodelay, int interval, int resend, int nc);

}  // namespace tavro::connect
