// Files and folders through the Win32 API. The error codes handed out are the
// Windows codes themselves, read with GetLastError right after the failing
// call.
#include "platform/files.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "platform/win32/win_handles.h"

namespace platform {

namespace {

void SetError(Failure* error, DWORD code) { SetFailure(error, FailureFromCode(code)); }

DWORD Attributes(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }

bool IsPathDelim(char c) { return c == '\\' || c == '/'; }

// Windows refuses to open a read-only file for writing. Wine leaves that to
// the Unix permissions, which do not bind the superuser, so the attribute is
// tested here as well; on Windows itself this test only repeats the system's.
bool IsReadOnlyFile(const std::string& path) {
  DWORD attr = Attributes(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY) != 0 &&
         (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool FileExists(const std::string& path) {
  DWORD attr = Attributes(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  DWORD attr = Attributes(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::string& path) {
  std::string dir = path;
  while (dir.size() > 1 && IsPathDelim(dir.back())) dir.pop_back();
  if (dir.empty()) return false;
  if (DirectoryExists(dir)) return true;
  // A drive ("C:") or a bare root that does not exist cannot be created.
  if (dir.size() <= 2 && (dir.size() < 2 || dir[1] == ':')) return false;

  // Create the parents first, from the top down.
  std::string::size_type cut = dir.find_last_of("\\/:");
  if (cut != std::string::npos && cut > 0) {
    std::string parent = dir.substr(0, dir[cut] == ':' ? cut + 1 : cut);
    if (parent != dir && !ForceDirectories(parent)) return false;
  }
  if (!::CreateDirectoryA(dir.c_str(), nullptr)) {
    // Another thread or process may have created it meanwhile; only its
    // existence counts.
    return DirectoryExists(dir);
  }
  return true;
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return std::string();
  std::string buf(MAX_PATH, '\0');
  for (;;) {
    DWORD n = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(buf.size()), &buf[0], nullptr);
    if (n == 0) return path;
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    // Too small: n is the size needed, including the NUL.
    buf.resize(n);
  }
}

std::string CurrentDirectory() {
  std::string buf(MAX_PATH, '\0');
  for (;;) {
    DWORD n = ::GetCurrentDirectoryA(static_cast<DWORD>(buf.size()), &buf[0]);
    if (n == 0) return std::string();
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(n);
  }
}

bool FindFirstSize(const std::string& path, std::uint32_t& sizeLow) {
  WIN32_FIND_DATAA data;
  win32::FindHandle search(::FindFirstFileA(path.c_str(), &data));
  if (!search) return false;
  sizeLow = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : data.nFileSizeLow;
  return true;
}

bool CanonicalizePath(const std::string& path, std::string& out) {
  // PathCanonicalizeA writes at most MAX_PATH characters and refuses longer
  // input or output.
  char buf[MAX_PATH + 1] = {};
  if (!::PathCanonicalizeA(buf, path.c_str())) return false;
  out.assign(buf);
  return true;
}

bool FileMove(const std::string& from, const std::string& to, Failure* error) {
  if (::MoveFileA(from.c_str(), to.c_str())) return true;
  SetError(error, ::GetLastError());
  return false;
}

bool FileDelete(const std::string& path, Failure* error) {
  if (::DeleteFileA(path.c_str())) return true;
  SetError(error, ::GetLastError());
  return false;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to, Failure* error) {
  {
    // The data goes to the disk before the name points at it, so that a power
    // cut right after the replace cannot leave the name on an empty file.
    // Readers may share it; a holder without sharing refuses the open (32).
    win32::FileHandle file(::CreateFileA(from.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      SetError(error, ::GetLastError());
      return false;
    }
    if (!::FlushFileBuffers(file.get())) {
      SetError(error, ::GetLastError());
      return false;
    }
  }
  if (IsReadOnlyFile(to)) {
    SetError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  // One rename on the volume: the old file stays whole until the new one is
  // in place. No copy across volumes (that would write `to` piece by piece),
  // and write-through so the new name is on the disk when this returns.
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  SetError(error, ::GetLastError());
  return false;
}

bool FlushFileToDisk(const std::string& path, Failure* error) {
  const DWORD attr = Attributes(path);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  // FlushFileBuffers needs write access; readers may share the file. NTFS
  // writes the file's name with its metadata, which the flush includes.
  win32::FileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || !::FlushFileBuffers(file.get())) {
    SetError(error, ::GetLastError());
    return false;
  }
  return true;
}

bool PrivateTempFolder(std::string& folder, Failure* error) {
  char temp[MAX_PATH + 1];
  const DWORD n = ::GetTempPathA(sizeof temp, temp);
  if (n == 0 || n > MAX_PATH) {
    SetError(error, n == 0 ? ::GetLastError() : ERROR_BUFFER_OVERFLOW);
    return false;
  }
  const std::string dir = std::string(temp, n) + "KestroLoader";
  if (!::CreateDirectoryA(dir.c_str(), nullptr)) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_ALREADY_EXISTS || !DirectoryExists(dir)) {
      SetError(error, code == ERROR_ALREADY_EXISTS ? ERROR_ACCESS_DENIED : code);
      return false;
    }
  }
  folder = dir + "\\";
  return true;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists, Failure* error) {
  if (!failIfExists && IsReadOnlyFile(to)) {
    SetError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  if (::CopyFileA(from.c_str(), to.c_str(), failIfExists ? TRUE : FALSE)) return true;
  SetError(error, ::GetLastError());
  return false;
}

SmallFileFailure ReadSmallFile(const std::string& path, std::size_t maxBytes,
                               std::string& content) {
  content.clear();
  const DWORD attr = Attributes(path);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return SmallFileFailure::NotAFile;
  }
  win32::FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    switch (::GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return SmallFileFailure::NotFound;
      case ERROR_ACCESS_DENIED:
        return SmallFileFailure::AccessDenied;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        return SmallFileFailure::Locked;
      default:
        return SmallFileFailure::ReadFailed;
    }
  }
  // A pipe, a console or another device opens like a file but is none.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return SmallFileFailure::NotAFile;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size)) return SmallFileFailure::ReadFailed;
  if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > maxBytes) {
    return SmallFileFailure::TooLarge;
  }
  // Read one byte beyond the limit, so a file that grew meanwhile is noticed.
  std::string buf(maxBytes + 1, '\0');
  std::size_t done = 0;
  while (done < buf.size()) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), &buf[done], static_cast<DWORD>(buf.size() - done), &got, nullptr)) {
      // A range another process locked refuses the read.
      return ::GetLastError() == ERROR_LOCK_VIOLATION ? SmallFileFailure::Locked
                                                      : SmallFileFailure::ReadFailed;
    }
    if (got == 0) break;
    done += got;
  }
  if (done > maxBytes) return SmallFileFailure::TooLarge;
  buf.resize(done);
  content = std::move(buf);
  return SmallFileFailure::None;
}

struct File::Impl {
  win32::FileHandle handle;
  bool append = false;
};

namespace {

// Windows puts every write of an append handle at the end of the file in one
// step. Some layers that emulate Windows, and some file servers, find the end
// and then write there in two steps, so two processes appending at once can
// overwrite each other. Every append therefore also holds an exclusive lock
// on one byte far beyond any real end of file: appenders of all processes and
// machines take turns, and nobody else is hindered, since nothing reads or
// writes there.
constexpr DWORD kAppendTurnOffsetHigh = 0x40000000;  // byte 2^62
constexpr DWORD kAppendTurnWaitMs = 2000;

// Takes the appenders' turn; false when it could not be had in time (the
// write then goes ahead anyway: a log line must never wait for long).
bool TakeAppendTurn(HANDLE h) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    OVERLAPPED at = {};
    at.OffsetHigh = kAppendTurnOffsetHigh;
    if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, /*dwReserved=*/0,
                     /*nNumberOfBytesToLockLow=*/1, /*nNumberOfBytesToLockHigh=*/0, &at)) {
      return true;
    }
    const DWORD code = ::GetLastError();
    if ((code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) ||
        ::GetTickCount() - start >= kAppendTurnWaitMs) {
      return false;
    }
    ::Sleep(1);
  }
}

void GiveAppendTurn(HANDLE h) {
  OVERLAPPED at = {};
  at.OffsetHigh = kAppendTurnOffsetHigh;
  ::UnlockFileEx(h, /*dwReserved=*/0, 1, 0, &at);
}

}  // namespace

File::File() = default;
File::~File() = default;
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;

bool File::Open(const std::string& path, Mode mode, Share share, Failure* error) {
  Close();
  DWORD access = 0;
  DWORD disposition = 0;
  switch (mode) {
    case Mode::OpenRead:
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      break;
    case Mode::OpenWrite:
      access = GENERIC_WRITE;
      disposition = OPEN_EXISTING;
      break;
    case Mode::OpenReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = OPEN_EXISTING;
      break;
    case Mode::CreateAlways:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::OpenAppend:
      // Append data without write data: the system puts every write at the
      // end of the file as it is then, so writers in several processes never
      // overwrite each other. Read attributes lets Size() work; read data
      // lets the handle take the appenders' turn (LockFileEx needs it).
      access = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
      disposition = OPEN_EXISTING;
      break;
    case Mode::CreateNew:
      // Delete access lets PutInPlaceOf rename the file through this handle.
      access = GENERIC_READ | GENERIC_WRITE | DELETE;
      disposition = CREATE_NEW;
      break;
  }
  // A name that is taken fails CreateNew with "file exists", read-only or not.
  if (mode != Mode::OpenRead && mode != Mode::CreateNew && IsReadOnlyFile(path)) {
    SetError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  DWORD shareMode = share == Share::ReadWrite ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : 0;
  // An appender also lets others rename the file meanwhile: moving a new file
  // into place holds it for a moment with delete access, and an append that
  // came just then would otherwise fail with a sharing violation. What is
  // appended after a rename still lands in that one file.
  if (mode == Mode::OpenAppend && share == Share::ReadWrite) shareMode |= FILE_SHARE_DELETE;
  HANDLE h = ::CreateFileA(path.c_str(), access, shareMode, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetError(error, ::GetLastError());
    return false;
  }
  impl_.reset(new Impl{win32::FileHandle(h), mode == Mode::OpenAppend});
  return true;
}

bool File::IsOpen() const { return impl_ && impl_->handle.valid(); }

void File::Close() { impl_.reset(); }

bool File::SeekToEnd() {
  if (!IsOpen()) return false;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return ::SetFilePointerEx(impl_->handle.get(), zero, nullptr, FILE_END) != 0;
}

bool File::Write(const void* data, std::size_t size, Failure* error) {
  if (!IsOpen()) {
    SetError(error, ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD written = 0;
  const bool turn = impl_->append && TakeAppendTurn(impl_->handle.get());
  const BOOL ok =
      ::WriteFile(impl_->handle.get(), data, static_cast<DWORD>(size), &written, nullptr);
  const DWORD code = ::GetLastError();
  if (turn) GiveAppendTurn(impl_->handle.get());
  if (!ok) {
    SetError(error, code);
    return false;
  }
  if (written != size) {
    // A disk file only writes short when the disk is full.
    SetError(error, ERROR_DISK_FULL);
    return false;
  }
  return true;
}

bool File::Read(void* data, std::size_t size, std::size_t& read) {
  read = 0;
  if (!IsOpen()) return false;
  DWORD got = 0;
  if (!::ReadFile(impl_->handle.get(), data, static_cast<DWORD>(size), &got, nullptr)) return false;
  read = got;
  return true;
}

bool File::TruncateTo(std::int64_t size, Failure* error) {
  if (!IsOpen() || size < 0) {
    SetError(error, ERROR_INVALID_HANDLE);
    return false;
  }
  LARGE_INTEGER at;
  at.QuadPart = size;
  if (!::SetFilePointerEx(impl_->handle.get(), at, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(impl_->handle.get())) {
    SetError(error, ::GetLastError());
    return false;
  }
  return true;
}

bool File::Flush(Failure* error) {
  if (!IsOpen()) {
    SetError(error, ERROR_INVALID_HANDLE);
    return false;
  }
  if (!::FlushFileBuffers(impl_->handle.get())) {
    SetError(error, ::GetLastError());
    return false;
  }
  return true;
}

std::int64_t File::Size() const {
  if (!IsOpen()) return -1;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(impl_->handle.get(), &size)) return -1;
  return size.QuadPart;
}

bool File::ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) {
  if (!IsOpen()) return false;
  out.assign(count, 0);
  std::size_t got = 0;
  while (got < count) {
    // A synchronous handle reads at the offset the OVERLAPPED names.
    OVERLAPPED at = {};
    const std::uint64_t where = offset + got;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    const std::size_t left = count - got;
    const DWORD want = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::ReadFile(impl_->handle.get(), out.data() + got, want, &n, &at) || n == 0) return false;
    got += n;
  }
  return true;
}

bool File::PutInPlaceOf(const std::string& to, Failure* error) {
  if (!IsOpen()) {
    SetError(error, ERROR_INVALID_HANDLE);
    return false;
  }
  HANDLE file = impl_->handle.get();
  // The data goes to the disk before the name points at it.
  if (!::FlushFileBuffers(file)) {
    SetError(error, ::GetLastError());
    return false;
  }
  if (IsReadOnlyFile(to)) {
    SetError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  // The rename goes through the handle, so it is this file that takes the
  // name, whatever happened to its old name meanwhile; as in MoveFileEx, a
  // destination that is open or a running program refuses it.
  const int length = ::MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, nullptr, 0);
  if (length <= 0) {
    SetError(error, ::GetLastError());
    return false;
  }
  std::vector<wchar_t> name(static_cast<std::size_t>(length));
  ::MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, name.data(), length);
  const DWORD fullLength = ::GetFullPathNameW(name.data(), 0, nullptr, nullptr);
  if (fullLength == 0) {
    SetError(error, ::GetLastError());
    return false;
  }
  std::vector<wchar_t> full(fullLength);
  if (::GetFullPathNameW(name.data(), fullLength, full.data(), nullptr) == 0) {
    SetError(error, ::GetLastError());
    return false;
  }
  const std::size_t nameBytes = std::wcslen(full.data()) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(info->FileName, full.data(), nameBytes);
  if (!::SetFileInformationByHandle(file, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    SetError(error, ::GetLastError());
    return false;
  }
  // Write-through for the new name: NTFS keeps it with the file's metadata,
  // which the flush writes.
  ::FlushFileBuffers(file);
  return true;
}

}  // namespace platform
