// An exclusive lock that processes share through a lock file: whoever holds
// it may go on, everybody else finds it held. Loaders of every user and every
// session that run from one folder meet on the same file.
//
// Contract: any thread. TryLock asks once and never blocks; the waiting (and
// the GUI messages meanwhile) is the caller's. Never processes GUI messages,
// never throws. The lock file is opened with read and write sharing, created
// when missing and never deleted, so the name stays the meeting point for
// every later opener. The lock ends with Unlock, with the object, and with
// the process. Windows: LockFileEx on the file's first byte; the Linux port:
// flock, with the file never followed through a symbolic link.
#pragma once

#include <memory>
#include <string>

#include "platform/error_codes.h"

namespace platform {

class FileLock {
 public:
  enum class Result {
    Acquired,  // the caller holds the lock now
    Held,      // another opener holds it
    Failed,    // the file cannot be created, opened or locked
  };

  FileLock();
  ~FileLock();
  FileLock(FileLock&&) noexcept;
  FileLock& operator=(FileLock&&) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Tries once to take the lock of the file `path`. On Failed, `error` gets
  // the Failure (PathNotFound, AccessDenied, ...). A lock
  // this object already holds is released first.
  Result TryLock(const std::string& path, Failure* error = nullptr);
  bool IsLocked() const;
  // Releases the lock and closes the file; the file stays.
  void Unlock();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
