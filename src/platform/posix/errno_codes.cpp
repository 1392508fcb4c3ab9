#include "platform/posix/errno_codes.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/error_codes.h"
#include "platform/posix/path_facts.h"

namespace platform {

namespace {

// In the files column: 2 or 3, as the folder of the path exists or not.
constexpr Failure kFileOrPathNotFound = Failure::None;

struct Row {
  int err;
  Failure files;
  Failure fileLock;
  Failure spawn;
};

// EWOULDBLOCK is EAGAIN here: a held lock for the files, a full process
// table for a spawn.
constexpr Row kTable[] = {
    //  errno        files                  file lock         spawn
    {ENOENT, kFileOrPathNotFound, Failure::PathNotFound, Failure::FileNotFound},
    {ENOTDIR, Failure::PathNotFound, Failure::PathNotFound, Failure::PathNotFound},
    {EACCES, Failure::AccessDenied, Failure::AccessDenied, Failure::AccessDenied},
    {EPERM, Failure::AccessDenied, Failure::AccessDenied, Failure::AccessDenied},
    {EISDIR, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
    {EROFS, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
    // O_NOFOLLOW met a symbolic link in the file's place.
    {ELOOP, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
    {EWOULDBLOCK, Failure::SharingViolation, Failure::GenFailure, Failure::NotEnoughMemory},
    {ETXTBSY, Failure::SharingViolation, Failure::GenFailure, Failure::GenFailure},
    {EBUSY, Failure::SharingViolation, Failure::GenFailure, Failure::GenFailure},
    {EEXIST, Failure::FileExists, Failure::GenFailure, Failure::GenFailure},
    {ENOSPC, Failure::DiskFull, Failure::GenFailure, Failure::GenFailure},
    {EDQUOT, Failure::DiskFull, Failure::GenFailure, Failure::GenFailure},
    {ENOMEM, Failure::GenFailure, Failure::GenFailure, Failure::NotEnoughMemory},
    {ENOEXEC, Failure::GenFailure, Failure::GenFailure, Failure::BadExeFormat},
};
static_assert(EWOULDBLOCK == EAGAIN, "one row serves both names");

}  // namespace

Failure FailureFromErrno(int err, ErrnoUse use, const std::string& path) {
  for (const Row& row : kTable) {
    if (row.err != err) continue;
    const Failure code = use == ErrnoUse::kFiles      ? row.files
                         : use == ErrnoUse::kFileLock ? row.fileLock
                                                      : row.spawn;
    if (code == kFileOrPathNotFound) {
      return IsDir(ParentOf(path)) ? Failure::FileNotFound : Failure::PathNotFound;
    }
    return code;
  }
  return Failure::GenFailure;
}

}  // namespace platform
