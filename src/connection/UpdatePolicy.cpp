#include "connection/UpdatePolicy.h"

#include <cctype>
#include <cstdint>

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
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(value.data[i]);
    policy.disableUpdate = n == 1;
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
