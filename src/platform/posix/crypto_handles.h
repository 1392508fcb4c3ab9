// What the Linux port's signature check and signing share of libcrypto: owners
// of its objects and the one translator of its error queue.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace platform {

struct BioDeleter {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// The call that failed and the queue's first entry, which names the cause;
// the queue is emptied, so nothing is left behind for the next caller on
// this thread.
inline std::string CryptoErrorText(const char* call) {
  std::string out = std::string(call) + " failed";
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    out += ": ";
    out += text;
  }
  ERR_clear_error();
  return out;
}

}  // namespace platform
