// Making a detached signature over a file, the counterpart of
// platform/signature.h: RSA PKCS#1 v1.5 with SHA-256, byte for byte what
// "openssl dgst -sha256 -sign KEY -out FILE.sig FILE" makes, with the private
// key as PEM text ("PRIVATE KEY", PKCS#8, as "openssl genpkey" writes it, or
// "RSA PRIVATE KEY", PKCS#1). CryptoAPI on Windows, OpenSSL's libcrypto on
// the Linux port; nothing of the cryptography is our own. Only the maker's
// tool signs; the loader never holds a private key.
//
// Contract: any thread; blocks while it reads the file (in pieces); never
// processes GUI messages and never throws. Outcomes are return values with
// the library's own words. A key protected by a pass phrase, a key that is
// not RSA and an RSA key below kMinSignatureKeyBits are refused before the
// file is read.
#pragma once

#include <string>

namespace platform {

enum class SigningOutcome {
  Signed,
  KeyUnusable,     // no PEM private key block, a protected one, or not RSA
  KeyTooWeak,      // an RSA key below kMinSignatureKeyBits
  FileUnreadable,  // the file cannot be opened or read
  Failed,          // anything else the library reports
};

struct FileSigning {
  SigningOutcome outcome = SigningOutcome::Failed;
  // What went wrong, for the user; empty once signed.
  std::string detail;
  // The key's modulus length once it was read, else 0.
  unsigned keyBits = 0;
  // The signature, big-endian as OpenSSL writes it (the .sig file's bytes).
  std::string signature;
  // The public half of the key as PEM "PUBLIC KEY" text, what
  // "openssl rsa -pubout" writes and the loader's check takes.
  std::string publicKeyPem;
};

// Signs the bytes of the file at `path` with `privateKeyPem`.
FileSigning SignFile(const std::string& privateKeyPem, const std::string& path);

// The SHA-256 of the bytes of the file at `path`, as 64 lower-case hex
// digits; false with the reason in `why` when it cannot be read.
bool FileSha256(const std::string& path, std::string& hex, std::string* why = nullptr);

}  // namespace platform
