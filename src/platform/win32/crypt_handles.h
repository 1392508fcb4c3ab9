// Handle traits and the error translator shared by the CryptoAPI files of the
// Windows build (signature checks and signing). Only files in this folder
// include it.
#pragma once

#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/common/signature_steps.h"
#include "platform/error_text.h"
#include "platform/unique_handle.h"

namespace platform {
namespace win32 {

struct ProviderTraits {
  using Handle = HCRYPTPROV;
  static Handle Invalid() { return 0; }
  static void Close(Handle h) { ::CryptReleaseContext(h, 0); }
};
struct KeyTraits {
  using Handle = HCRYPTKEY;
  static Handle Invalid() { return 0; }
  static void Close(Handle h) { ::CryptDestroyKey(h); }
};
struct HashTraits {
  using Handle = HCRYPTHASH;
  static Handle Invalid() { return 0; }
  static void Close(Handle h) { ::CryptDestroyHash(h); }
};
using Provider = UniqueHandle<ProviderTraits>;
using Key = UniqueHandle<KeyTraits>;
using Hash = UniqueHandle<HashTraits>;

// CryptDecodeObjectEx with CRYPT_DECODE_ALLOC_FLAG hands out LocalAlloc memory.
struct LocalFreeDeleter {
  void operator()(void* p) const { ::LocalFree(p); }
};
template <typename T>
using LocalAllocated = std::unique_ptr<T, LocalFreeDeleter>;

// The one translator of CryptoAPI's codes: the code and the system's text.
inline std::string CryptoErrorText(const char* call, DWORD code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  std::string text = SystemMessageText(code);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  std::string out = std::string(call) + " failed with " + hex;
  if (!text.empty()) out += ": " + text;
  return out;
}

// A SHA-256 hash made with `provider` over the whole of `bytes`, into
// `hash`. False with the outcome in `failure`: Failed when CryptoAPI fails,
// FileUnreadable when the file cannot be read (`bits`, the key's length,
// goes into the outcome).
inline bool HashWholeFile(HCRYPTPROV provider, const SignedBytes& bytes, unsigned bits, Hash& hash,
                          SignatureCheck& failure) {
  HCRYPTHASH rawHash = 0;
  if (!::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &rawHash)) {
    failure = SignatureResult(SignatureOutcome::Failed,
                              CryptoErrorText("CryptCreateHash", ::GetLastError()), bits);
    return false;
  }
  hash = Hash(rawHash);
  const auto update = [&hash](const char* data, std::size_t size) {
    return ::CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data),
                           static_cast<DWORD>(size), 0)
               ? std::string()
               : CryptoErrorText("CryptHashData", ::GetLastError());
  };
  return bytes(bits, update, failure);
}

}  // namespace win32
}  // namespace platform
