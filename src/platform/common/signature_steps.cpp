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

bool HashFile(const std::string& path, unsigned bits, const ChunkHash& hash,
              SignatureCheck& failure) {
  File file;
  Failure error = Failure::None;
  if (!file.Open(path, File::Mode::OpenRead, File::Share::None, &error)) {
    failure = SignatureResult(SignatureOutcome::FileUnreadable, FileErrorText(error), bits);
    return false;
  }
  return HashFile(file, bits, hash, failure);
}

bool HashFile(File& file, unsigned bits, const ChunkHash& hash, SignatureCheck& failure) {
  const std::int64_t size = file.Size();
  if (size < 0) {
    failure = SignatureResult(SignatureOutcome::FileUnreadable, "the file cannot be read", bits);
    return false;
  }
  constexpr std::uint64_t kChunk = 64 * 1024;
  std::vector<unsigned char> buf;
  for (std::uint64_t at = 0; at < static_cast<std::uint64_t>(size); at += kChunk) {
    const std::uint64_t left = static_cast<std::uint64_t>(size) - at;
    const std::size_t count = static_cast<std::size_t>(left < kChunk ? left : kChunk);
    if (!file.ReadAt(at, count, buf)) {
      failure = SignatureResult(SignatureOutcome::FileUnreadable, "the file cannot be read", bits);
      return false;
    }
    std::string hashError = hash(reinterpret_cast<const char*>(buf.data()), buf.size());
    if (!hashError.empty()) {
      failure = SignatureResult(SignatureOutcome::Failed, std::move(hashError), bits);
      return false;
    }
  }
  return true;
}

SignedBytes BytesOfPath(const std::string& path) {
  return [path](unsigned bits, const ChunkHash& hash, SignatureCheck& failure) {
    return HashFile(path, bits, hash, failure);
  };
}

SignedBytes BytesOfFile(File& file) {
  return [&file](unsigned bits, const ChunkHash& hash, SignatureCheck& failure) {
    return HashFile(file, bits, hash, failure);
  };
}

SignatureCheck VerifyFileSignature(const std::string& publicKeyPem, const std::string& path,
                                   const std::string& signature) {
  return VerifySignedBytes(publicKeyPem, BytesOfPath(path), signature);
}

SignatureCheck VerifyFileSignature(const std::string& publicKeyPem, File& file,
                                   const std::string& signature) {
  return VerifySignedBytes(publicKeyPem, BytesOfFile(file), signature);
}

}  // namespace platform
