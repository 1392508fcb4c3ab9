// The Linux port gives the files that others must not change their modes
// itself, whatever the umask of the process that makes them: the settings
// store and its folders (the machine store holds the update key), the update
// lock file, and an installed program; and the private temporary folder that
// keeps a broken-off download. Under umask 000 every one of them would
// otherwise be writable by any user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "companion/partial_download.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/testing.h"

namespace {

using testing_support::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

class UmaskZero {
 public:
  UmaskZero() : previous_(::umask(0)) {}
  ~UmaskZero() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(PlatformModesTest, FilesOthersMustNotChangeIgnoreTheUmask) {
  TempDir dir;
  const UmaskZero umaskZero;
  const std::string stores = dir / "etc/kestro";
  const testing_support::ScopedEnv storeDir("KESTRO_REGISTRY_DIR", stores);
  platform::FileLock lock;
  struct Row {
    const char* name;
    std::function<void()> make;
    std::string path;
    mode_t mode;
  };
  const Row rows[] = {
      {"the machine store",
       [] {
         testing_support::SetRegString(platform::RegRoot::LocalMachine, "SOFTWARE\\x", "v", "1");
       },
       stores + "/machine.db", 0644},
      {"the store's folder", [] {}, stores, 0755},
      {"the folder above it", [] {}, dir / "etc", 0755},
      {"the update lock file",
       [&] { ASSERT_EQ(platform::FileLock::Result::Acquired, lock.TryLock(dir / "update.lock")); },
       dir / "update.lock", 0644},
      {"an installed program",
       [&] {
         testing_support::WriteFile(dir / "sarvo2006.tmp", "new program");
         ASSERT_EQ(0666u, ModeOf(dir / "sarvo2006.tmp"));
         ASSERT_TRUE(platform::ReplaceFileAtomically(dir / "sarvo2006.tmp", dir / "sarvo2006.exe"));
       },
       dir / "sarvo2006.exe", 0755},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    r.make();
    EXPECT_EQ(r.mode, ModeOf(r.path)) << std::oct << ModeOf(r.path);
  }
}

// The folder where a user's loader keeps what a download brought so far:
// made for the user alone, and never taken over through a link.
TEST(PlatformModesTest, ThePrivateTemporaryFolderIsNobodyElses) {
  TempDir temp;
  const testing_support::ScopedEnv tmpdir("TMPDIR", temp.path());
  const std::string mine = temp / ("kestro-" + std::to_string(::geteuid()));
  std::string folder;
  ASSERT_TRUE(platform::PrivateTempFolder(folder));
  struct stat st {};
  ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A folder of the user's own that others could enter is closed to them.
  ASSERT_EQ(::chmod(mine.c_str(), 0777), 0);
  ASSERT_TRUE(platform::PrivateTempFolder(folder));
  ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link put in its place (by anyone) is refused, and nothing is written
  // where it leads.
  ASSERT_EQ(::rmdir(mine.c_str()), 0);
  const std::string elsewhere = temp / "elsewhere";
  ASSERT_TRUE(platform::ForceDirectories(elsewhere));
  ASSERT_EQ(::symlink(elsewhere.c_str(), mine.c_str()), 0);
  platform::Failure why = platform::Failure::None;
  EXPECT_FALSE(platform::PrivateTempFolder(folder, &why));
  EXPECT_EQ(why, platform::Failure::AccessDenied);
  EXPECT_FALSE(companion::PartialDownload(temp / "sarvo2006.exe").Usable());
}

}  // namespace
