// The host's Welcome deadline against a display set-up that takes longer than it: the
// set-up has its own limit, and a paired device is welcomed rather than told it was removed.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "core/host_service.h"
#include "core/paths.h"
#include "display_test_support.h"
#include "fake_driver.h"
#include "media/session_display.h"
#include "simulated_displays.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;

class DisplayDeadlineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProfileDir(profile.Path());
    sim->Add(test::SimulatedDisplays::PcScreen(1, 0));
    fake->onAdd = [this](const test::FakeMonitor& m) {
      std::lock_guard lock(mutex);
      targets[m.monitorId] = m.targetId;
      test::SimMonitor v = test::SimulatedDisplays::VirtualMonitor(m.targetId, 1920);
      v.adapter = m.adapter;
      sim->Add(v);
    };
    fake->onRemove = [this](uint32_t id) {
      std::lock_guard lock(mutex);
      sim->RemoveTarget(targets[id]);
    };
  }
  void TearDown() override { SetProfileDir(L""); }

  // Runs a host whose displays come from the fake driver, pairs one device in extend mode
  // and returns the Welcome's status (0xFF: none).
  uint8_t Welcome(uint32_t welcomeDeadlineMs, uint32_t displaySetupMs) {
    SessionParts parts;
    parts.display = [this](VirtualDisplayDriver&, const std::string& label) {
      return std::make_unique<SessionDisplay>(driver, label);
    };
    SessionTiming timing;
    timing.welcomeDeadlineMs = welcomeDeadlineMs;
    timing.displaySetupMs = displaySetupMs;
    HostService host(parts, timing);
    std::string error;
    EXPECT_TRUE(host.Initialize(error)) << error;
    host.SetPinAlwaysValid(true);
    HostOptions options;
    options.port = static_cast<uint16_t>(35000 + GetCurrentProcessId() % 2000);
    options.name = "DL";
    options.pin = 123456;
    options.useAdb = false;
    options.discovery = false;
    options.driver = true;
    EXPECT_TRUE(host.Start(options));
    uint8_t status = 0xFF;
    auto stream = test::ConnectTcp("127.0.0.1", options.port);
    if (stream) {
      test::DeviceClient client(*stream);
      test::HandshakeOptions o;
      o.pairing = test::PairingCode{0, 0, "123456"};
      test::DeviceIdentity identity;
      test::HelloFields hello;
      hello.displayMode = 0;  // extend: a virtual monitor is made
      stream->SetReadTimeout(15000);
      if (client.Handshake(identity, o).admissionResult == 0 && client.SendRecord(1, test::BuildHello(hello))) {
        uint8_t type = 0;
        Bytes payload;
        if (client.ReadRecord(type, payload) && type == 2 && payload.size() > 6) status = payload[6];
      }
      client.SendRecord(40, {});
    }
    host.Shutdown();
    return status;
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  test::ScopedRegistryKey registry;
  test::ScopedSimulatedDisplays sim;
  std::shared_ptr<test::FakeDriver> fake = std::make_shared<test::FakeDriver>();
  VirtualDisplayDriver driver{fake};
  std::mutex mutex;
  std::map<uint32_t, uint32_t> targets;
};

TEST_F(DisplayDeadlineTest, ASlowDisplaySetUpOutlastsTheWelcomeDeadline) {
  fake->requestDelayMs = 1500;  // adding the monitor takes longer than either limit
  EXPECT_EQ(Welcome(800, 30000), 0);
  const std::string text = log.Text();
  EXPECT_EQ(text.find("no longer paired"), std::string::npos) << text;
  EXPECT_EQ(text.find("no Welcome within"), std::string::npos) << text;
}

TEST_F(DisplayDeadlineTest, TheDisplaySetUpHasALimitOfItsOwn) {
  fake->requestDelayMs = 1500;
  EXPECT_NE(Welcome(10000, 700), 0);
  const std::string text = log.Text();
  EXPECT_NE(text.find("the display set-up took longer than 700 ms - closing the connection"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("no longer paired"), std::string::npos) << text;
}

}  // namespace
}  // namespace kelm
