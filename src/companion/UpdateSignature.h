// The signature check of companion updates: with a public key configured, a
// download counts only when the detached signature beside it on the server
// (its URL + ".sig") is a valid RSA/SHA-256 signature by that key over the
// downloaded bytes. Without a key nothing is checked, as before.
//
// The key comes from one of two places, the first that has one:
//   1. compiled in: the PEM file named by the CMake cache variable
//      KESTRO_UPDATE_PUBLIC_KEY when the program was built;
//   2. the machine-wide registry value HKLM\SOFTWARE\hollvik\Sarvo, UpdateKey
//      (REG_SZ with the PEM text), which only administrators can write. On
//      64-bit Windows it counts in either registry view (64-bit tools write
//      the one a 32-bit program does not see by default).
// A value that is present counts as configured even when it is empty or of
// another type: an administrator who set it asked for signed updates, so a
// key that cannot be used fails the update rather than switching checks off.
// The same holds for a registry that cannot be read: only a value that does
// not exist means "no key".
//
// Either place may hold several PEM keys one after the other, so a maker can
// ship a new key beside the old one before signing with it: a signature by
// any of them is valid. A block that is no usable key is skipped (and logged)
// while the others still count.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/Exceptions.h"

namespace platform {
class File;
}

// A download whose signature is missing, unreadable or wrong, or a
// configured key that cannot be used.
KESTRO_DECLARE_EXCEPTION(EUpdateSignatureError, Exception);

// The compiled-in key's PEM text; empty when the build configured none.
// Defined by a file the build generates (cmake/embed_key.cmake).
const char* EmbeddedUpdatePublicKey();

struct UpdateKeySource {
  bool configured = false;
  std::string pem;
  // Where the key came from, for the log: "ingebouwd" or the registry value.
  std::string origin;
  // Set when the registry could not say whether a key is configured (the
  // system's text); the update then fails as one with an unusable key.
  std::string readFailure;
};

// The PEM blocks of `pem` ("-----BEGIN ...-----" to its "-----END ...-----"),
// each with its lines, in order. Text outside the blocks is dropped.
std::vector<std::string> PemBlocks(const std::string& pem);

// The key to check updates with, looked up afresh on every call.
UpdateKeySource UpdatePublicKey();

// The signature file is read into memory; a larger one is refused.
constexpr std::size_t kMaxSignatureBytes = 16 * 1024;

// With a key configured: fetches `url` + ".sig" and checks it over the bytes
// of `file`; raises EUpdateSignatureError saying what failed, and returns
// true once the signature is valid. Without a key: false, nothing fetched.
// Runs on the download worker; blocks for the transfer and the file.
bool CheckUpdateSignature(const std::string& url, const std::string& file);
// The same over a download held open (`name` is its file, for the log): the
// signature is checked over the bytes the handle holds.
bool CheckUpdateSignature(const std::string& url, platform::File& download,
                          const std::string& name);
