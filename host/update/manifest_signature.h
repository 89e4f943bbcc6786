#pragma once
// The download site's detached manifest signature and the built-in signing key.
#include <string_view>

namespace kelm::update {

// The built-in update signing key (base64url of the 65-byte P-256 point).
std::string_view UpdatePublicKey();

// ECDSA P-256 over SHA-256 of "tavro-update/1\n" + manifest; the signature is r then s,
// base64url, with trailing spaces, CR and LF ignored. Never throws.
bool VerifyManifestSignature(std::string_view manifest, std::string_view signature, std::string_view keyText);

}  // namespace kelm::update
