// Files and folders on the Linux port.
//
// Windows' sharing modes are emulated with flock() on each open file
// description: a file opened without sharing holds an exclusive lock, one
// opened with read/write sharing a shared lock, and an open whose lock cannot
// be had fails with a sharing violation. Because flock locks belong to the open
// file description, this also holds between two opens in the same process.
// Windows' read-only attribute is a file without any write permission bit; it
// refuses writing, truncating, deleting and being copied over, also for root,
// as Windows refuses it to administrators.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/common/slash_paths.h"
#include "platform/error_codes.h"
#include "platform/posix/errno_codes.h"
#include "platform/posix/path_facts.h"
#include "platform/posix/read_at.h"
#include "platform/posix/unique_fd.h"
#include "platform/sysinfo.h"
#include "platform/unique_handle.h"

namespace platform {
namespace {

// Windows' read-only attribute: no write permission bit at all.
bool IsReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }

// True when some open file (ours, in any process) holds the file; Windows
// then refuses to delete or rename it, as none of our opens shares deletion.
bool IsHeldOpen(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  return false;  // the lock goes with the descriptor
}

bool WriteAll(int fd, const void* data, std::size_t size, int& err) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (n == 0) {
      err = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Windows has no executable bit: whether a file can be started follows from
// its name. A downloaded companion comes from a plain data file, so a file
// named *.exe is made executable wherever it is readable; otherwise the
// installed tool could not be started any more.
bool NamesWindowsProgram(const std::string& path) {
  return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".exe") == 0;
}

// The permission bits of `mode` for a file named `name`, by the rule above.
mode_t StartableMode(const std::string& name, mode_t mode) {
  mode &= 07777;
  if (NamesWindowsProgram(name)) mode |= (mode & 0444) >> 2;
  return mode;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) { return !path.empty() && IsDir(path); }

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (IsDir(p)) return true;
  std::string parent = ParentOf(p);
  if (parent != p && !IsDir(parent) && !ForceDirectories(parent)) return false;
  if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
  return IsDir(p);
}

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return std::string();
  if (path[0] == '/') return NormalizeAbsolutePath(path);
  return NormalizeAbsolutePath(CurrentDirectory() + "/" + path);
}

bool FindFirstSize(const std::string& path, std::uint32_t& sizeLow) {
  std::string full = ExpandFileName(path);
  if (full.empty()) return false;
  std::size_t slash = full.find_last_of('/');
  std::string folder = slash == 0 ? "/" : full.substr(0, slash);
  std::string name = full.substr(slash + 1);

  std::string found;
  if (!HasWildcard(name)) {
    found = full;
  } else {
    UniqueDir dir(::opendir(folder.c_str()));
    if (!dir) return false;
    while (dirent* e = ::readdir(dir.get())) {
      if (::fnmatch(name.c_str(), e->d_name, 0) == 0) {
        found = (folder == "/" ? "" : folder) + "/" + e->d_name;
        break;
      }
    }
    if (found.empty()) return false;
  }
  struct stat st {};
  if (::stat(found.c_str(), &st) != 0) return false;
  sizeLow =
      S_ISDIR(st.st_mode) ? 0u : static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size));
  return true;
}

bool CanonicalizePath(const std::string& path, std::string& out) {
  return CanonicalizePathText(path, out);
}

bool FileMove(const std::string& from, const std::string& to, Failure* error) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kMove, from));
    return false;
  }
  if (S_ISREG(st.st_mode) && IsHeldOpen(from)) {
    SetFailure(error, Failure::SharingViolation);
    return false;
  }
  // Windows never replaces an existing destination here; RENAME_NOREPLACE
  // makes that check and the rename one step.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing
    // destination just the same, and the old name is removed afterwards.
    if (S_ISREG(st.st_mode) && ::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return true;
    }
    err = errno;
  }
  if (err == EXDEV && S_ISREG(st.st_mode)) {
    // Another file system: Windows copies and deletes, and so do we.
    Failure copyError = Failure::None;
    if (!FileCopy(from, to, true, &copyError)) {
      SetFailure(error,
                 copyError == Failure::FileExists ? Failure(Failure::AlreadyExists) : copyError);
      return false;
    }
    if (::unlink(from.c_str()) != 0) {
      SetFailure(error, FailureFromErrno(errno, ErrnoUse::kMove, from));
      ::unlink(to.c_str());
      return false;
    }
    return true;
  }
  SetFailure(error, FailureFromErrno(err, ErrnoUse::kMove, to));
  return false;
}

namespace {

// Whether `to` may be replaced; Windows' refusals, kept by the port.
bool DestinationTakesReplace(const std::string& to, Failure* error) {
  struct stat dst {};
  if (::lstat(to.c_str(), &dst) != 0) return true;
  if (S_ISDIR(dst.st_mode) || (S_ISREG(dst.st_mode) && IsReadOnly(dst))) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  if (!S_ISREG(dst.st_mode)) return true;
  // Windows answers "access denied" for a destination that is open, and
  // for the image of a running program.
  if (IsHeldOpen(to)) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  // A rename over a running program would succeed here, but Windows refuses
  // to replace the image of a running program, and the port keeps to that:
  // the companion the user has open keeps its file, and the update waits for
  // a start when it is closed. Opening the file for writing is how the
  // kernel tells (ETXTBSY); it changes nothing.
  UniqueFd probe(::open(to.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!probe && errno == ETXTBSY) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  return true;
}

// An installed program is made executable as a copy is (StartableMode), and
// is nobody's to change but its owner's, whatever the umask left on the
// download: no write bit for group or others (0755 for a download made under
// any umask that lets others read). A copy keeps the source's write bits.
mode_t InstalledMode(const std::string& to, mode_t mode) {
  mode = StartableMode(to, mode);
  if (NamesWindowsProgram(to)) mode &= ~static_cast<mode_t>(0022);
  return mode;
}

// The data, and the mode, go to the disk before the name points at them, so
// a power cut right after the rename cannot leave the name on an empty file.
bool ReadyForRename(int fd, const struct stat& st, const std::string& to, Failure* error,
                    const std::string& from) {
  if (::fchmod(fd, InstalledMode(to, st.st_mode)) != 0 || ::fsync(fd) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
    return false;
  }
  return true;
}

// The rename itself, and then the folder, so that the rename is on the disk.
bool RenameDurably(const std::string& from, const std::string& to, Failure* error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kReplace, to));
    return false;
  }
  UniqueFd folder(::open(ParentOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) ::fsync(folder.get());
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& from, const std::string& to, Failure* error) {
  UniqueFd src(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!src) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
    return false;
  }
  struct stat sst {};
  if (::fstat(src.get(), &sst) != 0 || !S_ISREG(sst.st_mode)) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  // Windows refuses to move a file that somebody holds open without sharing.
  if (::flock(src.get(), LOCK_EX | LOCK_NB) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
    return false;
  }
  return DestinationTakesReplace(to, error) && ReadyForRename(src.get(), sst, to, error, from) &&
         RenameDurably(from, to, error);
}

bool FlushFileToDisk(const std::string& path, Failure* error) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  UniqueFd folder(::open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (::fsync(file.get()) != 0 || !folder || ::fsync(folder.get()) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  return true;
}

bool FileDelete(const std::string& path, Failure* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnly(st))) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  if (S_ISREG(st.st_mode) && IsHeldOpen(path)) {
    SetFailure(error, Failure::SharingViolation);
    return false;
  }
  if (::unlink(path.c_str()) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  return true;
}

bool PrivateTempFolder(std::string& folder, Failure* error) {
  std::string tmp;
  if (!GetEnv("TMPDIR", tmp) || tmp.empty()) tmp = "/tmp";
  while (tmp.size() > 1 && tmp.back() == '/') tmp.pop_back();
  const uid_t me = ::geteuid();
  const std::string dir = tmp + "/kestro-" + std::to_string(me);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, dir));
    return false;
  }
  // Opened without following a link, so the checks and the mode change act
  // on the folder itself, whoever put what there first.
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, dir));
    return false;
  }
  folder = dir + "/";
  return true;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists, Failure* error) {
  UniqueFd src(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!src) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
    return false;
  }
  struct stat sst {};
  if (::fstat(src.get(), &sst) != 0 || S_ISDIR(sst.st_mode)) {
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  // The source is read with read sharing: a holder without sharing stops it.
  if (::flock(src.get(), LOCK_SH | LOCK_NB) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
    return false;
  }

  struct stat dst {};
  bool exists = ::lstat(to.c_str(), &dst) == 0;
  if (exists && S_ISLNK(dst.st_mode)) {
    if (failIfExists) {
      SetFailure(error, Failure::FileExists);
      return false;
    }
    // A link in the destination's place is replaced, never written
    // through: otherwise a planted link would make us fill a file anywhere
    // the link points, also outside the folder.
    if (::unlink(to.c_str()) != 0 && errno != ENOENT) {
      SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, to));
      return false;
    }
    exists = false;
  }
  if (exists) {
    if (failIfExists) {
      SetFailure(error, Failure::FileExists);
      return false;
    }
    // Copying a file onto itself would truncate it before reading it.
    if (dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino) {
      SetFailure(error, Failure::SharingViolation);
      return false;
    }
    if (S_ISDIR(dst.st_mode) || IsReadOnly(dst)) {
      SetFailure(error, Failure::AccessDenied);
      return false;
    }
  }
  // A destination that was not there is created exclusively, so a link put
  // in its place meanwhile makes the copy fail instead of being followed.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exists ? 0 : O_EXCL);
  UniqueFd out(::open(to.c_str(), flags, 0666));
  if (!out) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, to));
    return false;
  }
  // The destination is written without sharing; truncate only once that is
  // settled, so a refused copy leaves the destination as it was.
  if (::flock(out.get(), LOCK_EX | LOCK_NB) != 0 || ::ftruncate(out.get(), 0) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, to));
    return false;
  }
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(src.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, from));
      return false;
    }
    if (n == 0) break;
    int err = 0;
    if (!WriteAll(out.get(), buf.data(), static_cast<std::size_t>(n), err)) {
      SetFailure(error, FailureFromErrno(err, ErrnoUse::kFiles, to));
      return false;
    }
  }
  // Windows copies the attributes and the last write time along; here that is
  // the permission bits (the executable bit above all, see StartableMode) and
  // the modification time.
  ::fchmod(out.get(), StartableMode(to, sst.st_mode));
  const timespec times[2] = {sst.st_atim, sst.st_mtim};
  ::futimens(out.get(), times);
  return true;
}

// --- small files ----------------------------------------------------------

SmallFileFailure ReadSmallFile(const std::string& path, std::size_t maxBytes,
                               std::string& content) {
  content.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
        return SmallFileFailure::NotFound;
      case EACCES:
      case EPERM:
        return SmallFileFailure::AccessDenied;
      default:
        return SmallFileFailure::ReadFailed;
    }
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return SmallFileFailure::ReadFailed;
  if (!S_ISREG(st.st_mode)) return SmallFileFailure::NotAFile;
  // The same shared lock File::Open takes: a writer that holds the file
  // exclusively keeps readers out, as a sharing violation does on Windows.
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? SmallFileFailure::Locked : SmallFileFailure::ReadFailed;
  }
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    return SmallFileFailure::TooLarge;
  }
  // Read one byte beyond the limit, so a file that grew meanwhile is noticed.
  std::string buf(maxBytes + 1, '\0');
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t n = ::read(fd.get(), &buf[done], buf.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SmallFileFailure::ReadFailed;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done > maxBytes) return SmallFileFailure::TooLarge;
  buf.resize(done);
  content = std::move(buf);
  return SmallFileFailure::None;
}

// --- File ---------------------------------------------------------------

struct File::Impl {
  UniqueFd fd;
  std::string path;
  // The file as this handle last left it: where it lives, its size and its
  // modification time after the open and after each Write.
  struct stat written {};
  void Remember() { ::fstat(fd.get(), &written); }
};

File::File() = default;
File::~File() = default;
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;

bool File::Open(const std::string& path, Mode mode, Share share, Failure* error) {
  Close();
  // Every open that writes refuses to follow a symbolic link: the loader
  // writes only files of its own folder, never where a link points.
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::OpenRead:
      flags |= O_RDONLY;
      break;
    case Mode::OpenWrite:
      flags |= O_WRONLY | O_NOFOLLOW;
      break;
    case Mode::OpenReadWrite:
      flags |= O_RDWR | O_NOFOLLOW;
      break;
    case Mode::OpenAppend:
      flags |= O_WRONLY | O_APPEND | O_NOFOLLOW;
      break;
    case Mode::CreateAlways:
      flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
      break;
    // O_EXCL fails on any name that is taken, a dangling link included.
    case Mode::CreateNew:
      flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
  }
  if (mode != Mode::OpenRead && mode != Mode::CreateNew) {
    // lstat: a link is not the file it points to; the open below refuses it.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && IsReadOnly(st)) {
      SetFailure(error, Failure::AccessDenied);
      return false;
    }
  }
  UniqueFd fd(::open(path.c_str(), flags, 0666));
  if (!fd && errno == ELOOP && mode == Mode::CreateAlways) {
    // A link where a new file is to be made: the link goes, and the file is
    // made in its place, exclusively, so a link put back meanwhile fails the
    // open rather than being followed.
    if (::unlink(path.c_str()) == 0) fd.reset(::open(path.c_str(), flags | O_EXCL, 0666));
  }
  if (!fd) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
    // Windows opens no folder as a file.
    SetFailure(error, Failure::AccessDenied);
    return false;
  }
  int lock = share == Share::None ? LOCK_EX : LOCK_SH;
  if (::flock(fd.get(), lock | LOCK_NB) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  // Truncate only with the lock held, so a refused open changes nothing.
  if (mode == Mode::CreateAlways && ::ftruncate(fd.get(), 0) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, path));
    return false;
  }
  impl_ = std::make_unique<Impl>();
  impl_->fd = std::move(fd);
  impl_->path = path;
  impl_->Remember();
  return true;
}

bool File::IsOpen() const { return impl_ && impl_->fd.valid(); }

void File::Close() { impl_.reset(); }

bool File::SeekToEnd() { return IsOpen() && ::lseek(impl_->fd.get(), 0, SEEK_END) >= 0; }

bool File::Write(const void* data, std::size_t size, Failure* error) {
  if (!IsOpen()) {
    SetFailure(error, Failure::InvalidHandle);
    return false;
  }
  int err = 0;
  if (!WriteAll(impl_->fd.get(), data, size, err)) {
    SetFailure(error, FailureFromErrno(err, ErrnoUse::kFiles, std::string()));
    return false;
  }
  impl_->Remember();
  return true;
}

bool File::Read(void* data, std::size_t size, std::size_t& read) {
  read = 0;
  if (!IsOpen()) return false;
  for (;;) {
    ssize_t n = ::read(impl_->fd.get(), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    read = static_cast<std::size_t>(n);
    return true;
  }
}

bool File::TruncateTo(std::int64_t size, Failure* error) {
  if (!IsOpen() || size < 0) {
    SetFailure(error, Failure::InvalidHandle);
    return false;
  }
  const int fd = impl_->fd.get();
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      ::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, std::string()));
    return false;
  }
  impl_->Remember();
  return true;
}

bool File::Flush(Failure* error) {
  if (!IsOpen()) {
    SetFailure(error, Failure::InvalidHandle);
    return false;
  }
  if (::fsync(impl_->fd.get()) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, std::string()));
    return false;
  }
  return true;
}

std::int64_t File::Size() const {
  if (!IsOpen()) return -1;
  struct stat st {};
  if (::fstat(impl_->fd.get(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool File::ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) {
  return IsOpen() && platform::ReadAt(impl_->fd.get(), offset, count, out);
}

bool File::PutInPlaceOf(const std::string& to, Failure* error) {
  if (!IsOpen()) {
    SetFailure(error, Failure::InvalidHandle);
    return false;
  }
  const int fd = impl_->fd.get();
  struct stat now {};
  if (::fstat(fd, &now) != 0) {
    SetFailure(error, FailureFromErrno(errno, ErrnoUse::kFiles, impl_->path));
    return false;
  }
  if (!DestinationTakesReplace(to, error) || !ReadyForRename(fd, now, to, error, impl_->path)) {
    return false;
  }
  // Nothing keeps another writer out here (a flock binds only those who ask
  // for one), so right before the rename: the same size and modification
  // time as after this handle's last write, and the name still leads to this
  // very file. The rename goes by name; a change in the moment between the
  // two is what the port cannot rule out.
  struct stat named {};
  const struct stat& was = impl_->written;
  const bool same = ::fstat(fd, &now) == 0 && now.st_size == was.st_size &&
                    now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
                    now.st_mtim.tv_nsec == was.st_mtim.tv_nsec &&
                    ::lstat(impl_->path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
                    named.st_dev == now.st_dev && named.st_ino == now.st_ino;
  if (!same) {
    SetFailure(error, Failure::ChangedElsewhere);
    return false;
  }
  if (!RenameDurably(impl_->path, to, error)) return false;
  impl_->path = to;
  return true;
}

}  // namespace platform
