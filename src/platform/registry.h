// The registry: read-only lookups under the machine root and read/write access
// under the current user's root.
//
// On Windows this is the real registry. The Linux port keeps one SQLite store
// per root (machine: /etc/kestro/registry.db, user:
// $XDG_CONFIG_HOME/kestro/registry.db, or machine.db and user.db in the folder
// named by KESTRO_REGISTRY_DIR); key paths and value names compare without
// regard to ASCII letter case, and every call opens the store, works in one
// transaction and closes it again, so a value is visible to other processes as
// soon as the call returns.
//
// Contract: any thread; blocks only on the store; never processes GUI
// messages; never throws. Missing keys and values are return values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class RegRoot { LocalMachine, CurrentUser };

// Value types, numbered as Windows numbers them. Any other number is kept and
// handed back as raw bytes.
enum RegType : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegValue {
  std::uint32_t type = kRegNone;
  std::string data;  // raw bytes as stored (strings include their NUL)
};

enum class RegAccess {
  Read,  // read-only; narrower read rights are tried where full read is refused
  All,   // read and write
};

// An open key. Move-only; closed by its destructor.
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(RegKey&&) noexcept;
  RegKey& operator=(RegKey&&) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens an existing key. A leading "\" in `path` is allowed. False when the
  // key does not exist or cannot be opened with that access.
  bool Open(RegRoot root, const std::string& path, RegAccess access);
  // Opens the key, creating it and any missing parents. False when it cannot
  // be created or opened.
  bool Create(RegRoot root, const std::string& path, RegAccess access);
  bool IsOpen() const;
  void Close();

  // False when the value does not exist or cannot be read.
  bool Read(const std::string& name, RegValue& out) const;
  // False when the store refuses the write.
  bool Write(const std::string& name, const RegValue& value);
  bool DeleteValue(const std::string& name);
  // Names of the values of this key, in the store's order.
  std::vector<std::string> ValueNames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

bool RegKeyExists(RegRoot root, const std::string& path);
// Deletes a key with its values and subkeys; false when it did not exist or
// could not be deleted.
bool RegDeleteKeyTree(RegRoot root, const std::string& path);

// Why the last call of this thread failed when the store itself failed (the
// Linux port's SQLite store: not a database, unreadable, a journal that
// cannot be rolled back), in the store's own words; empty after a success or
// a failure that only means "no such key or value". The Windows registry
// reports its refusals through the calls' results alone: empty there.
std::string RegLastFailure();

}  // namespace platform
