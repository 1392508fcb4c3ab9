#include "connection/UpdatePolicy.h"

#include <cctype>

#include "platform/common/little_endian.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/DatabaseConnectie.h"

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

UpdatePolicy ReadUpdatePolicy() {
  UpdatePolicy policy;
  // Only a key or value that does not exist means "not set"; any other
  // failure leaves the administrator's word unknown, and updates off.
  const auto unknown = [&policy](platform::Failure why) {
    policy.disableUpdate = true;
    policy.updateServer.clear();
    policy.unreadable = platform::FileErrorText(why);
    return policy;
  };
  platform::Failure why = platform::Failure::None;
  platform::RegKey key;
  if (!key.Open(platform::RegRoot::LocalMachine, kUpdatePolicyKey, platform::RegAccess::Read,
                &why)) {
    return why == platform::Failure::FileNotFound ? policy : unknown(why);
  }
  platform::RegValue value;
  if (key.Read("DisableUpdate", value, &why)) {
    if (value.type == platform::kRegDword && value.data.size() == 4) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(value.data.data());
      policy.disableUpdate = platform::LittleEndian(bytes, 0, 4) == 1;
    }
  } else if (why != platform::Failure::FileNotFound) {
    return unknown(why);
  }
  if (!key.Read("UpdateServer", value, &why)) {
    return why == platform::Failure::FileNotFound ? policy : unknown(why);
  }
  std::string address;
  if (RegStringText(value, address)) {
    if (address.empty()) return policy;  // as good as not set
    const bool web = (StartsWithNoCase(address, "http://") && address.size() > 7) ||
                     (StartsWithNoCase(address, "https://") && address.size() > 8);
    (web ? policy.updateServer : policy.ignoredServer) = address;
  }
  return policy;
}
