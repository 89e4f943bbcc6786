#pragma once
// The fixture of the tests that run against the local update site: a folder of the
// site's own per test, and the signed manifest written into it.
#include <gtest/gtest.h>

#include <string>

#include "update/site_client.h"
#include "update/update_config.h"

namespace kelm::test {

class UpdateSiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UpdateSite::Available()) GTEST_SKIP() << "needs the local update site (update_site_driver.py)";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = UpdateSite::MakeFolder(std::string(info->test_suite_name()) + "-" + info->name());
  }

  const std::string& Folder() const { return folder_; }
  // The site base of this test, with optional scripting segments before the folder.
  std::string Base(const std::string& segments = "") const {
    return UpdateSite::HttpBase() + segments + "/" + folder_;
  }
  std::string Path(const std::string& name) const { return folder_ + "/" + name; }

  // Writes the channel's manifest (and its signature) for an installer of `bytes`.
  void Publish(const std::string& channel, const std::string& version, const std::string& bytes,
               const std::string& extra = "", const std::string& installerSegments = "",
               const std::string& manifestChannel = "") {
    const std::string file = installerSegments + "tavro-Setup-" + version + ".exe";
    ASSERT_TRUE(UpdateSite::WriteFile(Path("files/tavro-Setup-" + version + ".exe"), bytes));
    const std::string manifest =
        ManifestText(Base(), manifestChannel.empty() ? channel : manifestChannel, version, file, bytes, extra);
    const std::string name = Path(channel + "/windows/latest.json");
    ASSERT_TRUE(UpdateSite::WriteFile(name, manifest));
    ASSERT_FALSE(UpdateSite::Sign(name).empty());
  }

  UpdaterConfig SiteConfig(const std::string& segments = "") const {
    UpdaterConfig config;
    config.site = Base(segments);
    config.publicKey = UpdateSite::KeyFile("update.pub.txt");
    config.siteOverridden = true;
    config.test.servicePipeName = L"\\\\.\\pipe\\tavro.test.noservice." + std::to_wstring(GetCurrentProcessId());
    return config;
  }

 private:
  std::string folder_;
};

}  // namespace kelm::test
