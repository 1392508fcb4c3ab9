// Signature checks through OpenSSL's libcrypto (EVP interface).
#include "platform/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <vector>

#include "platform/common/signature_steps.h"
#include "platform/posix/crypto_handles.h"

namespace platform {

SignatureCheck VerifySignedBytes(const std::string& publicKeyPem, const SignedBytes& bytes,
                                 const std::string& signature) {
  // OpenSSL 3 reads other key forms through the same call (PKCS#1 "RSA
  // PUBLIC KEY" among them); the contract takes only the "PUBLIC KEY" block,
  // as CryptoAPI does in the Windows build.
  SignatureCheck failure;
  if (!HasPublicKeyBlock(publicKeyPem, failure)) return failure;
  ERR_clear_error();
  Bio bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
  if (!bio) return SignatureResult(SignatureOutcome::Failed, CryptoErrorText("BIO_new_mem_buf"));
  // PEM_read_bio_PUBKEY takes only a "PUBLIC KEY" block (SubjectPublicKeyInfo).
  Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) {
    return SignatureResult(SignatureOutcome::KeyUnusable, CryptoErrorText("PEM_read_bio_PUBKEY"));
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    return SignatureResult(
        SignatureOutcome::KeyUnusable,
        std::string("not an RSA key (") + OBJ_nid2sn(EVP_PKEY_get_base_id(key.get())) + ")");
  }
  const int rawBits = EVP_PKEY_get_bits(key.get());
  const unsigned bits = rawBits > 0 ? static_cast<unsigned>(rawBits) : 0;
  if (!KeyStrongEnough(bits, failure)) return failure;

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) {
    return SignatureResult(SignatureOutcome::Failed, CryptoErrorText("EVP_MD_CTX_new"), bits);
  }
  // An RSA key verifies with PKCS#1 v1.5 padding unless told otherwise.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    return SignatureResult(SignatureOutcome::Failed, CryptoErrorText("EVP_DigestVerifyInit"), bits);
  }

  const auto update = [&ctx](const char* data, std::size_t size) {
    return EVP_DigestVerifyUpdate(ctx.get(), data, size) == 1
               ? std::string()
               : CryptoErrorText("EVP_DigestVerifyUpdate");
  };
  if (!bytes(bits, update, failure)) return failure;

  const int verdict = EVP_DigestVerifyFinal(
      ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
  if (verdict == 1) {
    ERR_clear_error();
    return SignatureResult(SignatureOutcome::Valid, "", bits);
  }
  // 0 is a signature that does not fit; below 0 one that is not even
  // well-formed (a wrong length, for one). Either way no signature by this key.
  return SignatureResult(SignatureOutcome::Mismatch, CryptoErrorText("EVP_DigestVerifyFinal"),
                         bits);
}

}  // namespace platform
