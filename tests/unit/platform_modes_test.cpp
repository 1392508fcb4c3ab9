// The Linux port gives the files that others must not change their modes
// itself, whatever the umask of the process that makes them: the settings
// store and its folders (the machine store holds the update key), the update
// lock file, and an installed program. Under umask 000 every one of them
// would otherwise be writable by any user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

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

}  // namespace
