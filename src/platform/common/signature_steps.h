// The steps of a signature check that do not depend on the crypto library:
// the outcome record, the key's form and strength, and reading the file in
// chunks. Both implementations of VerifyFileSignature use them, so a key or a
// file is judged alike, in the same words, on both platforms.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/signature.h"

namespace platform {

class File;

SignatureCheck SignatureResult(SignatureOutcome outcome, std::string detail, unsigned bits = 0);

// Only a SubjectPublicKeyInfo ("PUBLIC KEY" block) is a key here, although
// both crypto libraries read other PEM forms through the same calls. False
// with the outcome in `failure` when the text holds no such block.
bool HasPublicKeyBlock(const std::string& publicKeyPem, SignatureCheck& failure);

// False with the outcome in `failure` for an RSA key below
// kMinSignatureKeyBits.
bool KeyStrongEnough(unsigned bits, SignatureCheck& failure);

// Takes a chunk of the bytes to hash; answers an empty text when it took
// it, or the text of its failure.
using ChunkHash = std::function<std::string(const char* data, std::size_t size)>;

// Feeds the whole file to `hash` in chunks. False with the outcome in
// `failure` when the file cannot be opened or read, or `hash` failed.
bool HashFile(const std::string& path, unsigned bits, const ChunkHash& hash,
              SignatureCheck& failure);
// The same for a file the caller holds open, read through its handle from
// its first byte.
bool HashFile(File& file, unsigned bits, const ChunkHash& hash, SignatureCheck& failure);

// The bytes a signature covers, as one of the two HashFile calls bound to
// its file: the crypto library's steps take either.
using SignedBytes =
    std::function<bool(unsigned bits, const ChunkHash& hash, SignatureCheck& failure)>;
SignedBytes BytesOfPath(const std::string& path);
SignedBytes BytesOfFile(File& file);

// The check itself, over bytes from either source; each crypto library's
// implementation defines it, and VerifyFileSignature hands it its source.
SignatureCheck VerifySignedBytes(const std::string& publicKeyPem, const SignedBytes& bytes,
                                 const std::string& signature);

}  // namespace platform
