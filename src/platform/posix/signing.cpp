// Signing through OpenSSL's libcrypto (EVP interface).
#include "platform/signing.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <vector>

#include "platform/common/signature_steps.h"
#include "platform/common/signing_steps.h"
#include "platform/posix/crypto_handles.h"

namespace platform {

namespace {

// Without a callback libcrypto would ask for a pass phrase on the terminal;
// a protected key has been refused before, and this makes sure it never asks.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

FileSigning SignFile(const std::string& privateKeyPem, const std::string& path) {
  FileSigning failure;
  PrivateKeyForm form = PrivateKeyForm::Pkcs8;
  if (!FindPrivateKeyBlock(privateKeyPem, form, failure)) return failure;
  ERR_clear_error();
  Bio bio(BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
  if (!bio) return SigningResult(SigningOutcome::Failed, CryptoErrorText("BIO_new_mem_buf"));
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr));
  if (!key) {
    return SigningResult(SigningOutcome::KeyUnusable, CryptoErrorText("PEM_read_bio_PrivateKey"));
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    return SigningResult(
        SigningOutcome::KeyUnusable,
        std::string("not an RSA key (") + OBJ_nid2sn(EVP_PKEY_get_base_id(key.get())) + ")");
  }
  const int rawBits = EVP_PKEY_get_bits(key.get());
  const unsigned bits = rawBits > 0 ? static_cast<unsigned>(rawBits) : 0;
  SignatureCheck weak;
  if (!KeyStrongEnough(bits, weak))
    return SigningResult(SigningOutcome::KeyTooWeak, weak.detail, bits);

  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return SigningResult(SigningOutcome::Failed, CryptoErrorText("EVP_MD_CTX_new"), bits);
  // An RSA key signs with PKCS#1 v1.5 padding unless told otherwise.
  if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    return SigningResult(SigningOutcome::Failed, CryptoErrorText("EVP_DigestSignInit"), bits);
  }
  const auto update = [&ctx](const char* data, std::size_t size) {
    return EVP_DigestSignUpdate(ctx.get(), data, size) == 1
               ? std::string()
               : CryptoErrorText("EVP_DigestSignUpdate");
  };
  SignatureCheck readFailure;
  if (!HashFile(path, bits, update, readFailure)) return SigningFromCheck(readFailure);
  std::size_t length = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
    return SigningResult(SigningOutcome::Failed, CryptoErrorText("EVP_DigestSignFinal"), bits);
  }
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1) {
    return SigningResult(SigningOutcome::Failed, CryptoErrorText("EVP_DigestSignFinal"), bits);
  }

  Bio out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) {
    return SigningResult(SigningOutcome::Failed, CryptoErrorText("PEM_write_bio_PUBKEY"), bits);
  }
  char* text = nullptr;
  const long textSize = BIO_get_mem_data(out.get(), &text);

  FileSigning result = SigningResult(SigningOutcome::Signed, "", bits);
  result.signature.assign(reinterpret_cast<const char*>(signature.data()), length);
  result.publicKeyPem.assign(text, textSize > 0 ? static_cast<std::size_t>(textSize) : 0);
  return result;
}

bool FileSha256(const std::string& path, std::string& hex, std::string* why) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    if (why != nullptr) *why = CryptoErrorText("EVP_DigestInit_ex");
    return false;
  }
  const auto update = [&ctx](const char* data, std::size_t size) {
    return EVP_DigestUpdate(ctx.get(), data, size) == 1 ? std::string()
                                                        : CryptoErrorText("EVP_DigestUpdate");
  };
  SignatureCheck failure;
  if (!HashFile(path, 0, update, failure)) {
    if (why != nullptr) *why = failure.detail;
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
    if (why != nullptr) *why = CryptoErrorText("EVP_DigestFinal_ex");
    return false;
  }
  hex = HexOf(std::string(reinterpret_cast<const char*>(digest), size));
  return true;
}

}  // namespace platform
