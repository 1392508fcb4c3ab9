// The Linux port's registry: one SQLite file per root.
//
// Every call opens the store, does its work in one transaction and closes it
// again, so a value written is visible to other processes at once and no
// process holds the store between calls. A RegKey remembers only its root,
// its path and its access. Reads open the file read-only and never create it
// or a key; a key is created (with its parents, and the store's folder) only
// by RegKey::Create. A store file without any write permission bit refuses
// every write, also for root, as a read-only hive would.
//
// A writer that was killed in the middle of a transaction leaves a hot
// rollback journal beside the store. A read-only connection cannot roll it
// back (SQLite answers SQLITE_READONLY_ROLLBACK), so a reader that meets one
// opens the store read-write, without creating anything, which rolls the
// journal back and leaves the last committed data; a reader that may not
// write the store (an ordinary user and the machine store) does the same on a
// private copy of the store and its journal and reads the committed data from
// there. WAL mode was not chosen: its readers must be able to create or write
// the "-shm" file beside the store, which ordinary users cannot do in
// /etc/kestro, and its files vanish when the last connection closes.
//
// Key paths are the Windows ones ("SOFTWARE\hollvik\Sarvo"); a leading,
// doubled or trailing "\" is ignored. Key paths and value names compare
// without regard to ASCII letter case and are stored as first written.
#include "platform/registry.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/common/backslash_path.h"
#include "platform/files.h"
#include "platform/posix/errno_codes.h"
#include "platform/sysinfo.h"

namespace platform {
namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
  void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// How long a call waits for another process that holds the store.
constexpr int kBusyTimeoutMs = 5000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  id INTEGER PRIMARY KEY,"
    "  path TEXT NOT NULL,"           // as first written, segments joined by "\"
    "  lpath TEXT NOT NULL UNIQUE);"  // the same in ASCII lower case, for lookups
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  id INTEGER PRIMARY KEY,"  // insertion order
    "  key_id INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  lname TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key_id, lname));";

std::string LowerAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string JoinKeyPath(const std::vector<std::string>& segs, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += '\\';
    out += segs[i];
  }
  return out;
}

std::string StoreFile(RegRoot root) {
  const bool machine = root == RegRoot::LocalMachine;
  std::string dir;
  if (GetEnv("KESTRO_REGISTRY_DIR", dir) && !dir.empty()) {
    if (dir.back() != '/') dir += '/';
    return dir + (machine ? "machine.db" : "user.db");
  }
  if (machine) return "/etc/kestro/registry.db";
  std::string config;
  if (!GetEnv("XDG_CONFIG_HOME", config) || config.empty()) {
    std::string home;
    if (!GetEnv("HOME", home) || home.empty()) return std::string();
    config = home + "/.config";
  }
  if (config.back() != '/') config += '/';
  return config + "kestro/registry.db";
}

// Creates the store's folder and any missing parents, 0755 whatever the
// umask, so that nobody but their owner can put another store in place.
// Folders that exist keep their modes.
bool MakeStoreFolder(const std::string& folder) {
  if (folder.empty()) return false;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeStoreFolder(folder.substr(0, slash))) {
    return false;
  }
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  ::chmod(folder.c_str(), 0755);
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool StoreIsReadOnly(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

// Why the current call of this thread failed, when the store itself failed;
// None while it only found no such key or value. Each public call starts it
// afresh and hands it to its caller.
thread_local Failure gStoreFailure = Failure::None;

// The store's failure as Windows names a registry's: a file that is no store
// is a corrupt registry, a writer's lock a lock violation, a refused open
// access denied, and anything else a failed registry I/O.
Failure StoreFailure(int extendedCode, int systemErrno) {
  switch (extendedCode & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return Failure::RegistryCorrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Failure::LockViolation;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
      return Failure::AccessDenied;
    case SQLITE_NOMEM:
      return Failure::NotEnoughMemory;
    case SQLITE_CANTOPEN:
      return FailureFromErrno(systemErrno, ErrnoUse::kRegistry);
    default:
      return Failure::RegistryIoFailed;
  }
}

void NoteFailure(Failure failure) {
  if (gStoreFailure == Failure::None) gStoreFailure = failure;  // the first is the cause
}

// Starts a public call: no failure of the store yet.
void BeginCall() { gStoreFailure = Failure::None; }

// Ends a public call that failed: the store's failure, or `otherwise` when
// the store is sound (FileNotFound for a missing key or value, AccessDenied
// for a write the store refuses). Always false.
bool Fails(Failure* why, Failure otherwise) {
  SetFailure(why, gStoreFailure != Failure::None ? gStoreFailure : otherwise);
  return false;
}

bool NotFound(Failure* why) { return Fails(why, Failure::FileNotFound); }
bool Refused(Failure* why) { return Fails(why, Failure::AccessDenied); }

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A private copy of a store and its hot journal, removed with its folder when
// the object goes.
class PrivateCopy {
 public:
  // Copies `file` and `file`-journal; false when either copy fails.
  bool Make(const std::string& file) {
    std::string tmp;
    if (!GetEnv("TMPDIR", tmp) || tmp.empty()) tmp = "/tmp";
    std::string pattern = tmp + "/kestro-registry-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) return false;
    dir_ = pattern;
    copy_ = dir_ + "/store.db";
    return FileCopy(file, copy_, true) && FileCopy(file + "-journal", copy_ + "-journal", true);
  }
  ~PrivateCopy() {
    if (dir_.empty()) return;
    FileDelete(copy_ + "-journal");
    FileDelete(copy_);
    ::rmdir(dir_.c_str());
  }
  const std::string& path() const { return copy_; }

 private:
  std::string dir_;
  std::string copy_;
};

StmtPtr Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return nullptr;
  }
  return StmtPtr(st);
}

void BindText(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// One call's connection and transaction. The transaction is rolled back
// unless Commit succeeds, and the connection is closed when the object goes.
class Session {
 public:
  // Opens the store of `root`. A reading session never creates the file; a
  // writing one creates it (and its folder) and the tables.
  bool Begin(RegRoot root, bool write) {
    file_ = StoreFile(root);
    if (file_.empty()) return false;
    if (write) {
      if (StoreIsReadOnly(file_)) return false;
      std::size_t slash = file_.find_last_of('/');
      if (slash != std::string::npos && slash > 0 && !MakeStoreFolder(file_.substr(0, slash))) {
        return false;
      }
    }
    if (write) {
      struct stat before {};
      const bool fresh = ::lstat(file_.c_str(), &before) != 0;
      if (!Open(file_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) return Failed();
      // A new store is readable by everyone and writable by its owner alone,
      // whatever the umask: the machine store holds the update key.
      if (fresh) ::chmod(file_.c_str(), 0644);
      // IMMEDIATE takes the write lock at once, so two writers queue up on
      // the busy time-out instead of failing halfway. A hot journal of a
      // killed writer is rolled back here.
      if (!Exec(db_.get(), "BEGIN IMMEDIATE")) return Failed();
      open_ = true;
      if (!Exec(db_.get(), kSchema)) return Failed();
      return true;
    }
    // A store that does not exist yet holds no keys: that is no failure.
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
      // Missing, or a folder on the way that may not be searched.
      if (FailureFromErrno(errno, ErrnoUse::kRegistry) == Failure::AccessDenied) {
        NoteFailure(Failure::AccessDenied);
      }
      return false;
    }
    if (!Open(file_, SQLITE_OPEN_READONLY)) return Failed();
    int rc = BeginRead();
    if (rc == SQLITE_READONLY_ROLLBACK) {
      // A killed writer's journal: roll it back in place where we may write,
      // else in a private copy.
      rc = Open(file_, SQLITE_OPEN_READWRITE) ? BeginRead() : SQLITE_READONLY;
      if ((rc & 0xFF) == SQLITE_READONLY || rc == SQLITE_CANTOPEN) {
        copy_ = std::make_unique<PrivateCopy>();
        if (!copy_->Make(file_) || !Open(copy_->path(), SQLITE_OPEN_READWRITE)) {
          // A hot journal that cannot be rolled back.
          NoteFailure(Failure::RegistryIoFailed);
          return false;
        }
        rc = BeginRead();
      }
    }
    if (rc != SQLITE_OK) return Failed();
    open_ = true;
    return true;
  }

  // Notes a failure of the store for the call's caller; always false.
  bool Failed() {
    if (readCode_ != SQLITE_OK) {
      NoteFailure(StoreFailure(readCode_, readErrno_));
    } else if (db_ == nullptr) {
      NoteFailure(Failure::NotEnoughMemory);
    } else {
      NoteFailure(
          StoreFailure(sqlite3_extended_errcode(db_.get()), sqlite3_system_errno(db_.get())));
    }
    return false;
  }

  bool Commit() {
    if (!open_) return false;
    open_ = false;
    if (Exec(db_.get(), "COMMIT")) return true;
    Failed();
    Exec(db_.get(), "ROLLBACK");
    return false;
  }

  ~Session() {
    if (open_) Exec(db_.get(), "ROLLBACK");
  }

  sqlite3* db() const { return db_.get(); }

  // The result of a step that was expected to give a row or to be done: any
  // other result is the store failing, not a missing key or value.
  int Step(sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Failed();
    return rc;
  }

  // The id of the key with these segments; 0 when it does not exist. The root
  // itself exists always but has a row only once something was stored in it.
  sqlite3_int64 FindKey(const std::vector<std::string>& segs) {
    auto st = Prepare(db_.get(), "SELECT id FROM reg_keys WHERE lpath = ?1");
    if (!st) return Failed();
    BindText(st.get(), 1, LowerAscii(JoinKeyPath(segs, segs.size())));
    if (Step(st.get()) != SQLITE_ROW) return 0;
    return sqlite3_column_int64(st.get(), 0);
  }

  // Finds or creates the key and every missing parent; 0 on failure.
  sqlite3_int64 CreateKey(const std::vector<std::string>& segs) {
    sqlite3_int64 id = 0;
    std::string parentPath;
    for (std::size_t n = 0; n <= segs.size(); ++n) {
      std::string lpath = LowerAscii(JoinKeyPath(segs, n));
      auto find = Prepare(db_.get(), "SELECT id, path FROM reg_keys WHERE lpath = ?1");
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
      auto ins = Prepare(db_.get(), "INSERT INTO reg_keys(path, lpath) VALUES(?1, ?2)");
      if (!ins) return 0;
      BindText(ins.get(), 1, path);
      BindText(ins.get(), 2, lpath);
      if (sqlite3_step(ins.get()) != SQLITE_DONE) return 0;
      id = sqlite3_last_insert_rowid(db_.get());
      parentPath = path;
    }
    return id;
  }

 private:
  bool Open(const std::string& file, int flags) {
    open_ = false;
    db_.reset();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);  // also a failed open hands out a handle to be closed
    if (rc != SQLITE_OK) return false;
    sqlite3_extended_result_codes(db_.get(), 1);
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    return true;
  }

  // Begins a read transaction and reads the schema, which is when SQLite
  // looks at the file (not a database?) and at a journal beside it. SQLITE_OK
  // or the extended code of the failure.
  // The failure's codes are kept for Failed(): the rollback after it
  // replaces the connection's own.
  int BeginRead() {
    readCode_ = SQLITE_OK;
    if (!Exec(db_.get(), "BEGIN")) return sqlite3_extended_errcode(db_.get());
    auto st = Prepare(db_.get(), "SELECT count(*) FROM sqlite_master");
    if (st && sqlite3_step(st.get()) == SQLITE_ROW) return SQLITE_OK;
    const int code = sqlite3_extended_errcode(db_.get());
    readCode_ = code;
    readErrno_ = sqlite3_system_errno(db_.get());
    st.reset();
    Exec(db_.get(), "ROLLBACK");
    return code;
  }

  std::string file_;
  int readCode_ = SQLITE_OK;
  int readErrno_ = 0;
  // Declared before db_, so the connection closes before the copy goes.
  std::unique_ptr<PrivateCopy> copy_;
  DbPtr db_;
  bool open_ = false;
};

bool KeyExists(RegRoot root, const std::vector<std::string>& segs) {
  if (segs.empty()) return true;  // a root always exists
  Session s;
  if (!s.Begin(root, false)) return false;
  return s.FindKey(segs) != 0;
}

}  // namespace

struct RegKey::Impl {
  RegRoot root = RegRoot::CurrentUser;
  std::vector<std::string> segs;
  RegAccess access = RegAccess::Read;
};

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
    if (!s.Begin(root, true) || s.CreateKey(segs) == 0 || !s.Commit()) return Refused(why);
  }
  impl_ = std::make_unique<Impl>();
  impl_->root = root;
  impl_->segs = std::move(segs);
  impl_->access = access;
  return true;
}

bool RegKey::IsOpen() const { return impl_ != nullptr; }

void RegKey::Close() { impl_.reset(); }

bool RegKey::Read(const std::string& name, RegValue& out, Failure* why) const {
  BeginCall();
  if (!impl_) {
    SetFailure(why, Failure::InvalidHandle);
    return false;
  }
  Session s;
  if (!s.Begin(impl_->root, false)) return NotFound(why);
  sqlite3_int64 key = s.FindKey(impl_->segs);
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
  sqlite3_int64 key = impl_->segs.empty() ? s.CreateKey(impl_->segs) : s.FindKey(impl_->segs);
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
  sqlite3_int64 key = s.FindKey(impl_->segs);
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
  const sqlite3_int64 key = s.Begin(impl_->root, false) ? s.FindKey(impl_->segs) : 0;
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
  if (!st || gStoreFailure != Failure::None) {
    NotFound(why);
    names.clear();
  }
  return names;
}

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
