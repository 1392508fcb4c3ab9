#include "connection/UpdatePolicy.h"

#include <cctype>

#include "platform/common/little_endian.h"
#include "platform/registry.h"

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
  platform::RegKey key;
  if (!key.Open(platform::RegRoot::LocalMachine, kUpdatePolicyKey, platform::RegAccess::Read)) {
    return policy;
  }
  platform::RegValue value;
  if (key.Read("DisableUpdate", value) && value.type == platform::kRegDword &&
      value.data.size() == 4) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data.data());
    policy.disableUpdate = platform::LittleEndian(bytes, 0, 4) == 1;
  }
  if (key.Read("UpdateServer", value) &&
      (value.type == platform::kRegSz || value.type == platform::kRegExpandSz)) {
    std::string address = value.data;
    while (!address.empty() && address.back() == '\0') address.pop_back();
    if (address.empty()) return policy;  // as good as not set
    const bool web = (StartsWithNoCase(address, "http://") && address.size() > 7) ||
                     (StartsWithNoCase(address, "https://") && address.size() > 8);
    (web ? policy.updateServer : policy.ignoredServer) = address;
  }
  return policy;
}
