// Relay set-ups through real ICE on 127.0.0.1: from the relay's connect request to the
// host's answer, to a working ICE path and to the Welcome of a pre-paired phone, and the
// record throughput of a session on such a path.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench.h"
#include "bench_host.h"
#include "bench_ice_device.h"
#include "bench_profile.h"
#include "bench_relay_server.h"
#include "bench_timing.h"
#include "record_throughput.h"
#include "connect/base64url.h"
#include "connect/connect_client.h"
#include "core/crypto.h"
#include "core/host_service.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "core/secure_channel.h"
#include "support/device_client.h"
#include "support/temp_dir.h"

namespace kelm::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kSetUps = 10;
constexpr int kWaitMs = 15000;
constexpr double kSeconds = 2.0;
constexpr uint8_t kHelloType = 1;
constexpr uint8_t kWelcomeType = 2;
constexpr uint8_t kByeType = 40;

bool Failed(std::string& why, std::string text) {
  why = std::move(text);
  return false;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Relay and ICE settings for loopback: no STUN server, host candidates on 127.0.0.1.
ConnectClient::Options LoopbackSettings() {
  ConnectClient::Options s;
  s.defaultStun = "";
  s.iceBindAddress = "127.0.0.1";
  return s;
}

std::string ConnectRequest(const std::string& id, const test::DeviceIdentity& phone, const std::string& offer) {
  return Json{{"type", "connect"},
              {"requestId", id},
              {"phoneId", PublicKeyId(phone.PublicKey())},
              {"offer", offer},
              {"phonePublicKey", Base64UrlEncode(phone.PublicKey())}}
      .dump();
}

// The host's answer to `id` from the relay's queue, or nothing.
std::optional<std::string> AnswerFrom(BenchRelayServer& relay, const std::string& id) {
  while (const auto text = relay.NextFromPc(kWaitMs)) {
    const Json j = Json::parse(*text, nullptr, false);
    if (j.is_object() && j.value("requestId", "") == id) {
      if (j.value("type", "") != "answer") return std::nullopt;
      return j.value("answer", "");
    }
  }
  return std::nullopt;
}

struct SetUpTimes {
  std::vector<double> toAnswer, toIce, toWelcome;
};

// One set-up through the host service: false when any step failed.
bool SetUpOnce(BenchRelayServer& relay, HostService& host, const test::DeviceIdentity& phone, int n,
               SetUpTimes& times, std::string& why) {
  IceDeviceStream device;
  const std::string offer = device.Valid() ? device.Offer() : std::string();
  if (offer.empty()) return Failed(why, "the phone's agent gathered nothing");
  const std::string id = "bench-" + std::to_string(n);
  const auto start = Clock::now();
  if (!relay.SendToPc(ConnectRequest(id, phone, offer))) return Failed(why, "the relay lost the PC");
  const std::optional<std::string> answer = AnswerFrom(relay, id);
  if (!answer) return Failed(why, "no answer");
  times.toAnswer.push_back(Ms(Clock::now() - start));
  if (!device.SetAnswer(*answer)) return Failed(why, "the answer was refused");
  const auto connected = device.WaitConnected(std::chrono::milliseconds(kWaitMs));
  if (!connected) return Failed(why, "no ICE path");
  times.toIce.push_back(Ms(*connected - start));

  device.SetReadTimeout(kWaitMs);
  test::DeviceClient client(device);
  const test::HandshakeOutcome outcome = client.Handshake(phone, {});
  if (outcome.admissionResult != 0) return Failed(why, "not admitted: " + outcome.admissionMessage);
  uint8_t type = 0;
  test::Bytes payload;
  if (!client.SendRecord(kHelloType, test::BuildHello({})) || !client.ReadRecord(type, payload) ||
      type != kWelcomeType) {
    return Failed(why, "no Welcome");
  }
  times.toWelcome.push_back(Ms(Clock::now() - start));

  client.SendRecord(kByeType, {});
  const auto until = Clock::now() + 10s;
  while (!host.GetStatus().sessions.empty()) {
    if (Clock::now() > until) return Failed(why, "the session did not end after Bye");
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The host's record layer on a stream the relay client handed over, both ways.
bool RelayRecordThroughput(BenchRelayServer& relay, Pairing& pairing, const test::DeviceIdentity& phone,
                      double& toDevice, double& toHost, std::string& why) {
  std::promise<std::unique_ptr<ByteStream>> handed;
  std::once_flag once;
  ConnectClient client(pairing, "1.0.0", [&](std::unique_ptr<ByteStream> stream, const std::string&) {
    std::call_once(once, [&] { handed.set_value(std::move(stream)); });
    return true;
  });
  client.SetOptions(LoopbackSettings());
  client.Configure(true, "ws://127.0.0.1:" + std::to_string(relay.Port()));
  if (!relay.WaitSignIns(2, kWaitMs)) return Failed(why, "the relay client did not sign in");

  IceDeviceStream device;
  const std::string offer = device.Valid() ? device.Offer() : std::string();
  if (offer.empty()) return Failed(why, "the phone's agent gathered nothing");
  if (!relay.SendToPc(ConnectRequest("bench-records", phone, offer))) return Failed(why, "the relay lost the PC");
  const std::optional<std::string> answer = AnswerFrom(relay, "bench-records");
  if (!answer || !device.SetAnswer(*answer)) return Failed(why, "no usable answer");
  auto future = handed.get_future();
  if (future.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
    return Failed(why, "no stream handed over");
  }
  std::unique_ptr<ByteStream> hostEnd = future.get();

  SecureChannel channel;
  HandshakeResult result;
  auto accepted = std::async(std::launch::async, [&] {
    const auto r = channel.Accept(*hostEnd, "relay bench", pairing, true, result);
    return r == decltype(r){};  // the first result value is "admitted"
  });
  device.SetReadTimeout(kWaitMs);
  test::DeviceClient deviceClient(device);
  const bool admitted = deviceClient.Handshake(phone, {}).admissionResult == 0;
  if (!accepted.get() || !admitted) return Failed(why, "the handshake failed");

  toDevice = RecordThroughput(kSeconds,
      [&](uint8_t type, const std::vector<uint8_t>& p) { return channel.WriteRecord(*hostEnd, type, p.data(), p.size()); },
      [&](uint8_t& type, std::vector<uint8_t>& p) { return deviceClient.ReadRecord(type, p); });
  toHost = RecordThroughput(kSeconds,
      [&](uint8_t type, const std::vector<uint8_t>& p) { return deviceClient.SendRecord(type, p); },
      [&](uint8_t& type, std::vector<uint8_t>& p) {
        return channel.ReadRecord(*hostEnd, type, p, SecureChannel::kMaxRecordPayload);
      });
  device.Shutdown();
  hostEnd.reset();
  client.Configure(false, "");
  if (toDevice == 0 || toHost == 0) return Failed(why, "a record stream broke");
  return true;
}

void RelaySetUpBench(BenchOut& out) {
  BenchRelayServer relay;
  relay.SetReadyIceServers("[]");
  if (!relay.Start()) return out.Fail("connect.relay: the local relay did not start");
  ScopedBenchProfile profile;  // a store of its own
  test::DeviceIdentity phone;
  SetUpTimes times;
  std::string why;
  bool ok = true;
  {
    HostService host{SessionParts{}};
    std::string error;
    if (!host.Initialize(error)) return out.Fail("connect.relay: " + error);
    host.PairingStore().AddDevice(phone.PublicKey(), "Bench phone");
    host.SetConnectOptions(LoopbackSettings());
    HostOptions options;
    options.port = FreeLoopbackPort();
    options.name = "Bench PC";
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.keepAwake = false;
    options.forwardNotifications = false;
    options.connectEnabled = true;
    options.connectServer = "ws://127.0.0.1:" + std::to_string(relay.Port());
    if (!host.Start(options) || !relay.WaitSignIns(1, kWaitMs)) {
      ok = false;
      why = "the host did not sign in";
    }
    while (ok && host.GetStatus().connect.state != ConnectClient::State::Online) std::this_thread::sleep_for(1ms);
    for (int i = 0; ok && i < kSetUps; ++i) ok = SetUpOnce(relay, host, phone, i, times, why);
    host.Shutdown();
  }
  double toDevice = 0, toHost = 0;
  if (ok) {
    Pairing pairing;  // the same store, now the host has let it go
    ok = pairing.Load();
    if (!ok) why = "the paired-device store did not load";
    if (ok) ok = RelayRecordThroughput(relay, pairing, phone, toDevice, toHost, why);
  }
  if (!ok) return out.Fail("connect.relay: " + why);
  out.Figure("connect.relay.setup_to_answer.median", Quantile(times.toAnswer, 0.5), "ms");
  out.Figure("connect.relay.setup_to_ice_connected.median", Quantile(times.toIce, 0.5), "ms");
  out.Figure("connect.relay.setup_to_welcome.median", Quantile(times.toWelcome, 0.5), "ms");
  out.Figure("connect.relay.records_throughput", toDevice, "MB/s");
  out.Figure("connect.relay.records_throughput_to_host", toHost, "MB/s");
  // Beside the ICE stream's own goodput when this run measured it first
  // (`tavro-bench connect.ice_stream connect.relay`): the record layer's share of it.
  if (const auto goodput = out.Reported("connect.ice_stream.goodput_0"); goodput && *goodput > 0) {
    const double goodputMegabytes = *goodput / 8;  // Mbit/s to MB/s, both decimal
    out.Figure("connect.relay.records_throughput.of_ice_goodput_0", toDevice / goodputMegabytes, "x");
    out.Figure("connect.relay.records_throughput_to_host.of_ice_goodput_0", toHost / goodputMegabytes, "x");
  }
}

}  // namespace

TAVRO_BENCH("connect.relay", RelaySetUpBench);

}  // namespace kelm::bench
