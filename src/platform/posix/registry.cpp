// The Linux port's registry: its keys. A RegKey remembers only its root, its
// path and its access; every call opens the store for itself
// (registry_store.cpp). Reads never create a key; a key is created (with its
// parents, and the store's folder) only by RegKey::Create. The values of a
// key are in registry_values.cpp.
//
// Key paths are the Windows ones ("SOFTWARE\hollvik\Sarvo"); a leading,
// doubled or trailing "\" is ignored. Key paths and value names compare
// without regard to ASCII letter case and are stored as first written.
#include "platform/registry.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/backslash_path.h"
#include "platform/posix/registry_store.h"

namespace platform {
namespace registry_store {
namespace {

std::string JoinKeyPath(const std::vector<std::string>& segs, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += '\\';
    out += segs[i];
  }
  return out;
}

bool KeyExists(RegRoot root, const std::vector<std::string>& segs) {
  if (segs.empty()) return true;  // a root always exists
  Session s;
  if (!s.Begin(root, false)) return false;
  return FindKey(s, segs) != 0;
}

}  // namespace

std::string LowerAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

sqlite3_int64 FindKey(Session& s, const std::vector<std::string>& segs) {
  auto st = Prepare(s.db(), "SELECT id FROM reg_keys WHERE lpath = ?1");
  if (!st) return s.Failed();
  BindText(st.get(), 1, LowerAscii(JoinKeyPath(segs, segs.size())));
  if (s.Step(st.get()) != SQLITE_ROW) return 0;
  return sqlite3_column_int64(st.get(), 0);
}

sqlite3_int64 CreateKey(Session& s, const std::vector<std::string>& segs) {
  sqlite3_int64 id = 0;
  std::string parentPath;
  for (std::size_t n = 0; n <= segs.size(); ++n) {
    std::string lpath = LowerAscii(JoinKeyPath(segs, n));
    auto find = Prepare(s.db(), "SELECT id, path FROM reg_keys WHERE lpath = ?1");
    if (!find) return 0;
    BindText(find.get(), 1, lpath);
    if (sqlite3_step(find.get()) == SQLITE_ROW) {
      id = sqlite3_column_int64(find.get(), 0);
      const unsigned char* p = sqlite3_column_text(find.get(), 1);
      parentPath = p != nullptr ? reinterpret_cast<const char*>(p) : "";
      continue;
    }
    // A new key keeps the spelling of its parents as they were first
    // written and its own name as written now.
    std::string path = n == 0 ? "" : (n == 1 ? segs[0] : parentPath + "\\" + segs[n - 1]);
    auto ins = Prepare(s.db(), "INSERT INTO reg_keys(path, lpath) VALUES(?1, ?2)");
    if (!ins) return 0;
    BindText(ins.get(), 1, path);
    BindText(ins.get(), 2, lpath);
    if (sqlite3_step(ins.get()) != SQLITE_DONE) return 0;
    id = sqlite3_last_insert_rowid(s.db());
    parentPath = path;
  }
  return id;
}

}  // namespace registry_store

using registry_store::BeginCall;
using registry_store::BindText;
using registry_store::CreateKey;
using registry_store::JoinKeyPath;
using registry_store::KeyExists;
using registry_store::LowerAscii;
using registry_store::NotFound;
using registry_store::Prepare;
using registry_store::Refused;
using registry_store::Session;

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;

bool RegKey::Open(RegRoot root, const std::string& path, RegAccess access, Failure* why,
                  RegView /*view*/) {
  BeginCall();
  Close();
  std::vector<std::string> segs = SplitBackslashPath(path);
  if (!KeyExists(root, segs)) return NotFound(why);
  impl_ = std::make_unique<Impl>();
  impl_->root = root;
  impl_->segs = std::move(segs);
  impl_->access = access;
  return true;
}

bool RegKey::Create(RegRoot root, const std::string& path, RegAccess access, Failure* why,
                    RegView /*view*/) {
  BeginCall();
  Close();
  std::vector<std::string> segs = SplitBackslashPath(path);
  // An existing key opens without a write, so a read-only store still gives
  // access to what it holds (its writes are refused later, one by one).
  if (!KeyExists(root, segs)) {
    Session s;
    if (!s.Begin(root, true) || CreateKey(s, segs) == 0 || !s.Commit()) return Refused(why);
  }
  impl_ = std::make_unique<Impl>();
  impl_->root = root;
  impl_->segs = std::move(segs);
  impl_->access = access;
  return true;
}

bool RegKey::IsOpen() const { return impl_ != nullptr; }

void RegKey::Close() { impl_.reset(); }

bool RegKeyExists(RegRoot root, const std::string& path, Failure* why) {
  BeginCall();
  return KeyExists(root, SplitBackslashPath(path)) || NotFound(why);
}

bool RegDeleteKeyTree(RegRoot root, const std::string& path, Failure* why, RegView /*view*/) {
  BeginCall();
  std::vector<std::string> segs = SplitBackslashPath(path);
  if (segs.empty()) return Refused(why);  // a root cannot be deleted
  if (!KeyExists(root, segs)) return NotFound(why);
  Session s;
  if (!s.Begin(root, true)) return Refused(why);
  std::string lpath = LowerAscii(JoinKeyPath(segs, segs.size()));
  // The key and every key below it: its own path, or its path and a "\".
  const char* const kSubtree =
      "(lpath = ?1 OR (length(lpath) > length(?1) AND substr(lpath, 1, length(?1) + 1) = ?1 || "
      "'\\'))";
  std::string delValues =
      std::string("DELETE FROM reg_values WHERE key_id IN (SELECT id FROM reg_keys WHERE ") +
      kSubtree + ")";
  std::string delKeys = std::string("DELETE FROM reg_keys WHERE ") + kSubtree;
  for (const std::string& sql : {delValues, delKeys}) {
    auto st = Prepare(s.db(), sql.c_str());
    if (!st) return Refused(why);
    BindText(st.get(), 1, lpath);
    if (sqlite3_step(st.get()) != SQLITE_DONE) return Refused(why);
  }
  return s.Commit() || Refused(why);
}

}  // namespace platform
