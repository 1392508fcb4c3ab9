#include "companion/UpdateSignature.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "connection/IdHTTP.h"
#include "connection/update_log_texts.h"
#include "connection/update_server_layout.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/signature.h"
#include "support/DatabaseConnectie.h"
#include "support/debug_log.h"

namespace {

const char* const kMachineKeyPath = "SOFTWARE\\hollvik\\Sarvo";
const char* const kMachineValue = "UpdateKey";

}  // namespace

std::vector<std::string> PemBlocks(const std::string& pem) {
  std::vector<std::string> blocks;
  const std::string kBegin = "-----BEGIN ";
  const std::string kEnd = "-----END ";
  std::size_t at = 0;
  while ((at = pem.find(kBegin, at)) != std::string::npos) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) {
      blocks.push_back(pem.substr(at));  // an unfinished block is a block that will not parse
      break;
    }
    std::size_t stop = pem.find("-----", end + kEnd.size());
    stop = stop == std::string::npos ? pem.size() : stop + 5;
    blocks.push_back(pem.substr(at, stop - at) + "\n");
    at = stop;
  }
  return blocks;
}

UpdateKeySource UpdatePublicKey() {
  UpdateKeySource source;
  const std::string embedded = EmbeddedUpdatePublicKey();
  if (!embedded.empty()) {
    source.configured = true;
    source.pem = embedded;
    source.origin = "ingebouwd";
    return source;
  }
  // The 64-bit view first, where 64-bit tools write, then the program's own;
  // a view without the key or the value does not end the search, a registry
  // that fails does.
  platform::RegValue value;
  platform::Failure why = platform::Failure::FileNotFound;
  for (const platform::RegView view : {platform::RegView::Wow64_64, platform::RegView::Wow64_32}) {
    platform::RegKey key;
    why = platform::Failure::None;
    if (key.Open(platform::RegRoot::LocalMachine, kMachineKeyPath, platform::RegAccess::Read, &why,
                 view) &&
        key.Read(kMachineValue, value, &why)) {
      break;
    }
    if (why != platform::Failure::FileNotFound) break;
  }
  if (why == platform::Failure::FileNotFound) return source;
  source.configured = true;
  source.origin = std::string("HKLM\\") + kMachineKeyPath + "\\" + kMachineValue;
  if (why != platform::Failure::None) {
    source.readFailure = platform::FileErrorText(why);
    return source;
  }
  // Only REG_SZ holds the PEM text; any other type leaves the key empty, so
  // it fails as a key that does not parse.
  if (value.type == platform::kRegSz) RegStringText(value, source.pem);
  return source;
}

namespace {

// Raises the failure of one key's check, in the words of a single key.
[[noreturn]] void RaiseCheckFailure(const platform::SignatureCheck& check,
                                    const UpdateKeySource& key, const std::string& sigUrl,
                                    const std::string& file) {
  switch (check.outcome) {
    case platform::SignatureOutcome::Mismatch:
      throw EUpdateSignatureError(SignatureMismatchMessage(sigUrl, check.detail));
    case platform::SignatureOutcome::KeyUnusable:
      throw EUpdateSignatureError("Sleutel voor updates (" + key.origin +
                                  ") is onbruikbaar: " + check.detail);
    case platform::SignatureOutcome::KeyTooWeak:
      throw EUpdateSignatureError("Sleutel voor updates (" + key.origin +
                                  ") is te zwak: " + check.detail);
    case platform::SignatureOutcome::FileUnreadable:
      throw EUpdateSignatureError("Download " + file + " is niet te lezen: " + check.detail);
    default:
      throw EUpdateSignatureError("Handtekening " + sigUrl +
                                  " is niet te controleren: " + check.detail);
  }
}

bool IsKeyFailure(platform::SignatureOutcome outcome) {
  return outcome == platform::SignatureOutcome::KeyUnusable ||
         outcome == platform::SignatureOutcome::KeyTooWeak;
}

// The check of CheckUpdateSignature; `verify` checks a signature with one
// key over the download's bytes, wherever they are read from.
bool CheckSignature(const std::string& url, const std::string& file,
                    const std::function<platform::SignatureCheck(
                        const std::string& pem, const std::string& signature)>& verify) {
  const UpdateKeySource key = UpdatePublicKey();
  if (!key.configured) return false;
  if (!key.readFailure.empty()) {
    throw EUpdateSignatureError("Sleutel voor updates kon niet worden gelezen: " + key.readFailure);
  }

  const std::string sigUrl = url + update_server::kSignatureSuffix;
  std::string signature;
  try {
    TIdHTTP http;
    signature = http.Get(sigUrl, kMaxSignatureBytes);
  } catch (const std::exception& e) {
    throw EUpdateSignatureError(SignatureNotReceivedMessage(sigUrl, e));
  }

  // One key: checked as the text stands. Several: each in turn, and the
  // first that accepts the signature makes it valid.
  const std::vector<std::string> blocks = PemBlocks(key.pem);
  if (blocks.size() <= 1) {
    const platform::SignatureCheck check = verify(key.pem, signature);
    if (check.outcome != platform::SignatureOutcome::Valid) {
      RaiseCheckFailure(check, key, sigUrl, file);
    }
    TDebug::LogFmt("Handtekening %s is geldig (sleutel: %s, %d bits)",
                   {sigUrl, key.origin, static_cast<int>(check.keyBits)}, "");
    return true;
  }
  const int count = static_cast<int>(blocks.size());
  platform::SignatureCheck firstMismatch;
  platform::SignatureCheck firstKeyFailure;
  bool mismatched = false;
  for (int i = 0; i < count; ++i) {
    const platform::SignatureCheck check = verify(blocks[static_cast<std::size_t>(i)], signature);
    if (check.outcome == platform::SignatureOutcome::Valid) {
      TDebug::LogFmt("Handtekening %s is geldig (sleutel: %s, nr. %d van %d, %d bits)",
                     {sigUrl, key.origin, i + 1, count, static_cast<int>(check.keyBits)}, "");
      return true;
    }
    if (IsKeyFailure(check.outcome)) {
      TDebug::LogFmt("Sleutel nr. %d van %d (%s) overgeslagen: %s",
                     {i + 1, count, key.origin, check.detail}, "");
      if (firstKeyFailure.outcome == platform::SignatureOutcome::Failed) firstKeyFailure = check;
      continue;
    }
    if (check.outcome != platform::SignatureOutcome::Mismatch) {
      RaiseCheckFailure(check, key, sigUrl, file);  // the file or the library, not the key
    }
    if (!mismatched) firstMismatch = check;
    mismatched = true;
  }
  RaiseCheckFailure(mismatched ? firstMismatch : firstKeyFailure, key, sigUrl, file);
}

}  // namespace

bool CheckUpdateSignature(const std::string& url, const std::string& file) {
  return CheckSignature(url, file, [&file](const std::string& pem, const std::string& signature) {
    return platform::VerifyFileSignature(pem, file, signature);
  });
}

bool CheckUpdateSignature(const std::string& url, platform::File& download,
                          const std::string& name) {
  return CheckSignature(url, name,
                        [&download](const std::string& pem, const std::string& signature) {
                          return platform::VerifyFileSignature(pem, download, signature);
                        });
}
