// The lock-screen client's trust check on the pipe of this session's real name: only a
// pipe owned by LocalSystem and served from this session is used.
#include "media/lock_screen_client.h"

#include <gtest/gtest.h>

#include "media/session_lock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_pipe.h"

namespace kelm::lockscreen {
namespace {

// The real name of this session: only one test program at a time may serve it.
class LockScreenTrustTest : public ::testing::Test {
 protected:
  const std::wstring name_ = LockScreenPipeName(OwnSessionId());
  test::TempDir dir_;
};

TEST_F(LockScreenTrustTest, DefaultDescriptorPipeIsRefusedOnceAndNeverWritten) {
  test::LogCapture log(dir_.File(L"trust.log"));
  LockScreenClient client;
  EXPECT_EQ(client.PipeName(), name_);
  for (int i = 0; i < 3; ++i) {
    WinHandle server = test::CreateLockPipeServer(name_, false);
    ASSERT_TRUE(server);
    EXPECT_EQ(client.Connect(), LockScreenClient::ConnectResult::Refused);
    const uint8_t key[3] = {1, 2, 3};
    client.SendInput(12, key, sizeof key);
    // The refused handle is closed: the server sees the end without a byte.
    EXPECT_TRUE(test::RawPipeReadSome(server.Get(), 1).empty());
  }
  const std::string text = log.Text();
  EXPECT_EQ(test::LogLines(text, "WARN", "Lock screen: ignoring \\\\.\\pipe\\tavro.LockScreen." + std::to_string(OwnSessionId()) +
                            " (not created by the tavro service)"),
            1u)
      << text;
  EXPECT_EQ(test::LogLines(text, "WARN", "Lock screen:"), 1u) << text;
}

TEST_F(LockScreenTrustTest, SystemOwnedPipeIsAccepted) {
  test::LogCapture log(dir_.File(L"trust.log"));
  WinHandle server = test::CreateLockPipeServer(name_, true);
  ASSERT_TRUE(server);
  LockScreenClient client;
  EXPECT_EQ(client.Connect(), LockScreenClient::ConnectResult::Connected);
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(log.Text().find("ignoring"), std::string::npos);
}

TEST_F(LockScreenTrustTest, ServerInAnotherSessionIsRefusedWithTheSameLine) {
  test::LogCapture log(dir_.File(L"trust.log"));
  WinHandle server = test::CreateLockPipeServer(name_, true);
  ASSERT_TRUE(server);
  LockScreenClient::Options options;
  options.trust.serverSession = [](HANDLE, uint32_t& session) {
    session = OwnSessionId() + 1;
    return true;
  };
  LockScreenClient client(options);
  EXPECT_EQ(client.Connect(), LockScreenClient::ConnectResult::Refused);
  EXPECT_TRUE(test::RawPipeReadSome(server.Get(), 1).empty());
  EXPECT_EQ(test::LogLines(log.Text(), "WARN", "Lock screen: ignoring \\\\.\\pipe\\tavro.LockScreen." +
                                  std::to_string(OwnSessionId()) + " (not created by the tavro service)"),
            1u);
}

}  // namespace
}  // namespace kelm::lockscreen
