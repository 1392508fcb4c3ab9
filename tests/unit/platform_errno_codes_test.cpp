// The Linux port's errno table: each service keeps the codes it hands out,
// the same cause giving different codes where Windows answers differently
// (a missing lock file's folder is PathNotFound, a missing program to start
// FileNotFound).
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
    platform::Failure files;
    platform::Failure fileLock;
    platform::Failure spawn;
  };
  using namespace platform;
  const std::vector<Case> cases = {
      {ENOTDIR, Failure::PathNotFound, Failure::PathNotFound, Failure::PathNotFound},
      {EACCES, Failure::AccessDenied, Failure::AccessDenied, Failure::AccessDenied},
      {EPERM, Failure::AccessDenied, Failure::AccessDenied, Failure::AccessDenied},
      {EISDIR, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
      {EROFS, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
      {ELOOP, Failure::AccessDenied, Failure::AccessDenied, Failure::GenFailure},
      {EWOULDBLOCK, Failure::SharingViolation, Failure::GenFailure, Failure::NotEnoughMemory},
      {ETXTBSY, Failure::SharingViolation, Failure::GenFailure, Failure::GenFailure},
      {EBUSY, Failure::SharingViolation, Failure::GenFailure, Failure::GenFailure},
      {EEXIST, Failure::FileExists, Failure::GenFailure, Failure::GenFailure},
      {ENOSPC, Failure::DiskFull, Failure::GenFailure, Failure::GenFailure},
      {EDQUOT, Failure::DiskFull, Failure::GenFailure, Failure::GenFailure},
      {ENOMEM, Failure::GenFailure, Failure::GenFailure, Failure::NotEnoughMemory},
      {ENOEXEC, Failure::GenFailure, Failure::GenFailure, Failure::BadExeFormat},
      {EXDEV, Failure::GenFailure, Failure::GenFailure, Failure::GenFailure},
      {EIO, Failure::GenFailure, Failure::GenFailure, Failure::GenFailure},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.files, FailureFromErrno(c.err, ErrnoUse::kFiles, "/")) << c.err;
    EXPECT_EQ(c.fileLock, FailureFromErrno(c.err, ErrnoUse::kFileLock)) << c.err;
    EXPECT_EQ(c.spawn, FailureFromErrno(c.err, ErrnoUse::kSpawn)) << c.err;
  }
}

// A missing file: FileNotFound for the files where its folder exists and
// PathNotFound where it does not, PathNotFound for the lock file (its folder
// is what is missing) and FileNotFound for a spawn.
TEST(ErrnoCodesTest, AMissingFileOrFolder) {
  testing_support::TempDir dir;
  EXPECT_EQ(platform::Failure::FileNotFound,
            platform::FailureFromErrno(ENOENT, ErrnoUse::kFiles, dir / "missing.txt"));
  EXPECT_EQ(platform::Failure::PathNotFound,
            platform::FailureFromErrno(ENOENT, ErrnoUse::kFiles, dir / "gone/missing.txt"));
  EXPECT_EQ(platform::Failure::FileNotFound,
            platform::FailureFromErrno(ENOENT, ErrnoUse::kFiles, ""));
  EXPECT_EQ(platform::Failure::PathNotFound,
            platform::FailureFromErrno(ENOENT, ErrnoUse::kFileLock));
  EXPECT_EQ(platform::Failure::FileNotFound, platform::FailureFromErrno(ENOENT, ErrnoUse::kSpawn));
}

// The uses that answer as one Windows call does: a move (MoveFileA), the
// atomic replace (MoveFileExA with replace), the shell's search for the
// program, and the settings store. Each differs from the files only where
// that call does.
TEST(ErrnoCodesTest, TheMoveTheReplaceTheProgramSearchAndTheStore) {
  struct Case {
    int err;
    platform::Failure move;
    platform::Failure replace;
    platform::Failure findProgram;  // with the path's folder present
    platform::Failure registry;
  };
  using namespace platform;
  const std::vector<Case> cases = {
      {ENOTDIR, Failure::PathNotFound, Failure::PathNotFound, Failure::PathNotFound,
       Failure::RegistryIoFailed},
      {EACCES, Failure::AccessDenied, Failure::AccessDenied, Failure::FileNotFound,
       Failure::AccessDenied},
      {EPERM, Failure::AccessDenied, Failure::AccessDenied, Failure::FileNotFound,
       Failure::AccessDenied},
      {ELOOP, Failure::AccessDenied, Failure::AccessDenied, Failure::FileNotFound,
       Failure::RegistryIoFailed},
      {EEXIST, Failure::AlreadyExists, Failure::FileExists, Failure::FileNotFound,
       Failure::RegistryIoFailed},
      {EXDEV, Failure::GenFailure, Failure::NotSameDevice, Failure::FileNotFound,
       Failure::RegistryIoFailed},
      {ENOSPC, Failure::DiskFull, Failure::DiskFull, Failure::FileNotFound,
       Failure::RegistryIoFailed},
      {EIO, Failure::GenFailure, Failure::GenFailure, Failure::FileNotFound,
       Failure::RegistryIoFailed},
      {0, Failure::GenFailure, Failure::GenFailure, Failure::FileNotFound,
       Failure::RegistryIoFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.move, FailureFromErrno(c.err, ErrnoUse::kMove, "/")) << c.err;
    EXPECT_EQ(c.replace, FailureFromErrno(c.err, ErrnoUse::kReplace, "/")) << c.err;
    EXPECT_EQ(c.findProgram, FailureFromErrno(c.err, ErrnoUse::kFindProgram, "/x")) << c.err;
    EXPECT_EQ(c.registry, FailureFromErrno(c.err, ErrnoUse::kRegistry)) << c.err;
  }
  // A program in a folder that is missing.
  EXPECT_EQ(Failure::PathNotFound,
            FailureFromErrno(EACCES, ErrnoUse::kFindProgram, "/no-such-folder/x"));
}

}  // namespace
