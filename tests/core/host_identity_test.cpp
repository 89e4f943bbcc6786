#include "core/host_identity.h"

#include <format>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/encoding.h"
#include "core/identity_key_standin.h"
#include "core/paths.h"
#include "core/durable_file.h"
#include "core/owner_only_security.h"
#include "core/text.h"
#include "support/log_capture.h"
#include "support/owner_only_check.h"
#include "support/p256_reference.h"
#include "support/process.h"
#include "support/recording_file_calls.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

struct ProfileGuard {
  explicit ProfileGuard(const std::wstring& dir) { SetProfileDir(dir); }
  ~ProfileGuard() { SetProfileDir(L""); }
};

std::map<std::string, std::string> RunProbe(const std::wstring& profile) {
  const test::ProcessResult result =
      test::RunProcess(L"\"" + test::SiblingExe(L"identity_probe.exe") + L"\" --profile \"" + profile + L"\"");
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0u) << result.out << result.err;
  std::map<std::string, std::string> fields;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

Digest32 ProbeDigest() {
  const std::string message = "tavro identity probe";
  return Sha256({reinterpret_cast<const uint8_t*>(message.data()), message.size()});
}

void ExpectValidSignature(const std::string& publicHex, const std::string& signatureHex) {
  const auto publicKey = HexDecode(publicHex);
  const auto signature = HexDecode(signatureHex);
  ASSERT_TRUE(publicKey && publicKey->size() == 65);
  ASSERT_TRUE(signature && signature->size() == 64);
  const Digest32 digest = ProbeDigest();
  const std::span<const uint8_t, 65> key(publicKey->data(), 65);
  const std::span<const uint8_t, 64> sig(signature->data(), 64);
  EXPECT_TRUE(EcdsaP256Verify(key, digest, sig));
  EXPECT_TRUE(test::P256Verify(key, digest, sig));
}

TEST(HostIdentityTest, KeyNameCarriesTheProfile) {
  SetProfileDir(L"");
  EXPECT_EQ(HostIdentity::KeyName(), L"tavro Host Identity");
  test::TempDir dir;
  std::wstring first, second;
  {
    ProfileGuard profile(dir.File(L"a"));
    first = HostIdentity::KeyName();
  }
  {
    ProfileGuard profile(dir.File(L"b"));
    second = HostIdentity::KeyName();
  }
  EXPECT_NE(first, second);
  for (const std::wstring& name : {first, second}) {
    ASSERT_EQ(name.size(), std::wstring(L"tavro Host Identity (profile 0123456789abcdef)").size());
    EXPECT_TRUE(name.starts_with(L"tavro Host Identity (profile "));
    EXPECT_TRUE(name.ends_with(L")"));
  }
}

TEST(HostIdentityTest, SameKeyAcrossProcessesAndOnePerProfile) {
  test::TempDir dir;
  const auto a1 = RunProbe(dir.File(L"profile-a"));
  const auto a2 = RunProbe(dir.File(L"profile-a"));
  const auto b = RunProbe(dir.File(L"profile-b"));
  ASSERT_EQ(a1.count("fingerprint"), 1u);
  ASSERT_EQ(b.count("fingerprint"), 1u);
  EXPECT_EQ(a1.at("fingerprint").size(), 16u);
  EXPECT_EQ(a1.at("fingerprint"), a2.at("fingerprint"));
  EXPECT_EQ(a1.at("public"), a2.at("public"));
  EXPECT_NE(a1.at("fingerprint"), b.at("fingerprint"));
  // With a profile only the software provider is used.
  EXPECT_EQ(a1.at("hardware"), "0");
  ExpectValidSignature(a1.at("public"), a1.at("signature"));
  ExpectValidSignature(a2.at("public"), a2.at("signature"));
  ExpectValidSignature(b.at("public"), b.at("signature"));
}

TEST(HostIdentityTest, SignsDigestsThatVerify) {
  test::TempDir dir;
  ProfileGuard profile(dir.File(L"profile"));
  HostIdentity identity;
  EXPECT_FALSE(identity.IsOpen());
  std::array<uint8_t, 64> signature{};
  EXPECT_FALSE(identity.Sign(ProbeDigest(), signature));
  ASSERT_TRUE(identity.Open());
  ASSERT_TRUE(identity.Open());  // already open
  EXPECT_FALSE(identity.hardware);
  EXPECT_EQ(identity.PublicKey()[0], 0x04);
  Digest32 digest = ProbeDigest();
  ASSERT_TRUE(identity.Sign(digest, signature));
  EXPECT_TRUE(EcdsaP256Verify(identity.PublicKey(), digest, signature));
  EXPECT_TRUE(test::P256Verify(identity.PublicKey(), digest, signature));
  digest[0] ^= 1;
  EXPECT_FALSE(EcdsaP256Verify(identity.PublicKey(), digest, signature));
  EXPECT_FALSE(test::P256Verify(identity.PublicKey(), digest, signature));

  // A second object in the same process finds the same key.
  HostIdentity again;
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(again.PublicKey(), identity.PublicKey());
}

// Where the platform has no persisted ECDSA keys the stand-in keeps the key; its
// file must never be silently replaced by a new key.
TEST(HostIdentityTest, StandInKeepsAnUnreadableKeyFile) {
  test::TempDir dir;
  ProfileGuard profile(dir.File(L"profile"));
  bool created = false;
  std::string error;
  auto first = IdentityKeyStandIn::OpenOrCreate(L"test key", created, error);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(created);
  auto second = IdentityKeyStandIn::OpenOrCreate(L"test key", created, error);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(created);
  EXPECT_EQ(second->PublicKey(), first->PublicKey());
  auto other = IdentityKeyStandIn::OpenOrCreate(L"other key", created, error);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other->PublicKey(), first->PublicKey());

  const std::wstring path = IdentityKeyStandIn::FilePath(L"test key");
  const std::string stored = test::ReadFileBytes(path);
  ASSERT_FALSE(stored.empty());
  ASSERT_TRUE(test::WriteFileBytes(path, "damaged"));
  EXPECT_EQ(IdentityKeyStandIn::OpenOrCreate(L"test key", created, error), nullptr);
  EXPECT_EQ(test::ReadFileBytes(path), "damaged");
  ASSERT_TRUE(test::WriteFileBytes(path, stored));
  auto restored = IdentityKeyStandIn::OpenOrCreate(L"test key", created, error);
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->PublicKey(), first->PublicKey());
}

TEST(HostIdentityTest, StandInFileIsForThisUserOnlyAndSaysSo) {
  test::TempDir dir;
  ProfileGuard profile(dir.File(L"profile"));
  test::LogCapture log(dir.File(L"host.log"));
  test::RecordingFileCalls recorder;
  HostIdentity identity;
  {
    ScopedFileCalls scoped(recorder);
    ASSERT_TRUE(identity.Open());
  }
  const std::wstring path = IdentityKeyStandIn::FilePath(HostIdentity::KeyName());
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "the platform keeps the key itself; no stand-in file";
  }
  // The temporary is created for this user only, and moved into place without
  // replacing a key another process stored first.
  const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
  const std::wstring temp = name + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  EXPECT_EQ(recorder.calls, (std::vector<std::wstring>{L"create " + temp + L" owner-only", L"write", L"flush", L"close",
                                                        L"move " + temp + L" " + name + L" keep"}));
  const std::string text = log.Text();
  const std::string line =
      "WARN  The PC's identity key is protected by file permissions only (Windows key storage cannot keep it here)";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.find(line), text.rfind(line));  // once
}

// Every way the key file can fail names the file and the Windows error in the error the
// host shows; an unusable file is never replaced.
TEST(HostIdentityTest, KeyFileFailuresNameThePathAndTheWindowsError) {
  struct Case {
    const char* what;
    // Sets up the profile folder; returns the file the error must name besides the key.
    std::function<std::wstring(const std::wstring& keyFile)> arrange;
    const char* says;
    uint32_t windowsError;
  };
  const std::wstring temporarySuffix = L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  const Case cases[] = {
      {"a folder planted where the key file goes",
       [](const std::wstring& keyFile) {
         EXPECT_TRUE(CreateDirectoryW(keyFile.c_str(), nullptr));
         return keyFile;
       },
       "cannot be read: ", ERROR_ACCESS_DENIED},
      {"a folder planted where the new key is written first",
       [&](const std::wstring& keyFile) {
         EXPECT_TRUE(CreateDirectoryW((keyFile + temporarySuffix).c_str(), nullptr));
         return keyFile + temporarySuffix;
       },
       "cannot be created (writing ", ERROR_ACCESS_DENIED},
      {"a key file that is not a key",
       [](const std::wstring& keyFile) {
         EXPECT_TRUE(test::WriteFileBytes(keyFile, "not sealed by this user"));
         return keyFile;
       },
       "cannot be unsealed for this user: ", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    ProfileGuard profile(dir.File(L"profile"));
    const std::wstring keyFile = IdentityKeyStandIn::FilePath(HostIdentity::KeyName());
    ASSERT_EQ(CreateFolderWithParents(ProfileDir()), 0u);
    const std::wstring named = c.arrange(keyFile);
    const std::string before = test::ReadFileBytes(keyFile);

    HostIdentity identity;
    ASSERT_FALSE(identity.Open());
    const std::string error = identity.Error();
    EXPECT_TRUE(error.starts_with("the identity key file \"" + WideToUtf8(keyFile) + "\" ")) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_NE(error.find(WideToUtf8(named)), std::string::npos) << error;
    if (c.windowsError != 0) {
      EXPECT_NE(error.find(std::format("0x{:08X} ", c.windowsError)), std::string::npos) << error;
    } else {
      EXPECT_NE(error.find(": 0x"), std::string::npos) << error;
    }
    EXPECT_EQ(test::ReadFileBytes(keyFile), before);  // nothing replaced
  }
}

TEST(OwnerOnlySecurityTest, OneEntryForTheCurrentUser) {
  OwnerOnlySecurity security;
  ASSERT_TRUE(security.valid());
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(security.Attributes()->lpSecurityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(test::OwnerOnlyProblem(dacl), "");
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(security.Attributes()->lpSecurityDescriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);  // nothing inherited from the folder
  EXPECT_FALSE(security.Attributes()->bInheritHandle);
}

}  // namespace
}  // namespace kelm
