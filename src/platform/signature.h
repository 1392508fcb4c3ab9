// Checking a detached signature over a file: RSA PKCS#1 v1.5 with SHA-256,
// exactly what "openssl dgst -sha256 -sign KEY -out FILE.sig FILE" makes, with
// the public key as PEM "PUBLIC KEY" text (what "openssl rsa -pubout" writes).
// CryptoAPI on Windows, OpenSSL's libcrypto on the Linux port; nothing of the
// cryptography is our own.
//
// Contract: any thread; blocks while it reads the file (in pieces, so memory
// stays flat whatever its size); never processes GUI messages and never
// throws. The outcome is a return value with the library's own words for the
// log. Keys that are not RSA, or RSA keys below kMinSignatureKeyBits, are
// refused before any signature is looked at.
#pragma once

#include <string>

namespace platform {

class File;

// The smallest RSA modulus accepted, in bits.
constexpr unsigned kMinSignatureKeyBits = 2048;

enum class SignatureOutcome {
  Valid,           // the signature was made by the key's owner over these bytes
  Mismatch,        // a signature of other bytes, by another key, or not a
                   // signature at all (wrong length included)
  KeyUnusable,     // the text is no PEM "PUBLIC KEY", or not an RSA key
  KeyTooWeak,      // an RSA key below kMinSignatureKeyBits
  FileUnreadable,  // the file cannot be opened or read
  Failed,          // anything else the library reports
};

struct SignatureCheck {
  SignatureOutcome outcome = SignatureOutcome::Failed;
  // The library's or the OS's description of what went wrong (for the log);
  // empty when the signature is valid.
  std::string detail;
  // The key's modulus length once it was read, else 0.
  unsigned keyBits = 0;
};

// Checks `signature` (raw bytes, as the .sig file holds them) over the bytes
// of the file at `path` with the public key `publicKeyPem`.
SignatureCheck VerifyFileSignature(const std::string& publicKeyPem, const std::string& path,
                                   const std::string& signature);
// The same over the bytes of a file the caller holds open, read through its
// handle: what was checked is what the handle holds.
SignatureCheck VerifyFileSignature(const std::string& publicKeyPem, File& file,
                                   const std::string& signature);

}  // namespace platform
