// The host service in this process, with devices connecting over loopback TCP.
#include "core/host_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "core/log.h"
#include "core/paths.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;

class HostServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    host.SetPinAlwaysValid(true);
    options.port = static_cast<uint16_t>(33000 + GetCurrentProcessId() % 2000);
    options.name = "HS";
    options.pin = 123456;
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
  }
  void TearDown() override {
    host.Shutdown();
    SetProfileDir(L"");
  }
  std::string LogText() { return log.Text(); }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  // A device that pairs with the PIN and stays connected after its Welcome.
  struct Device {
    test::DeviceIdentity identity;
    std::unique_ptr<test::TestTcpStream> stream;
    std::unique_ptr<test::DeviceClient> client;
  };
  bool Connect(Device& d, uint32_t receiveBufferBytes = 0) {
    d.stream = test::ConnectTcp("127.0.0.1", options.port, 5000, receiveBufferBytes);
    if (!d.stream) return false;
    d.client = std::make_unique<test::DeviceClient>(*d.stream);
    test::HandshakeOptions o;
    o.pairing = test::PairingCode{0, 0, "123456"};
    if (d.client->Handshake(d.identity, o).admissionResult != 0) return false;
    if (!d.client->SendRecord(1, test::BuildHello({}))) return false;
    uint8_t type = 0;
    Bytes payload;
    return d.client->ReadRecord(type, payload) && type == 2 && payload[6] == 0;
  }
  void WaitForSessions(size_t n) {
    for (int i = 0; i < 200 && host.GetStatus().sessions.size() != n; ++i) Sleep(25);
    EXPECT_EQ(host.GetStatus().sessions.size(), n);
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  HostService host{SessionParts{}};  // no capture, injection or audio
  HostOptions options;
};

TEST(HostServicePinTest, NewPinIsAlwaysSixDigits) {
  for (int i = 0; i < 2000; ++i) {
    const uint32_t pin = HostService::NewPin();
    ASSERT_GE(pin, 100000u);
    ASSERT_LE(pin, 999999u);
  }
}

TEST_F(HostServiceTest, BusyPortRestartsAndTheDriverNotice) {
  ASSERT_TRUE(host.Start(options));
  ASSERT_TRUE(host.Start(options));  // Start while running stops first
  HostService second;
  std::string error;
  ASSERT_TRUE(second.Initialize(error));
  EXPECT_FALSE(second.Start(options));
  const HostService::Status status = second.GetStatus();
  EXPECT_FALSE(status.running);
  EXPECT_EQ(status.lastError, std::format("Cannot listen on TCP port {} (already in use?)", options.port));
  EXPECT_EQ(host.SendFiles(0, {L"C:\\a.txt"}), "");
  const std::string log = LogText();
  EXPECT_EQ(Count(log, "INFO  Host stopped"), 1u);
  // Once per host service: the first service logged it once over two starts, the second once.
  EXPECT_EQ(Count(log, "Display driver disabled - only mirror mode is available."), 2u);
  EXPECT_NE(log.find(std::format("ERROR Cannot listen on TCP port {} (already in use?)", options.port)),
            std::string::npos);
}

TEST_F(HostServiceTest, NinthSessionIsRejectedUntilOneEnds) {
  ASSERT_TRUE(host.Start(options));
  std::vector<std::unique_ptr<Device>> devices;
  for (int i = 0; i < 8; ++i) {
    devices.push_back(std::make_unique<Device>());
    ASSERT_TRUE(Connect(*devices.back())) << i;
  }
  WaitForSessions(8);
  EXPECT_NE(LogText().find("INFO  Keeping the PC awake while a tablet is connected"), std::string::npos);

  Device ninth;
  EXPECT_FALSE(Connect(ninth));
  EXPECT_NE(LogText().find("WARN  Rejecting connection from "), std::string::npos);

  ASSERT_TRUE(devices[0]->client->SendRecord(40, {}));
  WaitForSessions(7);
  Device tenth;
  EXPECT_TRUE(Connect(tenth));
  WaitForSessions(8);
  EXPECT_EQ(host.GetStatus().sessions[0].deviceName, "Hello tablet");

  host.Stop();
  EXPECT_TRUE(host.GetStatus().sessions.empty());
  EXPECT_NE(LogText().find("INFO  The PC may sleep again"), std::string::npos);
}

TEST_F(HostServiceTest, DeviceThatStopsReadingIsDroppedAndOthersAreServed) {
  options.sendTimeoutMs = 500;
  ASSERT_TRUE(host.Start(options));
  Device stalled;
  Device healthy;
  // Several megabytes of pongs fit in the loopback buffers before a send blocks;
  // filling them takes a while under Wine, so the device also asks for a small
  // receive buffer.
  ASSERT_TRUE(Connect(stalled, 4096));
  ASSERT_TRUE(Connect(healthy));
  WaitForSessions(2);

  // The healthy device pings and reads each pong.
  uint8_t pings = 0;
  auto healthyRoundTrip = [&] {
    ++pings;
    if (!healthy.client->SendRecord(30, {pings, 0, 0, 0, 0, 0, 0, 0})) return false;
    uint8_t type = 0;
    Bytes payload;
    do {
      if (!healthy.client->ReadRecord(type, payload)) return false;
    } while (type != 31);
    return payload[0] == pings;
  };

  // The stalled device sends pings as fast as it can and never reads the pongs:
  // once the buffers are full, the host's pong cannot leave.
  std::atomic<uint64_t> sent{0};
  std::thread flood([&] {
    const Bytes ping = {1, 2, 3, 4, 5, 6, 7, 8};
    while (sent < 4000000 && stalled.client->SendRecord(30, ping)) ++sent;
  });
  bool dropped = false;
  bool served = true;
  const ULONGLONG start = GetTickCount64();
  while (!dropped && served && GetTickCount64() - start < 60000) {
    Sleep(50);
    served = healthyRoundTrip();
    dropped = host.GetStatus().sessions.size() == 1;
  }
  stalled.stream->Shutdown();  // ends the flood if the host never closed the connection
  flood.join();
  ASSERT_TRUE(served) << "the healthy device was not served; " << sent << " pings sent";
  ASSERT_TRUE(dropped) << "the stalled device was never dropped; " << sent << " pings sent";
  EXPECT_LT(sent.load(), 4000000u);  // the host closed the connection under the flood
  EXPECT_NE(LogText().find("sending to the device failed or timed out - closing the connection"), std::string::npos);

  // The other device is still served, and is the one left.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(healthyRoundTrip());
  ASSERT_EQ(host.GetStatus().sessions.size(), 1u);
  std::printf("stalled device dropped after %llu ms and %llu pings\n",
              static_cast<unsigned long long>(GetTickCount64() - start), static_cast<unsigned long long>(sent.load()));
}

}  // namespace
}  // namespace kelm
