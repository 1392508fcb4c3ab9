// Contract of platform/file_lock.h on real lock files in a temporary folder.
// Two FileLock objects of one process stand for two loaders: the lock
// conflicts between two opens just as between two processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

namespace {

using platform::FileLock;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const char* ResultName(FileLock::Result r) {
  switch (r) {
    case FileLock::Result::Acquired:
      return "Acquired";
    case FileLock::Result::Held:
      return "Held";
    case FileLock::Result::Failed:
      return "Failed";
  }
  return "?";
}

TEST(PlatformFileLock, OneHolderAtATimeAndTheFileStays) {
  TempDir dir;
  const std::string path = dir / "sarvo2006.exe.lock";
  FileLock first;
  FileLock second;
  EXPECT_STREQ(ResultName(first.TryLock(path)), "Acquired");
  EXPECT_TRUE(first.IsLocked());
  EXPECT_TRUE(platform::FileExists(path)) << "a missing lock file is created";
  EXPECT_STREQ(ResultName(second.TryLock(path)), "Held");
  EXPECT_FALSE(second.IsLocked());
  // The holder's file stays open for others meanwhile (read and write
  // sharing): the lock is on the file's contents, not its opening.
  EXPECT_TRUE(std::ifstream(path).is_open());

  first.Unlock();
  EXPECT_FALSE(first.IsLocked());
  EXPECT_TRUE(platform::FileExists(path)) << "the lock file is never deleted";
  EXPECT_STREQ(ResultName(second.TryLock(path)), "Acquired");
  EXPECT_STREQ(ResultName(first.TryLock(path)), "Held");
  {
    // The end of the object ends the lock.
    FileLock moved = std::move(second);
    EXPECT_TRUE(moved.IsLocked());
  }
  EXPECT_STREQ(ResultName(first.TryLock(path)), "Acquired");
}

TEST(PlatformFileLock, ExistingAndReadOnlyLockFilesCanBeLocked) {
  struct Case {
    const char* name;
    bool readOnly;
  };
  const Case cases[] = {{"existing lock file", false}, {"read-only lock file", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "x.lock";
    WriteFile(path, "keep");
    if (c.readOnly) {
      namespace fs = std::filesystem;
      fs::permissions(path,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    }
    FileLock a;
    FileLock b;
    EXPECT_STREQ(ResultName(a.TryLock(path)), "Acquired");
    EXPECT_STREQ(ResultName(b.TryLock(path)), "Held");
    a.Unlock();
    // Locking leaves the contents alone.
    EXPECT_EQ(ReadFile(path), "keep");
  }
}

TEST(PlatformFileLock, FailsWhenTheFileCannotBeMade) {
  TempDir dir;
  WriteFile(dir / "blocker", "x");
  struct Case {
    const char* name;
    std::string path;
    std::uint32_t code;
  };
  const std::string d(1, platform::kPathDelim);
  const Case cases[] = {
      {"missing folder", dir / ("missing" + d + "x.lock"), 3},
      {"a file where the folder should be", dir / ("blocker" + d + "x.lock"), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileLock lock;
    platform::Failure err = platform::Failure::None;
    EXPECT_STREQ(ResultName(lock.TryLock(c.path, &err)), "Failed");
    EXPECT_EQ(platform::CodeOf(err), c.code);
    EXPECT_FALSE(lock.IsLocked());
  }
}

}  // namespace
