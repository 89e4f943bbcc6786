// Verifies a manifest's detached signature with the update key.
#include "update/manifest_signature.h"

#include <windows.h>

#include <exception>

#include "connect/base64url.h"
#include "core/cng_handles.h"
#include "core/crypto.h"
#include "update/manifest.h"
#include "update/update_key.h"

namespace kelm::update {
namespace {
constexpr std::string_view kSignedPrefix = "tavro-update/1\n";
}

std::string_view UpdatePublicKey() { return kBuiltInUpdateKey; }

bool VerifyManifestSignature(std::string_view manifest, std::string_view signature, std::string_view keyText) {
  if (manifest.size() > kManifestMaxBytes || signature.size() > kSignatureMaxChars) return false;
  while (!signature.empty() && (signature.back() == ' ' || signature.back() == '\r' || signature.back() == '\n')) {
    signature.remove_suffix(1);
  }
  const auto rs = Base64UrlDecode(signature);
  const auto key = Base64UrlDecode(keyText);
  if (!rs || rs->size() != 64 || !key || key->size() != 65) return false;
  try {
    const ByteRange parts[] = {
        ByteRange(reinterpret_cast<const uint8_t*>(kSignedPrefix.data()), kSignedPrefix.size()),
        ByteRange(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()),
    };
    const Digest32 digest = CngDigest(cng::Sha256Alg(), {}, parts);
    return EcdsaP256Verify(std::span<const uint8_t, 65>(key->data(), 65), digest,
                           std::span<const uint8_t, 64>(rs->data(), 64));
  } catch (const std::exception&) {
    return false;  // a CNG failure is a failed check, never an exception for the caller
  }
}

}  // namespace kelm::update
