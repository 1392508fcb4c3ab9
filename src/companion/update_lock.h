// The update lock: one update at a time per installation folder. Loaders of
// every user and session that share the folder meet on a lock file beside the
// companion tool.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_lock.h"

namespace companion {

enum class UpdateLock {
  AtOnce,        // taken without waiting
  AfterWaiting,  // taken once another loader had finished
  Without,       // the lock file is unusable: the update goes on unguarded
  TimedOut,      // another loader kept it past the limit
};

// The lock file of the companion executable `companionPath`.
std::string UpdateLockPath(const std::string& companionPath);

// Takes the installation's update lock at `lockPath` into `lock`, waiting
// for another loader's update with the splash window alive (GUI thread). A
// lock file that cannot be made or locked (a read-only folder, a file system
// without locks) must not stop the update: the folder has to be writable for
// the update anyway, and one loader alone is the common case.
UpdateLock TakeUpdateLock(platform::FileLock& lock, const std::string& lockPath);

// How long TakeUpdateLock waits for another loader (ten minutes unless a
// test shortens it).
void SetUpdateLockLimit(std::uint32_t ms);

}  // namespace companion
