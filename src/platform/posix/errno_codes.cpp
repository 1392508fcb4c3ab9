#include "platform/posix/errno_codes.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/error_codes.h"
#include "platform/posix/path_facts.h"

namespace platform {

namespace {

// In the files column: 2 or 3, as the folder of the path exists or not.
constexpr std::uint32_t kFileOrPathNotFound = 0;

struct Row {
  int err;
  std::uint32_t files;
  std::uint32_t fileLock;
  std::uint32_t spawn;
};

// EWOULDBLOCK is EAGAIN here: a held lock for the files, a full process
// table for a spawn.
constexpr Row kTable[] = {
    //  errno        files                  file lock         spawn
    {ENOENT, kFileOrPathNotFound, kErrPathNotFound, kErrFileNotFound},
    {ENOTDIR, kErrPathNotFound, kErrPathNotFound, kErrPathNotFound},
    {EACCES, kErrAccessDenied, kErrAccessDenied, kErrAccessDenied},
    {EPERM, kErrAccessDenied, kErrAccessDenied, kErrAccessDenied},
    {EISDIR, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
    {EROFS, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
    // O_NOFOLLOW met a symbolic link in the file's place.
    {ELOOP, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
    {EWOULDBLOCK, kErrSharingViolation, kErrGenFailure, kErrNotEnoughMemory},
    {ETXTBSY, kErrSharingViolation, kErrGenFailure, kErrGenFailure},
    {EBUSY, kErrSharingViolation, kErrGenFailure, kErrGenFailure},
    {EEXIST, kErrFileExists, kErrGenFailure, kErrGenFailure},
    {ENOSPC, kErrDiskFull, kErrGenFailure, kErrGenFailure},
    {EDQUOT, kErrDiskFull, kErrGenFailure, kErrGenFailure},
    {ENOMEM, kErrGenFailure, kErrGenFailure, kErrNotEnoughMemory},
    {ENOEXEC, kErrGenFailure, kErrGenFailure, kErrBadExeFormat},
};
static_assert(EWOULDBLOCK == EAGAIN, "one row serves both names");

}  // namespace

std::uint32_t WindowsErrorCode(int err, ErrnoUse use, const std::string& path) {
  for (const Row& row : kTable) {
    if (row.err != err) continue;
    const std::uint32_t code = use == ErrnoUse::kFiles      ? row.files
                               : use == ErrnoUse::kFileLock ? row.fileLock
                                                            : row.spawn;
    if (code == kFileOrPathNotFound) {
      return IsDir(ParentOf(path)) ? kErrFileNotFound : kErrPathNotFound;
    }
    return code;
  }
  return kErrGenFailure;
}

}  // namespace platform
