// The loopback host and device that the session benchmarks drive.
#include "bench_host.h"

#include <winsock2.h>

#include "core/protocol.h"

namespace kelm::bench {

namespace {
constexpr size_t kWelcomeStatusOffset = 6;  // "KELM", version (u16), then the status byte
}

uint16_t FreeLoopbackPort() { return test::FreeLoopbackPort(); }

BenchHost::BenchHost() {
  if (!host_.Initialize(error_)) return;
  host_.SetPinAlwaysValid(true);
  options_.port = FreeLoopbackPort();
  options_.name = "Bench PC";
  options_.pin = kBenchPin;
  options_.useAdb = false;
  options_.discovery = false;
  options_.driver = false;
  options_.keepAwake = false;
  options_.forwardNotifications = false;
  ok_ = options_.port != 0 && host_.Start(options_);
  if (!ok_) error_ = "the host service did not start on port " + std::to_string(options_.port);
}

BenchHost::~BenchHost() { host_.Shutdown(); }

bool BenchDevice::Handshake(uint16_t port, bool pair) {
  Close();
  stream_ = test::ConnectTcp("127.0.0.1", port);
  if (!stream_) return Failed("could not connect to port " + std::to_string(port));
  stream_->SetReadTimeout(15000);
  client_ = std::make_unique<test::DeviceClient>(*stream_);
  test::HandshakeOptions options;
  options.name = "Bench tablet";
  if (pair) options.pairing = test::PairingCode{0, 0, kBenchPinText};
  const test::HandshakeOutcome outcome = client_->Handshake(identity_, options);
  if (outcome.hostProofValid && outcome.admissionReceived && outcome.admissionResult == 0) return true;
  if (outcome.errorCode) {
    return Failed("the handshake was refused (error " + std::to_string(*outcome.errorCode) + ": " +
                  outcome.errorText + ")");
  }
  if (!outcome.hostHello) return Failed("no HostHello (the connection closed or timed out)");
  if (!outcome.hostProofValid) return Failed("the host's proof did not verify");
  if (!outcome.admissionReceived) return Failed("no Admission record");
  return Failed("not admitted (result " + std::to_string(outcome.admissionResult) + ": " + outcome.admissionMessage +
                ")");
}

bool BenchDevice::HelloWelcome(const test::HelloFields& hello) {
  if (!Send(proto::MsgType::Hello, test::BuildHello(hello))) return Failed("sending Hello failed");
  uint8_t type = 0;
  test::Bytes payload;
  if (!Read(type, payload)) return Failed("no record after Hello (the connection closed or timed out)");
  if (type != static_cast<uint8_t>(proto::MsgType::Welcome)) {
    return Failed("record type " + std::to_string(type) + " instead of Welcome");
  }
  if (payload.size() <= kWelcomeStatusOffset || payload[kWelcomeStatusOffset] != 0) {
    return Failed("Welcome with status " +
                  (payload.size() > kWelcomeStatusOffset ? std::to_string(payload[kWelcomeStatusOffset]) : "missing"));
  }
  return true;
}

bool BenchDevice::Failed(std::string why) {
  error_ = std::move(why);
  return false;
}

void BenchDevice::Bye() {
  Send(proto::MsgType::Bye, {});
  Close();
}

void BenchDevice::Close() {
  client_.reset();
  stream_.reset();
}

bool BenchDevice::Send(proto::MsgType type, const test::Bytes& payload) {
  return client_ && client_->SendRecord(static_cast<uint8_t>(type), payload);
}

bool BenchDevice::SendTogether(proto::MsgType type, const std::vector<test::Bytes>& payloads) {
  if (!client_) return false;
  test::Bytes burst;
  for (const test::Bytes& payload : payloads) {
    const test::Bytes record = client_->SealRecord(static_cast<uint8_t>(type), payload);
    burst.insert(burst.end(), record.begin(), record.end());
  }
  return client_->SendRaw(burst);
}

bool BenchDevice::Read(uint8_t& type, test::Bytes& payload) { return client_ && client_->ReadRecord(type, payload); }

}  // namespace kelm::bench
