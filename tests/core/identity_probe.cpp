// Opens the PC identity key in a fresh process (optionally under --profile DIR),
// signs a fixed digest and prints the results, so tests can compare runs.
#include <cstdio>
#include <string>

#include "core/encoding.h"
#include "core/host_identity.h"
#include "core/paths.h"

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == L"--profile") {
      kelm::SetProfileDir(argv[i + 1]);
    }
  }
  kelm::HostIdentity identity;
  if (!identity.Open()) {
    std::printf("open failed: %s\n", identity.Error().c_str());
    return 2;
  }
  const std::string message = "tavro identity probe";
  const kelm::Digest32 digest = kelm::Sha256({reinterpret_cast<const uint8_t*>(message.data()), message.size()});
  std::array<uint8_t, 64> signature{};
  if (!identity.Sign(digest, signature)) {
    std::printf("sign failed\n");
    return 3;
  }
  std::printf("fingerprint=%s\npublic=%s\nsignature=%s\nhardware=%d\n",
              kelm::KeyFingerprint(identity.PublicKey()).c_str(), kelm::HexEncode(identity.PublicKey()).c_str(),
              kelm::HexEncode(signature).c_str(), identity.hardware ? 1 : 0);
  std::fflush(stdout);
  return 0;
}
