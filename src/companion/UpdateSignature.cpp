#include "companion/UpdateSignature.h"

#include <exception>

#include "connection/IdHTTP.h"
#include "platform/registry.h"
#include "platform/signature.h"
#include "support/u_Utility.h"

namespace {

const char* const kMachineKeyPath = "SOFTWARE\\hollvik\\Sarvo";
const char* const kMachineValue = "UpdateKey";

}  // namespace

UpdateKeySource UpdatePublicKey() {
  UpdateKeySource source;
  const std::string embedded = EmbeddedUpdatePublicKey();
  if (!embedded.empty()) {
    source.configured = true;
    source.pem = embedded;
    source.origin = "ingebouwd";
    return source;
  }
  platform::RegKey key;
  if (!key.Open(platform::RegRoot::LocalMachine, kMachineKeyPath, platform::RegAccess::Read)) {
    return source;
  }
  platform::RegValue value;
  if (!key.Read(kMachineValue, value)) return source;
  source.configured = true;
  source.origin = std::string("HKLM\\") + kMachineKeyPath + "\\" + kMachineValue;
  // Only REG_SZ holds the PEM text; any other type leaves the key empty, so
  // it fails as a key that does not parse.
  if (value.type == platform::kRegSz) {
    source.pem = value.data;
    while (!source.pem.empty() && source.pem.back() == '\0') source.pem.pop_back();
  }
  return source;
}

bool CheckUpdateSignature(const std::string& url, const std::string& file) {
  const UpdateKeySource key = UpdatePublicKey();
  if (!key.configured) return false;

  const std::string sigUrl = url + ".sig";
  std::string signature;
  try {
    TIdHTTP http;
    signature = http.Get(sigUrl, kMaxSignatureBytes);
  } catch (const std::exception& e) {
    const ExceptionDescription d = Describe(e);
    throw EUpdateSignatureError("Handtekening " + sigUrl + " niet ontvangen: " +
                                (d.loaderError ? d.className + ": " : std::string()) + d.message);
  }

  const platform::SignatureCheck check = platform::VerifyFileSignature(key.pem, file, signature);
  switch (check.outcome) {
    case platform::SignatureOutcome::Valid:
      TDebug::LogFmt("Handtekening %s is geldig (sleutel: %s, %d bits)",
                     {sigUrl, key.origin, static_cast<int>(check.keyBits)}, "");
      return true;
    case platform::SignatureOutcome::Mismatch:
      throw EUpdateSignatureError("Handtekening " + sigUrl +
                                  " klopt niet bij de download: " + check.detail);
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
