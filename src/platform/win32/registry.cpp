// The registry through the Win32 API (the A functions: names and strings are
// ANSI bytes).
#include "platform/registry.h"

#include <windows.h>

#include "platform/win32/win_handles.h"

namespace platform {

namespace {

HKEY RootKey(RegRoot root) {
  return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Key paths are relative to their root; a leading "\" is accepted from
// callers who write the path as absolute below the root.
std::string RelativePath(const std::string& path) {
  std::string::size_type start = 0;
  while (start < path.size() && path[start] == '\\') ++start;
  return path.substr(start);
}

// The rights tried, in order, for each kind of access. A user without full
// read rights on a machine key may still be allowed to query its values.
const REGSAM kReadRights[] = {
    KEY_READ,
    STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
    KEY_QUERY_VALUE,
};
const REGSAM kAllRights[] = {KEY_ALL_ACCESS};

template <typename OpenFn>
HKEY OpenWithRights(RegAccess access, OpenFn open, LONG* status = nullptr) {
  const REGSAM* first = access == RegAccess::Read ? kReadRights : kAllRights;
  const std::size_t count = access == RegAccess::Read ? sizeof(kReadRights) / sizeof(REGSAM)
                                                      : sizeof(kAllRights) / sizeof(REGSAM);
  for (std::size_t i = 0; i < count; ++i) {
    HKEY h = nullptr;
    LONG rc = open(first[i], &h);
    if (status != nullptr) *status = rc;
    if (rc == ERROR_SUCCESS) return h;
    // Only a refusal of the rights is worth another try; a missing key stays
    // missing whatever is asked for.
    if (rc != ERROR_ACCESS_DENIED) return nullptr;
  }
  return nullptr;
}

// True for ERROR_SUCCESS; else hands the code to `why`.
bool Succeeded(LONG status, Failure* why) {
  if (status == ERROR_SUCCESS) return true;
  SetFailure(why, FailureFromCode(static_cast<std::uint32_t>(status)));
  return false;
}

// The access flag that opens `view` of a 64-bit Windows registry; none for a
// program's own view (32-bit Windows ignores the flags).
REGSAM ViewFlag(RegView view) {
  return view == RegView::Wow64_64   ? KEY_WOW64_64KEY
         : view == RegView::Wow64_32 ? KEY_WOW64_32KEY
                                     : 0;
}

}  // namespace

struct RegKey::Impl {
  win32::RegKeyHandle key;
};

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;

bool RegKey::Open(RegRoot root, const std::string& path, RegAccess access, Failure* why,
                  RegView view) {
  Close();
  const std::string rel = RelativePath(path);
  const REGSAM viewFlag = ViewFlag(view);
  LONG status = ERROR_SUCCESS;
  HKEY h = OpenWithRights(
      access,
      [&](REGSAM sam, HKEY* out) {
        return ::RegOpenKeyExA(RootKey(root), rel.c_str(), 0, sam | viewFlag, out);
      },
      &status);
  if (h == nullptr) {
    SetFailure(why, FailureFromCode(static_cast<std::uint32_t>(status)));
    return false;
  }
  impl_.reset(new Impl{win32::RegKeyHandle(h)});
  return true;
}

bool RegKey::Create(RegRoot root, const std::string& path, RegAccess access, Failure* why,
                    RegView view) {
  Close();
  const std::string rel = RelativePath(path);
  const REGSAM viewFlag = ViewFlag(view);
  LONG status = ERROR_SUCCESS;
  HKEY h = OpenWithRights(
      access,
      [&](REGSAM sam, HKEY* out) {
        return ::RegCreateKeyExA(RootKey(root), rel.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 sam | viewFlag, nullptr, out, nullptr);
      },
      &status);
  if (h == nullptr) {
    SetFailure(why, FailureFromCode(static_cast<std::uint32_t>(status)));
    return false;
  }
  impl_.reset(new Impl{win32::RegKeyHandle(h)});
  return true;
}

bool RegKey::IsOpen() const { return impl_ && impl_->key.valid(); }

void RegKey::Close() { impl_.reset(); }

bool RegKey::Read(const std::string& name, RegValue& out, Failure* why) const {
  if (!IsOpen()) {
    SetFailure(why, Failure::InvalidHandle);
    return false;
  }
  HKEY key = impl_->key.get();
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG rc = ::RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) {
    SetFailure(why, FailureFromCode(static_cast<std::uint32_t>(rc)));
    return false;
  }
  // The size asked for first may be an upper bound (strings are stored as
  // UTF-16 and converted), and the value may change between the two calls,
  // so the second call's size is the one that counts.
  std::string data;
  for (int attempt = 0; attempt < 8; ++attempt) {
    data.assign(size, '\0');
    DWORD got = size;
    rc = ::RegQueryValueExA(key, name.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(data.empty() ? nullptr : &data[0]), &got);
    if (rc == ERROR_SUCCESS) {
      data.resize(got);
      out.type = type;
      out.data = std::move(data);
      return true;
    }
    if (rc != ERROR_MORE_DATA) {
      SetFailure(why, FailureFromCode(static_cast<std::uint32_t>(rc)));
      return false;
    }
    size = got > size ? got : size * 2 + 16;
  }
  // A value that kept growing between the calls.
  SetFailure(why, Failure::RegistryIoFailed);
  return false;
}

bool RegKey::Write(const std::string& name, const RegValue& value, Failure* why) {
  if (!IsOpen()) return Succeeded(ERROR_INVALID_HANDLE, why);
  LONG rc = ::RegSetValueExA(impl_->key.get(), name.c_str(), 0, value.type,
                             reinterpret_cast<const BYTE*>(value.data.data()),
                             static_cast<DWORD>(value.data.size()));
  return Succeeded(rc, why);
}

bool RegKey::DeleteValue(const std::string& name, Failure* why) {
  if (!IsOpen()) return Succeeded(ERROR_INVALID_HANDLE, why);
  return Succeeded(::RegDeleteValueA(impl_->key.get(), name.c_str()), why);
}

std::vector<std::string> RegKey::ValueNames(Failure* why) const {
  std::vector<std::string> names;
  if (!IsOpen()) {
    Succeeded(ERROR_INVALID_HANDLE, why);
    return names;
  }
  HKEY key = impl_->key.get();
  DWORD maxNameLen = 0;
  if (!Succeeded(::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, &maxNameLen, nullptr, nullptr, nullptr),
                 why)) {
    return names;
  }
  std::string buf(maxNameLen + 1, '\0');
  for (DWORD index = 0;;) {
    DWORD len = static_cast<DWORD>(buf.size());
    LONG rc = ::RegEnumValueA(key, index, &buf[0], &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) {
      // A value with a longer name was added since the key was asked.
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS ends the list
    names.emplace_back(buf.data(), len);
    ++index;
  }
  return names;
}

bool RegKeyExists(RegRoot root, const std::string& path, Failure* why) {
  RegKey key;
  return key.Open(root, path, RegAccess::Read, why);
}

bool RegDeleteKeyTree(RegRoot root, const std::string& path, Failure* why, RegView view) {
  const std::string rel = RelativePath(path);
  // An empty path would name the root itself and wipe all of it.
  if (rel.empty()) return Succeeded(ERROR_ACCESS_DENIED, why);
  const REGSAM viewFlag = ViewFlag(view);
  if (viewFlag == 0) return Succeeded(::RegDeleteTreeA(RootKey(root), rel.c_str()), why);
  // RegDeleteTreeA takes no view: the key is opened in its view, emptied
  // through that handle, and then deleted in the same view.
  HKEY h = nullptr;
  LONG rc = ::RegOpenKeyExA(RootKey(root), rel.c_str(), 0, KEY_ALL_ACCESS | viewFlag, &h);
  if (rc != ERROR_SUCCESS) return Succeeded(rc, why);
  {
    win32::RegKeyHandle key(h);
    rc = ::RegDeleteTreeA(key.get(), nullptr);
  }
  if (rc != ERROR_SUCCESS) return Succeeded(rc, why);
  return Succeeded(::RegDeleteKeyExA(RootKey(root), rel.c_str(), viewFlag, 0), why);
}

}  // namespace platform
