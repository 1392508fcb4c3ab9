#include "platform/common/signature_steps.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace platform {

SignatureCheck SignatureResult(SignatureOutcome outcome, std::string detail, unsigned bits) {
  SignatureCheck check;
  check.outcome = outcome;
  check.detail = std::move(detail);
  check.keyBits = bits;
  return check;
}

bool HasPublicKeyBlock(const std::string& publicKeyPem, SignatureCheck& failure) {
  if (publicKeyPem.find("-----BEGIN PUBLIC KEY-----") != std::string::npos) return true;
  failure = SignatureResult(SignatureOutcome::KeyUnusable, "no PEM \"PUBLIC KEY\" block");
  return false;
}

bool KeyStrongEnough(unsigned bits, SignatureCheck& failure) {
  if (bits >= kMinSignatureKeyBits) return true;
  failure = SignatureResult(SignatureOutcome::KeyTooWeak,
                            "RSA key of " + std::to_string(bits) + " bits; at least " +
                                std::to_string(kMinSignatureKeyBits) + " are required",
                            bits);
  return false;
}

bool HashFile(const std::string& path, unsigned bits,
              const std::function<std::string(const char* data, std::size_t size)>& hash,
              SignatureCheck& failure) {
  File file;
  Failure error = Failure::None;
  if (!file.Open(path, File::Mode::OpenRead, File::Share::None, &error)) {
    failure = SignatureResult(SignatureOutcome::FileUnreadable, FileErrorText(error), bits);
    return false;
  }
  std::vector<char> buf(64 * 1024);
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(buf.data(), buf.size(), got)) {
      failure = SignatureResult(SignatureOutcome::FileUnreadable, "the file cannot be read", bits);
      return false;
    }
    if (got == 0) return true;
    std::string hashError = hash(buf.data(), got);
    if (!hashError.empty()) {
      failure = SignatureResult(SignatureOutcome::Failed, std::move(hashError), bits);
      return false;
    }
  }
}

}  // namespace platform
