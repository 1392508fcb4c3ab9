// Signature checks through CryptoAPI.
//
// The key travels as PEM text; CryptoAPI takes it apart in three steps
// (base64 to DER, DER to a SubjectPublicKeyInfo, that into a key of a
// verify-only RSA/AES provider, the first provider kind that knows SHA-256).
// CryptoAPI keeps big numbers little-endian, so a signature as OpenSSL
// writes it (big-endian) is handed over byte-reversed.
#include "platform/signature.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/common/signature_steps.h"
#include "platform/error_text.h"
#include "platform/unique_handle.h"
#include "platform/win32/crypt_handles.h"

namespace platform {

namespace {

using win32::CryptoErrorText;
using win32::Hash;
using win32::Key;
using win32::Provider;
using DecodedKeyInfo = win32::LocalAllocated<CERT_PUBLIC_KEY_INFO>;

// The key's modulus as CryptoAPI keeps it (little-endian), from its public
// key blob: BLOBHEADER, RSAPUBKEY, then the modulus. Empty on success, else
// what failed.
std::string ExportModulus(HCRYPTKEY key, std::vector<BYTE>& modulus) {
  DWORD size = 0;
  if (!::CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
    return CryptoErrorText("CryptExportKey", ::GetLastError());
  }
  std::vector<BYTE> blob(size);
  if (!::CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
    return CryptoErrorText("CryptExportKey", ::GetLastError());
  }
  const std::size_t header = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  if (size < header) return "CryptExportKey gave a key blob of " + std::to_string(size) + " bytes";
  RSAPUBKEY rsa;
  std::memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof rsa);
  const std::size_t length = (rsa.bitlen + 7) / 8;
  if (size - header < length) {
    return "CryptExportKey gave a key blob of " + std::to_string(size) + " bytes for " +
           std::to_string(rsa.bitlen) + " bits";
  }
  modulus.assign(blob.begin() + header, blob.begin() + header + length);
  return "";
}

// Whether the big-endian `signature` is a smaller number than the
// little-endian `modulus` of the same length.
bool BelowModulus(const std::string& signature, const std::vector<BYTE>& modulus) {
  if (signature.size() != modulus.size()) return false;
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const BYTE s = static_cast<BYTE>(signature[i]);
    const BYTE m = modulus[modulus.size() - 1 - i];
    if (s != m) return s < m;
  }
  return false;  // equal
}

}  // namespace

SignatureCheck VerifySignedBytes(const std::string& publicKeyPem, const SignedBytes& bytes,
                                 const std::string& signature) {
  // CRYPT_STRING_BASE64HEADER takes any "-----BEGIN ...-----" label; only a
  // SubjectPublicKeyInfo is a key here, as it is for OpenSSL's PUBKEY reader.
  SignatureCheck failure;
  if (!HasPublicKeyBlock(publicKeyPem, failure)) return failure;
  DWORD derSize = 0;
  if (!::CryptStringToBinaryA(publicKeyPem.c_str(), static_cast<DWORD>(publicKeyPem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &derSize, nullptr, nullptr)) {
    return SignatureResult(SignatureOutcome::KeyUnusable,
                           CryptoErrorText("CryptStringToBinaryA", ::GetLastError()));
  }
  std::vector<BYTE> der(derSize);
  if (!::CryptStringToBinaryA(publicKeyPem.c_str(), static_cast<DWORD>(publicKeyPem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &derSize, nullptr, nullptr)) {
    return SignatureResult(SignatureOutcome::KeyUnusable,
                           CryptoErrorText("CryptStringToBinaryA", ::GetLastError()));
  }

  CERT_PUBLIC_KEY_INFO* rawInfo = nullptr;
  DWORD infoSize = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), derSize,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &rawInfo, &infoSize)) {
    return SignatureResult(SignatureOutcome::KeyUnusable,
                           CryptoErrorText("CryptDecodeObjectEx", ::GetLastError()));
  }
  DecodedKeyInfo info(rawInfo);
  const char* algorithm = info->Algorithm.pszObjId;
  if (algorithm == nullptr || std::string(algorithm) != szOID_RSA_RSA) {
    return SignatureResult(
        SignatureOutcome::KeyUnusable,
        std::string("not an RSA key (algorithm ") + (algorithm ? algorithm : "?") + ")");
  }

  HCRYPTPROV rawProvider = 0;
  if (!::CryptAcquireContextA(&rawProvider, nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT /* no key container: public keys only */)) {
    return SignatureResult(SignatureOutcome::Failed,
                           CryptoErrorText("CryptAcquireContextA", ::GetLastError()));
  }
  Provider provider(rawProvider);

  HCRYPTKEY rawKey = 0;
  if (!::CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING, info.get(), &rawKey)) {
    return SignatureResult(SignatureOutcome::KeyUnusable,
                           CryptoErrorText("CryptImportPublicKeyInfo", ::GetLastError()));
  }
  Key key(rawKey);

  DWORD bits = 0;
  DWORD bitsSize = sizeof bits;
  if (!::CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0)) {
    return SignatureResult(SignatureOutcome::KeyUnusable,
                           CryptoErrorText("CryptGetKeyParam", ::GetLastError()));
  }
  if (!KeyStrongEnough(bits, failure)) return failure;

  Hash hash;
  if (!HashWholeFile(provider.get(), bytes, bits, hash, failure)) return failure;

  // A signature is exactly as long as the modulus; anything else is no
  // signature by this key, whatever CryptoAPI would make of it.
  if (signature.size() != (bits + 7) / 8) {
    return SignatureResult(SignatureOutcome::Mismatch,
                           "signature of " + std::to_string(signature.size()) + " bytes; a " +
                               std::to_string(bits) + "-bit key signs with " +
                               std::to_string((bits + 7) / 8),
                           bits);
  }
  // An RSA signature is a number below the modulus. CryptoAPI reports one at
  // or above it as a general failure on some systems rather than as a bad
  // signature; it is no signature by this key either way.
  std::vector<BYTE> modulus;
  const std::string exportError = ExportModulus(key.get(), modulus);
  if (!exportError.empty()) return SignatureResult(SignatureOutcome::Failed, exportError, bits);
  if (!BelowModulus(signature, modulus)) {
    return SignatureResult(SignatureOutcome::Mismatch,
                           "signature is no number below the key's modulus", bits);
  }
  std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
  if (!::CryptVerifySignatureA(hash.get(), reversed.data(), static_cast<DWORD>(reversed.size()),
                               key.get(), nullptr, 0)) {
    const DWORD code = ::GetLastError();
    const bool mismatch = code == static_cast<DWORD>(NTE_BAD_SIGNATURE) ||
                          code == static_cast<DWORD>(NTE_BAD_DATA) ||
                          code == static_cast<DWORD>(NTE_BAD_LEN);
    return SignatureResult(mismatch ? SignatureOutcome::Mismatch : SignatureOutcome::Failed,
                           CryptoErrorText("CryptVerifySignatureA", code), bits);
  }
  return SignatureResult(SignatureOutcome::Valid, "", bits);
}

}  // namespace platform
