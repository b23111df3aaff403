// Signed releases: ECDSA over P-256 with SHA-256. The publisher signs what the
// updater fetches without a digest (the file list, the main program) with its
// private key; a build made with the publisher's public key takes only what
// that key signed.
#pragma once

#include <string>

// True when this build carries a publisher key: fetched lists and programs
// must then come with a valid signature.
bool ReleaseSigningEnabled();

// True when signature (DER, as `openssl dgst -sha256 -sign` writes it) is a
// signature of bytes by the key in publicKeyPem (PEM "PUBLIC KEY" of a P-256
// key). Anything malformed is a wrong signature.
bool VerifySignature(const std::string& publicKeyPem, const std::string& bytes,
                     const std::string& signature);

// The publisher's public key compiled into this build; empty when there is none.
const char* ReleasePublicKeyPem();
