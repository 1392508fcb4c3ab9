// The lock file through the Win32 API: LockFileEx on the first byte of a file
// opened with read and write sharing. Byte-range locks conflict between
// handles, so two opens in one process exclude each other as two processes do.
#include "platform/file_lock.h"

#include <windows.h>

#include "platform/win32/win_handles.h"

namespace platform {

struct FileLock::Impl {
  win32::FileHandle file;
};

FileLock::FileLock() = default;
FileLock::~FileLock() { Unlock(); }
FileLock::FileLock(FileLock&&) noexcept = default;
FileLock& FileLock::operator=(FileLock&&) noexcept = default;

FileLock::Result FileLock::TryLock(const std::string& path, Failure* error) {
  Unlock();
  // Shared for reading and writing (other loaders open it meanwhile), not
  // for deletion: the file stays the meeting point.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  win32::FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // A lock file we may not write (made read-only, or by another user):
    // read access is all a lock needs.
    file.reset(::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!file) {
    SetFailure(error, FailureFromCode(::GetLastError()));
    return Result::Failed;
  }
  OVERLAPPED at = {};  // offset 0: the first byte
  if (!::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                    /*dwReserved=*/0, /*nNumberOfBytesToLockLow=*/1,
                    /*nNumberOfBytesToLockHigh=*/0, &at)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Result::Held;
    SetFailure(error, FailureFromCode(code));
    return Result::Failed;
  }
  impl_.reset(new Impl{std::move(file)});
  return Result::Acquired;
}

bool FileLock::IsLocked() const { return impl_ && impl_->file.valid(); }

void FileLock::Unlock() {
  if (!IsLocked()) {
    impl_.reset();
    return;
  }
  // Closing the handle releases the lock too, but only once the system gets
  // round to it; unlocking first hands it over at once.
  OVERLAPPED at = {};
  ::UnlockFileEx(impl_->file.get(), /*dwReserved=*/0, 1, 0, &at);
  impl_.reset();
}

}  // namespace platform
