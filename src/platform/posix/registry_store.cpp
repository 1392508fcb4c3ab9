// The Linux port's registry store: where the SQLite file of each root lies,
// its tables, and how one call opens it, works in one transaction and closes
// it again.
//
// Every call opens the store and closes it again, so a value written is
// visible to other processes at once and no process holds the store between
// calls. Reads open the file read-only and never create it; a writing call
// creates it (with the store's folder). A store file without any write
// permission bit refuses every write, also for root, as a read-only hive
// would.
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
#include "platform/posix/registry_store.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/posix/errno_codes.h"
#include "platform/sysinfo.h"

namespace platform {
namespace registry_store {
namespace {

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

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

void BeginCall() { gStoreFailure = Failure::None; }

bool StoreFailed() { return gStoreFailure != Failure::None; }

bool Fails(Failure* why, Failure otherwise) {
  SetFailure(why, gStoreFailure != Failure::None ? gStoreFailure : otherwise);
  return false;
}

bool NotFound(Failure* why) { return Fails(why, Failure::FileNotFound); }
bool Refused(Failure* why) { return Fails(why, Failure::AccessDenied); }

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

Session::Session() = default;

Session::~Session() {
  if (open_) Exec(db_.get(), "ROLLBACK");
}

bool Session::Begin(RegRoot root, bool write) {
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

bool Session::Failed() {
  if (readCode_ != SQLITE_OK) {
    NoteFailure(StoreFailure(readCode_, readErrno_));
  } else if (db_ == nullptr) {
    NoteFailure(Failure::NotEnoughMemory);
  } else {
    NoteFailure(StoreFailure(sqlite3_extended_errcode(db_.get()), sqlite3_system_errno(db_.get())));
  }
  return false;
}

bool Session::Commit() {
  if (!open_) return false;
  open_ = false;
  if (Exec(db_.get(), "COMMIT")) return true;
  Failed();
  Exec(db_.get(), "ROLLBACK");
  return false;
}

int Session::Step(sqlite3_stmt* st) {
  const int rc = sqlite3_step(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Failed();
  return rc;
}

bool Session::Open(const std::string& file, int flags) {
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
int Session::BeginRead() {
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

}  // namespace registry_store
}  // namespace platform
