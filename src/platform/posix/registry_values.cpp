// The Linux port's registry: the values of a key, read and written in one
// transaction of the key's store each (registry_store.cpp). A value keeps the
// spelling of its name as first written and its place in its key's order.
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/registry_store.h"
#include "platform/registry.h"

namespace platform {

using registry_store::BeginCall;
using registry_store::BindText;
using registry_store::CreateKey;
using registry_store::Fails;
using registry_store::FindKey;
using registry_store::LowerAscii;
using registry_store::NotFound;
using registry_store::Prepare;
using registry_store::Refused;
using registry_store::Session;
using registry_store::StoreFailed;

bool RegKey::Read(const std::string& name, RegValue& out, Failure* why) const {
  BeginCall();
  if (!impl_) {
    SetFailure(why, Failure::InvalidHandle);
    return false;
  }
  Session s;
  if (!s.Begin(impl_->root, false)) return NotFound(why);
  sqlite3_int64 key = FindKey(s, impl_->segs);
  if (key == 0) return NotFound(why);
  auto st = Prepare(s.db(), "SELECT type, data FROM reg_values WHERE key_id = ?1 AND lname = ?2");
  if (!st) {
    s.Failed();
    return NotFound(why);
  }
  sqlite3_bind_int64(st.get(), 1, key);
  BindText(st.get(), 2, LowerAscii(name));
  if (s.Step(st.get()) != SQLITE_ROW) return NotFound(why);
  out.type = static_cast<std::uint32_t>(sqlite3_column_int64(st.get(), 0));
  const void* blob = sqlite3_column_blob(st.get(), 1);
  int size = sqlite3_column_bytes(st.get(), 1);
  out.data.assign(static_cast<const char*>(blob),
                  blob != nullptr ? static_cast<std::size_t>(size) : 0);
  return true;
}

bool RegKey::Write(const std::string& name, const RegValue& value, Failure* why) {
  BeginCall();
  if (!impl_) return Fails(why, Failure::InvalidHandle);
  if (impl_->access != RegAccess::All) return Refused(why);
  Session s;
  if (!s.Begin(impl_->root, true)) return Refused(why);
  // A key deleted since it was opened takes no more values, as on Windows.
  sqlite3_int64 key = impl_->segs.empty() ? CreateKey(s, impl_->segs) : FindKey(s, impl_->segs);
  if (key == 0) return NotFound(why);
  // An existing value keeps its place in the order and its spelling.
  auto upd = Prepare(s.db(),
                     "UPDATE reg_values SET type = ?3, data = ?4 WHERE key_id = ?1 AND lname = ?2");
  if (!upd) return Refused(why);
  sqlite3_bind_int64(upd.get(), 1, key);
  BindText(upd.get(), 2, LowerAscii(name));
  sqlite3_bind_int64(upd.get(), 3, static_cast<sqlite3_int64>(value.type));
  sqlite3_bind_blob(upd.get(), 4, value.data.data(), static_cast<int>(value.data.size()),
                    SQLITE_TRANSIENT);
  if (s.Step(upd.get()) != SQLITE_DONE) return Refused(why);
  if (sqlite3_changes(s.db()) == 0) {
    auto ins = Prepare(
        s.db(),
        "INSERT INTO reg_values(key_id, name, lname, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
    if (!ins) return Refused(why);
    sqlite3_bind_int64(ins.get(), 1, key);
    BindText(ins.get(), 2, name);
    BindText(ins.get(), 3, LowerAscii(name));
    sqlite3_bind_int64(ins.get(), 4, static_cast<sqlite3_int64>(value.type));
    sqlite3_bind_blob(ins.get(), 5, value.data.data(), static_cast<int>(value.data.size()),
                      SQLITE_TRANSIENT);
    if (s.Step(ins.get()) != SQLITE_DONE) return Refused(why);
  }
  return s.Commit() || Refused(why);
}

bool RegKey::DeleteValue(const std::string& name, Failure* why) {
  BeginCall();
  if (!impl_) return Fails(why, Failure::InvalidHandle);
  if (impl_->access != RegAccess::All) return Refused(why);
  Session s;
  if (!s.Begin(impl_->root, true)) return Refused(why);
  sqlite3_int64 key = FindKey(s, impl_->segs);
  if (key == 0) return NotFound(why);
  auto del = Prepare(s.db(), "DELETE FROM reg_values WHERE key_id = ?1 AND lname = ?2");
  if (!del) return Refused(why);
  sqlite3_bind_int64(del.get(), 1, key);
  BindText(del.get(), 2, LowerAscii(name));
  if (sqlite3_step(del.get()) != SQLITE_DONE) return Refused(why);
  if (sqlite3_changes(s.db()) == 0) return NotFound(why);
  return s.Commit() || Refused(why);
}

std::vector<std::string> RegKey::ValueNames(Failure* why) const {
  BeginCall();
  std::vector<std::string> names;
  if (!impl_) {
    Fails(why, Failure::InvalidHandle);
    return names;
  }
  Session s;
  const sqlite3_int64 key = s.Begin(impl_->root, false) ? FindKey(s, impl_->segs) : 0;
  auto st = key != 0 ? Prepare(s.db(), "SELECT name FROM reg_values WHERE key_id = ?1 ORDER BY id")
                     : nullptr;
  if (st) {
    sqlite3_bind_int64(st.get(), 1, key);
    while (s.Step(st.get()) == SQLITE_ROW) {
      const unsigned char* n = sqlite3_column_text(st.get(), 0);
      names.emplace_back(n != nullptr ? reinterpret_cast<const char*>(n) : "",
                         static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0)));
    }
  } else if (key != 0) {
    s.Failed();
  }
  if (!st || StoreFailed()) {
    NotFound(why);
    names.clear();
  }
  return names;
}

}  // namespace platform
