// The lock file on the Linux port: flock on an open file description, which
// conflicts between processes and between two opens of one process alike.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_codes.h"
#include "platform/posix/errno_codes.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

// Opens the lock file, creating it when missing. A new file is made
// writable for every user, since loaders of other users must open it too; an
// existing one that we may not write is opened for reading, which is all a
// lock needs.
UniqueFd OpenLockFile(const std::string& path) {
  // flock needs no write access, so the file is opened for reading only and
  // made 0644 whatever the umask: every user may lock it, nobody but its
  // owner may change it.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd) {
    ::fchmod(fd.get(), 0644);
    return fd;
  }
  if (errno != EEXIST) return fd;
  fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd;
}

}  // namespace

struct FileLock::Impl {
  UniqueFd fd;
};

FileLock::FileLock() = default;
FileLock::~FileLock() = default;
FileLock::FileLock(FileLock&&) noexcept = default;
FileLock& FileLock::operator=(FileLock&&) noexcept = default;

FileLock::Result FileLock::TryLock(const std::string& path, Failure* error) {
  Unlock();
  UniqueFd fd = OpenLockFile(path);
  if (!fd) {
    if (error != nullptr) *error = FailureFromErrno(errno, ErrnoUse::kFileLock);
    return Result::Failed;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error != nullptr) *error = Failure::AccessDenied;
    return Result::Failed;
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return Result::Held;
    if (error != nullptr) *error = FailureFromErrno(errno, ErrnoUse::kFileLock);
    return Result::Failed;
  }
  impl_ = std::make_unique<Impl>();
  impl_->fd = std::move(fd);
  return Result::Acquired;
}

bool FileLock::IsLocked() const { return impl_ && impl_->fd.valid(); }

// Closing the descriptor releases the lock.
void FileLock::Unlock() { impl_.reset(); }

}  // namespace platform
