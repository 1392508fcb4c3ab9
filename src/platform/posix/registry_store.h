// The Linux port's registry store, as the key and value operations see it:
// one call's connection and transaction on the SQLite file of a root, its
// statements, and the bookkeeping of why a call failed. Private to
// platform/posix/registry*.cpp.
//
// The key and value operations work on the tables that kSchema
// (registry_store.cpp) lays out.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/registry.h"

namespace platform {

// What an open key remembers: the store is opened anew by every call.
struct RegKey::Impl {
  RegRoot root = RegRoot::CurrentUser;
  std::vector<std::string> segs;
  RegAccess access = RegAccess::Read;
};

namespace registry_store {

struct StmtFinalizer {
  void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// A prepared statement; null when the SQL cannot be prepared.
StmtPtr Prepare(sqlite3* db, const char* sql);
void BindText(sqlite3_stmt* st, int i, const std::string& s);

// What each public call does with the failures of the store. A call starts
// with BeginCall; the first failure of the store that it meets is its cause.
void BeginCall();
// True once the store failed in this call.
bool StoreFailed();
// Ends a public call that failed: the store's failure, or `otherwise` when
// the store is sound (FileNotFound for a missing key or value, AccessDenied
// for a write the store refuses). Always false.
bool Fails(Failure* why, Failure otherwise);
bool NotFound(Failure* why);
bool Refused(Failure* why);

class PrivateCopy;

// One call's connection and transaction. The transaction is rolled back
// unless Commit succeeds, and the connection is closed when the object goes.
class Session {
 public:
  Session();
  ~Session();

  // Opens the store of `root`. A reading session never creates the file; a
  // writing one creates it (and its folder) and the tables.
  bool Begin(RegRoot root, bool write);
  // Notes a failure of the store for the call's caller; always false.
  bool Failed();
  bool Commit();

  sqlite3* db() const { return db_.get(); }

  // The result of a step that was expected to give a row or to be done: any
  // other result is the store failing, not a missing key or value.
  int Step(sqlite3_stmt* st);

 private:
  struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };

  bool Open(const std::string& file, int flags);
  int BeginRead();

  std::string file_;
  int readCode_ = SQLITE_OK;
  int readErrno_ = 0;
  // Declared before db_, so the connection closes before the copy goes.
  std::unique_ptr<PrivateCopy> copy_;
  std::unique_ptr<sqlite3, DbCloser> db_;
  bool open_ = false;
};

// Keys (registry.cpp). Key paths and value names compare in ASCII lower case.
std::string LowerAscii(const std::string& s);
// The id of the key with these segments; 0 when it does not exist. The root
// itself exists always but has a row only once something was stored in it.
sqlite3_int64 FindKey(Session& s, const std::vector<std::string>& segs);
// Finds or creates the key and every missing parent; 0 on failure.
sqlite3_int64 CreateKey(Session& s, const std::vector<std::string>& segs);

}  // namespace registry_store
}  // namespace platform
