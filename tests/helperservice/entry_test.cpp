// The command line of tavroHelper without a service manager behind it: the message box
// for anything unknown, "--service" from a shell, and a refused service manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "service_control.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace kelm::service {
namespace {

using test::RunProcess;
using test::SiblingExe;
using test::TempDir;

// Each run checks a private data folder, never the prefix's own.
class HelperEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", programData_.Path().c_str())); }
  std::wstring Helper(const std::wstring& args) const { return L"\"" + SiblingExe(L"tavroHelper.exe") + L"\"" + args; }
  std::string ServiceLog() const { return test::ReadFileBytes(programData_.Path() + L"\\tavro\\service.log"); }
  TempDir programData_;
};

TEST_F(HelperEntryTest, UnknownOrMissingArgumentShowsTheBoxAndExitsTwoAfterOk) {
  for (const std::wstring args : {L"", L" --Install", L" --bogus --install"}) {
    SCOPED_TRACE(std::string(args.begin(), args.end()));
    test::ProcessResult box;
    std::thread presser([&] { box = RunProcess(L"\"" + SiblingExe(L"service_probe.exe") + L"\" press-box 30", 40000); });
    const test::ProcessResult helper = RunProcess(Helper(args), 40000);
    presser.join();
    const auto found = nlohmann::json::parse(box.out, nullptr, false);
    ASSERT_TRUE(found.is_object()) << box.out;
    EXPECT_EQ(found["found"], true);
    EXPECT_EQ(found["text"], "This is a helper of tavro and is started by Windows.");
    EXPECT_FALSE(helper.timedOut);
    EXPECT_EQ(helper.exitCode, 2u);
  }
}

TEST_F(HelperEntryTest, ServiceFromAShellExitsOneAfterTheFolderCheck) {
  const test::ProcessResult r = RunProcess(Helper(L" --service"));
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_TRUE(test::FileExists(programData_.Path() + L"\\tavro\\service.log"));
}

TEST_F(HelperEntryTest, RefusedServiceManagerNamesAdministrator) {
  TempDir logs;
  test::LogCapture log(logs.File(L"log.txt"));
  const auto refuse = [](DWORD) -> SC_HANDLE {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  };
  EXPECT_EQ(InstallService(refuse), 1);
  EXPECT_NE(log.Text().find("ERROR Opening the service manager failed: 5 (run as administrator)"), std::string::npos)
      << log.Text();
  EXPECT_EQ(RemoveOrStopService(true, refuse), 1);
}

}  // namespace
}  // namespace kelm::service
