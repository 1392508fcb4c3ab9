// The steps of signing that do not depend on the crypto library: which PEM
// block holds the private key, the PKCS#8 wrapper around an RSA key, and the
// outcome record. Both implementations of SignFile use them, so a key is
// judged alike, in the same words, on both platforms.
#pragma once

#include <string>

#include "platform/signature.h"
#include "platform/signing.h"

namespace platform {

enum class PrivateKeyForm {
  Pkcs8,  // "PRIVATE KEY"
  Pkcs1,  // "RSA PRIVATE KEY"
};

FileSigning SigningResult(SigningOutcome outcome, std::string detail, unsigned bits = 0);

// The signing outcome of a failed hashing step (signature_steps.h's
// HashFile): the file could not be read, or the library failed.
FileSigning SigningFromCheck(const SignatureCheck& check);

// The form of the first private key block in `pem`; false with the outcome
// in `failure` when there is none, or only one protected by a pass phrase.
bool FindPrivateKeyBlock(const std::string& pem, PrivateKeyForm& form, FileSigning& failure);

// The RSAPrivateKey (PKCS#1, DER) inside a PKCS#8 PrivateKeyInfo (DER);
// false with the outcome in `failure` when `der` is no PrivateKeyInfo or
// holds a key of another algorithm.
bool RsaKeyOfPkcs8(const std::string& der, std::string& rsaKey, FileSigning& failure);

// Lower-case hex of `bytes`.
std::string HexOf(const std::string& bytes);

}  // namespace platform
