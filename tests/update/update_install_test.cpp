// DownloadInstaller and CheckSameSigner against the local update site, with programs
// signed in the test by osslsigncode.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/temp_dir.h"
#include "core/encoding.h"
#include "update/hash_open_file.h"
#include "update/installer_download.h"
#include "update/signer.h"
#include "update/site_test_base.h"
#include "core/win_handle.h"

namespace kelm::test {
namespace {

update::Manifest ManifestFor(const std::string& url, const std::string& bytes) {
  update::Manifest manifest;
  manifest.channel = "stable";
  manifest.version = Version{1, 2, 0};
  manifest.url = url;
  manifest.size = bytes.size();
  const auto digest = Sha256Hex(bytes);
  for (size_t i = 0; i < 32; ++i) manifest.sha256[i] = static_cast<uint8_t>(std::stoi(digest.substr(2 * i, 2), nullptr, 16));
  return manifest;
}

TEST(HashOpenFileTest, HashesTheWholeFileFromItsStartInPieces) {
  TempDir dir;
  std::string bytes((5 << 20) / 2 + 3, '\0');  // 2.5 MiB and 3 bytes: three reads and a short one
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 12));
  for (const std::string& content : {std::string(), std::string("x"), bytes}) {
    const std::wstring path = dir.File(L"f.bin");
    ASSERT_TRUE(WriteFileBytes(path, content));
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER end{};
    SetFilePointerEx(file.Get(), end, nullptr, FILE_END);  // it starts from the beginning anyway
    std::array<uint8_t, 32> digest{};
    uint64_t size = 99;
    ASSERT_TRUE(update::HashOpenFile(file.Get(), digest, size));
    EXPECT_EQ(size, content.size());
    EXPECT_EQ(HexEncode(digest), Sha256Hex(content)) << content.size();
  }
  // A handle opened without read access fails.
  WinHandle writeOnly(CreateFileW(dir.File(L"f.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr));
  std::array<uint8_t, 32> digest{};
  uint64_t size = 0;
  EXPECT_FALSE(update::HashOpenFile(writeOnly.Get(), digest, size));
}

using DownloadInstallerTest = UpdateSiteTest;

TEST_F(DownloadInstallerTest, SavesOnlyAfterSizeAndDigestMatch) {
  TempDir dir;
  const std::wstring target = dir.File(L"tavro-Setup-1.2.0.exe");
  const UpdaterConfig config = SiteConfig();
  const std::string body(70000, 'i');
  ASSERT_TRUE(UpdateSite::WriteFile(Path("files/good.exe"), body));
  std::string error;

  // One byte short, though the digest is that of the short body.
  const std::string shortBody = body.substr(1);
  ASSERT_TRUE(UpdateSite::WriteFile(Path("files/short.exe"), shortBody));
  update::Manifest manifest = ManifestFor(Base() + "/files/short.exe", shortBody);
  manifest.size = body.size();
  ASSERT_TRUE(WriteFileBytes(target, "old"));
  EXPECT_FALSE(update::DownloadInstaller(config, manifest, target, error, {}, nullptr));
  EXPECT_EQ(error, "the installer has the wrong size");
  EXPECT_EQ(ReadFileBytes(target), "old");

  manifest = ManifestFor(Base() + "/files/good.exe", body);
  manifest.sha256[7] ^= 1;
  EXPECT_FALSE(update::DownloadInstaller(config, manifest, target, error, {}, nullptr));
  EXPECT_EQ(error, "the installer's SHA-256 doesn't match the manifest");
  EXPECT_EQ(ReadFileBytes(target), "old");

  manifest = ManifestFor(Base() + "/files/missing.exe", body);
  EXPECT_FALSE(update::DownloadInstaller(config, manifest, target, error, {}, nullptr));
  EXPECT_EQ(error, "installer: HTTP 404");

  // An existing file is replaced.
  manifest = ManifestFor(Base() + "/files/good.exe", body);
  uint64_t lastTotal = 0;
  ASSERT_TRUE(update::DownloadInstaller(config, manifest, target, error,
                                        [&](uint64_t, uint64_t total) { lastTotal = total; }, nullptr))
      << error;
  EXPECT_TRUE(ReadFileBytes(target) == body);
  EXPECT_EQ(lastTotal, body.size());

  // One held open elsewhere can be neither deleted nor created anew.
  WinHandle other(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(other);
  EXPECT_FALSE(update::DownloadInstaller(config, manifest, target, error, {}, nullptr));
  EXPECT_EQ(error, "saving the installer failed (32)");
}

// Signed copies of the fake installer, made once per test program.
class SignerTest : public UpdateSiteTest {
 protected:
  void SetUp() override {
    UpdateSiteTest::SetUp();
    if (IsSkipped()) return;
    const std::string program = ReadFileBytes(SiblingExe(L"fake_installer.exe"));
    ASSERT_FALSE(program.empty());
    ASSERT_TRUE(UpdateSite::WriteFile(Path("unsigned.exe"), program));
    ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("ours.exe"), "signer"));
    ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("ours-too.exe"), "signer"));
    ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("other.exe"), "other-signer"));
    std::string flipped = ReadFileBytes(UpdateSite::FilePath(Path("ours.exe")));
    ASSERT_GT(flipped.size(), 4096u);
    flipped[1500] ^= 0x20;
    ASSERT_TRUE(UpdateSite::WriteFile(Path("flipped.exe"), flipped));
  }
  std::wstring File(const std::string& name) const { return UpdateSite::FilePath(Path(name)); }
};

TEST_F(SignerTest, SameSignerOnly) {
  auto name = update::SignerName(File("ours.exe"));
  ASSERT_TRUE(name);
  EXPECT_EQ(*name, L"tavro Test Signer");
  EXPECT_EQ(*update::SignerName(File("other.exe")), L"Other Signer");
  EXPECT_FALSE(update::SignerName(File("unsigned.exe")));
  EXPECT_FALSE(update::SignerName(File("flipped.exe")));

  std::string error;
  // An unsigned running program accepts anything, even an unsigned installer.
  EXPECT_TRUE(update::CheckSameSigner(File("unsigned.exe"), File("unsigned.exe"), error));
  EXPECT_TRUE(update::CheckSameSigner(File("other.exe"), File("unsigned.exe"), error));
  EXPECT_TRUE(update::CheckSameSigner(File("ours-too.exe"), File("ours.exe"), error)) << error;
  EXPECT_FALSE(update::CheckSameSigner(File("other.exe"), File("ours.exe"), error));
  EXPECT_EQ(error, "the update is signed by 'Other Signer', not 'tavro Test Signer'");
  for (const char* bad : {"unsigned.exe", "flipped.exe"}) {
    error.clear();
    EXPECT_FALSE(update::CheckSameSigner(File(bad), File("ours.exe"), error)) << bad;
    EXPECT_EQ(error, "the update isn't signed") << bad;
  }
  // An untrusted chain (which Wine doesn't check) through the trust seam.
  const std::wstring installer = File("ours-too.exe");
  const update::TrustAnswer untrusted = [&](const std::wstring& file, long answer) {
    return file == installer ? static_cast<long>(0x800B0109) : answer;  // CERT_E_UNTRUSTEDROOT
  };
  EXPECT_FALSE(update::CheckSameSigner(installer, File("ours.exe"), error, untrusted));
  EXPECT_EQ(error, "the update isn't signed");
}

}  // namespace
}  // namespace kelm::test
