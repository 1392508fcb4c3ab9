// The companion tool's settings store: three values under the current user's
// "\SOFTWARE\hollvik\Sarvo", opened and closed around every single access.
#include "companion/u_SarvoPrep.h"

#include <cstring>

#include "platform/common/little_endian.h"
#include "support/DatabaseConnectie.h"
#include "support/Exceptions.h"
#include "support/Format.h"

namespace {

const char* const kParams = "Params";
const char* const kState = "State";
const char* const kRefusedSize = "RefusedSize";

[[noreturn]] void RaiseInvalidType(const std::string& name) {
  throw ERegistryException(Format("Invalid data type for '%s'", {name}));
}

[[noreturn]] void RaiseGetFailed(const std::string& name) {
  throw ERegistryException(Format("Failed to get data for '%s'", {name}));
}

[[noreturn]] void RaiseSetFailed(const std::string& name) {
  throw ERegistryException(Format("Failed to set data for '%s'", {name}));
}

// Closes the accessor's key when the access is over, also when it raised.
class KeyCloser {
 public:
  explicit KeyCloser(TSarvoRegistry& registry) : registry_(registry) {}
  ~KeyCloser() { registry_.CloseKey(); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  TSarvoRegistry& registry_;
};

}  // namespace

// --- TSarvoRegistry ----------------------------------------------------------

bool TSarvoRegistry::KeyExists(const std::string& key) const {
  return platform::RegKeyExists(RootKey(), key);
}

bool TSarvoRegistry::OpenKey(const std::string& key, bool canCreate) {
  CloseKey();
  return canCreate ? current_.Create(RootKey(), key, Access())
                   : current_.Open(RootKey(), key, Access());
}

void TSarvoRegistry::CloseKey() { current_.Close(); }

bool TSarvoRegistry::ValueExists(const std::string& name) const {
  platform::RegValue ignored;
  return current_.Read(name, ignored);
}

std::string TSarvoRegistry::ReadString(const std::string& name) const {
  platform::RegValue v;
  if (!current_.Read(name, v)) RaiseGetFailed(name);
  return RegStringText(name, v);
}

std::int32_t TSarvoRegistry::ReadInteger(const std::string& name) const {
  platform::RegValue v;
  if (!current_.Read(name, v)) RaiseGetFailed(name);
  // A four-byte buffer is asked for the data: longer data does not fit and
  // fails as a refused read, before its type is looked at.
  if (v.data.size() > sizeof(std::uint32_t)) RaiseGetFailed(name);
  if (v.type != platform::kRegDword) RaiseInvalidType(name);
  // Shorter data fills the low-order bytes; the rest stays zero.
  const auto* bytes = reinterpret_cast<const unsigned char*>(v.data.data());
  return static_cast<std::int32_t>(platform::LittleEndian(bytes, 0, v.data.size()));
}

void TSarvoRegistry::WriteString(const std::string& name, const std::string& value) {
  platform::RegValue v;
  v.type = platform::kRegSz;
  v.data = value;
  v.data.push_back('\0');  // stored with its terminating NUL
  if (!current_.Write(name, v)) RaiseSetFailed(name);
}

void TSarvoRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  const auto n = static_cast<std::uint32_t>(value);
  platform::RegValue v;
  v.type = platform::kRegDword;
  v.data.resize(4);
  for (std::size_t i = 0; i < 4; ++i) v.data[i] = static_cast<char>((n >> (8 * i)) & 0xFFu);
  if (!current_.Write(name, v)) RaiseSetFailed(name);
}

void TSarvoRegistry::DeleteValue(const std::string& name) {
  platform::Failure why = platform::Failure::None;
  if (current_.DeleteValue(name, &why) || why == platform::Failure::FileNotFound) return;
  throw ERegistryException(Format("Failed to delete value '%s'", {name}));
}

// --- TSarvoPrep ----------------------------------------------------------------

const char* const TSarvoPrep::kKey = "\\SOFTWARE\\hollvik\\Sarvo";

TSarvoPrep::TSarvoPrep() : Registry_(new TSarvoRegistry()) {}

TSarvoPrep::~TSarvoPrep() = default;

std::uint8_t TSarvoPrep::GetState() {
  // A read never creates the key: a fresh profile gives the default and
  // stays untouched. The key is opened without creation for the same reason,
  // in case it disappears between the test and the open.
  if (!Registry_->KeyExists(kKey)) return kNoStart;
  if (!Registry_->OpenKey(kKey, false)) return kNoStart;
  KeyCloser closer(*Registry_);
  if (!Registry_->ValueExists(kState)) return kNoStart;
  // Only the low-order byte is the flag.
  return static_cast<std::uint8_t>(Registry_->ReadInteger(kState) & 0xFF);
}

std::string TSarvoPrep::GetParams() {
  if (!Registry_->KeyExists(kKey)) return std::string();
  if (!Registry_->OpenKey(kKey, false)) return std::string();
  KeyCloser closer(*Registry_);
  if (!Registry_->ValueExists(kParams)) return std::string();
  return Registry_->ReadString(kParams);
}

void TSarvoPrep::SetState(std::uint8_t state) {
  // A key that cannot be created is not worth an error: the companion tool
  // then simply starts without the loader's hint.
  if (!Registry_->OpenKey(kKey, true)) return;
  KeyCloser closer(*Registry_);
  Registry_->WriteInteger(kState, state);
}

void TSarvoPrep::SetParams(const std::string& params) {
  if (!Registry_->OpenKey(kKey, true)) return;
  KeyCloser closer(*Registry_);
  Registry_->WriteString(kParams, params);
}

bool TSarvoPrep::GetRefusedSize(std::uint32_t& size) {
  if (!Registry_->KeyExists(kKey)) return false;
  if (!Registry_->OpenKey(kKey, false)) return false;
  KeyCloser closer(*Registry_);
  if (!Registry_->ValueExists(kRefusedSize)) return false;
  size = static_cast<std::uint32_t>(Registry_->ReadInteger(kRefusedSize));
  return true;
}

void TSarvoPrep::SetRefusedSize(std::uint32_t size) {
  if (!Registry_->OpenKey(kKey, true)) return;
  KeyCloser closer(*Registry_);
  Registry_->WriteInteger(kRefusedSize, static_cast<std::int32_t>(size));
}

void TSarvoPrep::ClearRefusedSize() {
  if (!Registry_->KeyExists(kKey)) return;
  if (!Registry_->OpenKey(kKey, false)) return;
  KeyCloser closer(*Registry_);
  Registry_->DeleteValue(kRefusedSize);
}

std::shared_ptr<ISarvoSettings> GetSarvoSettings() { return std::make_shared<TSarvoPrep>(); }
