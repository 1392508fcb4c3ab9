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
// messages; never throws. Missing keys and values are return values; where a
// caller must tell a missing one from a store that failed, every call hands
// out the Failure: FileNotFound for a missing key or value, anything else for
// a refusal or a failing store (the Linux port: AccessDenied for a store the
// user may not read, LockViolation for one a writer holds past the wait,
// RegistryCorrupt for a file that is no store, RegistryIoFailed otherwise).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_codes.h"

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

// Which view of HKLM\SOFTWARE a program on 64-bit Windows opens: its own
// (the 32-bit view for a 32-bit program, the 64-bit view for a 64-bit one),
// the 64-bit view, or the 32-bit view (Wow6432Node), where 32-bit programs
// keep their machine-wide settings. Keys that Windows shares between the
// views (HKLM\SOFTWARE\Policies among them) read the same in each. 32-bit
// Windows and the Linux port have one view and ignore this.
enum class RegView { Own, Wow64_64, Wow64_32 };

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
  // key does not exist or cannot be opened with that access, and why.
  bool Open(RegRoot root, const std::string& path, RegAccess access, Failure* why = nullptr,
            RegView view = RegView::Own);
  // Opens the key, creating it and any missing parents. False when it cannot
  // be created or opened.
  bool Create(RegRoot root, const std::string& path, RegAccess access, Failure* why = nullptr,
              RegView view = RegView::Own);
  bool IsOpen() const;
  void Close();

  // False when the value does not exist or cannot be read, and why.
  bool Read(const std::string& name, RegValue& out, Failure* why = nullptr) const;
  // False when the store refuses the write, and why.
  bool Write(const std::string& name, const RegValue& value, Failure* why = nullptr);
  bool DeleteValue(const std::string& name, Failure* why = nullptr);
  // Names of the values of this key, in the store's order; empty with `why`
  // set when they cannot be listed.
  std::vector<std::string> ValueNames(Failure* why = nullptr) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

bool RegKeyExists(RegRoot root, const std::string& path, Failure* why = nullptr);
// Deletes a key with its values and subkeys; false when it did not exist or
// could not be deleted, and why.
bool RegDeleteKeyTree(RegRoot root, const std::string& path, Failure* why = nullptr,
                      RegView view = RegView::Own);

}  // namespace platform
