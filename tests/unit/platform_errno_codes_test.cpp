// The Linux port's errno table: each service keeps the codes it hands out,
// the same cause giving different codes where Windows answers differently
// (a missing lock file's folder is 3, a missing program to start is 2).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/posix/errno_codes.h"
#include "support/testing.h"

namespace {

using platform::ErrnoUse;

TEST(ErrnoCodesTest, EachServiceKeepsItsCodes) {
  struct Case {
    int err;
    std::uint32_t files;
    std::uint32_t fileLock;
    std::uint32_t spawn;
  };
  using namespace platform;
  const std::vector<Case> cases = {
      {ENOTDIR, kErrPathNotFound, kErrPathNotFound, kErrPathNotFound},
      {EACCES, kErrAccessDenied, kErrAccessDenied, kErrAccessDenied},
      {EPERM, kErrAccessDenied, kErrAccessDenied, kErrAccessDenied},
      {EISDIR, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
      {EROFS, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
      {ELOOP, kErrAccessDenied, kErrAccessDenied, kErrGenFailure},
      {EWOULDBLOCK, kErrSharingViolation, kErrGenFailure, kErrNotEnoughMemory},
      {ETXTBSY, kErrSharingViolation, kErrGenFailure, kErrGenFailure},
      {EBUSY, kErrSharingViolation, kErrGenFailure, kErrGenFailure},
      {EEXIST, kErrFileExists, kErrGenFailure, kErrGenFailure},
      {ENOSPC, kErrDiskFull, kErrGenFailure, kErrGenFailure},
      {EDQUOT, kErrDiskFull, kErrGenFailure, kErrGenFailure},
      {ENOMEM, kErrGenFailure, kErrGenFailure, kErrNotEnoughMemory},
      {ENOEXEC, kErrGenFailure, kErrGenFailure, kErrBadExeFormat},
      {EXDEV, kErrGenFailure, kErrGenFailure, kErrGenFailure},
      {EIO, kErrGenFailure, kErrGenFailure, kErrGenFailure},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.files, WindowsErrorCode(c.err, ErrnoUse::kFiles, "/")) << c.err;
    EXPECT_EQ(c.fileLock, WindowsErrorCode(c.err, ErrnoUse::kFileLock)) << c.err;
    EXPECT_EQ(c.spawn, WindowsErrorCode(c.err, ErrnoUse::kSpawn)) << c.err;
  }
}

// A missing file: 2 for the files where its folder exists and 3 where it does
// not, 3 for the lock file (its folder is what is missing) and 2 for a spawn.
TEST(ErrnoCodesTest, AMissingFileOrFolder) {
  testing_support::TempDir dir;
  EXPECT_EQ(platform::kErrFileNotFound,
            platform::WindowsErrorCode(ENOENT, ErrnoUse::kFiles, dir / "missing.txt"));
  EXPECT_EQ(platform::kErrPathNotFound,
            platform::WindowsErrorCode(ENOENT, ErrnoUse::kFiles, dir / "gone/missing.txt"));
  EXPECT_EQ(platform::kErrFileNotFound, platform::WindowsErrorCode(ENOENT, ErrnoUse::kFiles, ""));
  EXPECT_EQ(platform::kErrPathNotFound, platform::WindowsErrorCode(ENOENT, ErrnoUse::kFileLock));
  EXPECT_EQ(platform::kErrFileNotFound, platform::WindowsErrorCode(ENOENT, ErrnoUse::kSpawn));
}

}  // namespace
