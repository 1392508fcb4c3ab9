// Files and folders.
//
// Contract: any thread; calls block only for the file system; they never
// process GUI messages and never throw. Failures are return values; where a
// caller needs to know why, the function hands out a Failure
// (platform/error_codes.h): FileNotFound, PathNotFound, AccessDenied,
// NotSameDevice (not the same volume), SharingViolation, FileExists, DiskFull,
// AlreadyExists (FileMove never replaces its destination). The Linux port
// translates its errno values in one table (platform/posix/errno_codes.h).
//
// Symbolic links (Linux port): nothing here ever writes through a link. An
// open for writing or appending refuses a link in the file's place (AccessDenied); an
// open that creates (CreateAlways) and the destination of FileCopy replace a
// link by a new file; CreateNew counts a link as an existing file (FileExists);
// FileMove, ReplaceFileAtomically and FileDelete act on the link itself.
// Reading follows links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_codes.h"

namespace platform {

// True for an existing file that is not a folder.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates the folder and any missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

// Full path of a possibly relative name (relative to the working directory).
std::string ExpandFileName(const std::string& path);
std::string CurrentDirectory();

// Directory search for the first entry matching `path` (wildcards act as a
// pattern), no attribute excluded. Gives the low 32 bits of its size (0 for a
// folder). False when nothing matches or the search fails.
bool FindFirstSize(const std::string& path, std::uint32_t& sizeLow);

// Resolves "." and ".." segments on the text alone; false when the input or
// the result would not fit in 260 characters, NUL included (the caller then
// keeps its input).
bool CanonicalizePath(const std::string& path, std::string& out);

bool FileMove(const std::string& from, const std::string& to, Failure* error = nullptr);
bool FileDelete(const std::string& path, Failure* error = nullptr);
bool FileCopy(const std::string& from, const std::string& to, bool failIfExists,
              Failure* error = nullptr);
// Puts the file `from` in place of `to` in one step, for installing a program:
// `from`'s data is flushed to the disk first, and the name `to` then holds at
// every instant either the whole old or the whole new file, also when the
// process is killed or the machine stops halfway. `to` need not exist; both
// must lie on one volume (else NotSameDevice). `from` is gone afterwards and keeps its
// own permissions (the Linux port makes a `to` named *.exe executable wherever
// it is readable, as CopyFile does). False with the Failure in `error`, both
// files left as they were: AccessDenied when `to` is read-only, a folder, held open or a
// running program (Windows refuses to replace those, and so does the Linux
// port, so a running companion keeps its file on both), SharingViolation
// when `from` is held open without sharing, FileNotFound when it is missing.
bool ReplaceFileAtomically(const std::string& from, const std::string& to,
                           Failure* error = nullptr);
// Puts the file's data and its name in the folder on the disk, so that a copy
// just made survives a power cut (the Linux port also flushes the folder;
// Windows keeps the name with the file's own metadata). The file is opened
// without following a link. False with the Failure in `error`: FileNotFound
// when it is missing, AccessDenied for a folder.
bool FlushFileToDisk(const std::string& path, Failure* error = nullptr);

// A folder for this user's own temporary files, which no other user can
// write, made when missing; `folder` ends in the folder separator. Windows:
// "KestroLoader" in the user's temporary folder (GetTempPath), which lies in
// the user's profile. Linux port: "kestro-<user id>" in $TMPDIR (else /tmp),
// made with mode 0700; a folder of that name that is a link or belongs to
// another user is refused (AccessDenied), and one of the user's own that
// others may enter is closed to them first.
bool PrivateTempFolder(std::string& folder, Failure* error = nullptr);

class File;

// Creates a new file named `stem`, a random part and `suffix`, with
// CreateNew and without sharing, into `file`, trying other random parts while
// a name is taken: no other writer (nor a link put there beforehand) can
// hold it. `path` gets the name, also the last one tried on a failure. False
// with the Failure in `error`: FileExists when every name tried was taken.
bool CreateFileWithRandomName(const std::string& stem, const std::string& suffix, File& file,
                              std::string& path, Failure* error = nullptr);

// Why ReadSmallFile gave nothing.
enum class SmallFileFailure {
  None,
  NotFound,      // no such file, or a folder on the way is missing
  AccessDenied,  // the user may not read it
  Locked,        // another process holds it open or locked against readers
  NotAFile,      // a folder, a FIFO, a device: anything but a regular file
  TooLarge,      // more than the caller's maximum
  ReadFailed,    // any other failure to open or read it
};

// Reads the whole of a small regular file while others may read and write
// it. The file is opened without blocking, so a FIFO or a device never holds
// the caller; what is not a regular file, or is larger than maxBytes, is
// refused without being read. Never throws.
SmallFileFailure ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& content);

// The fixed English text Windows gives for a failure, without its line end,
// or "Error <code>" for a code without one; used in exception messages. The
// same on both platforms, whatever the language of the system.
std::string FileErrorText(Failure failure);

// An open file. Move-only; closed by its destructor.
class File {
 public:
  enum class Mode {
    OpenRead,       // existing file, read access
    OpenWrite,      // existing file, write access
    OpenReadWrite,  // existing file, read and write access
    CreateAlways,   // create new or truncate, read and write access
    // Existing file, append access only: every Write lands whole at the end
    // of the file as it is at that moment, whatever other openers write
    // (Windows FILE_APPEND_DATA without FILE_WRITE_DATA; O_APPEND).
    OpenAppend,
    // A new file, read and write access; fails with FileExists when the name is
    // taken, so of two openers racing for one name exactly one wins. Windows
    // also gives it delete access, for PutInPlaceOf.
    CreateNew,
  };
  enum class Share {
    None,       // nobody else may open the file while it is open
    ReadWrite,  // others may read and write it meanwhile
  };

  File();
  ~File();
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // False with the Failure in `error` when the file cannot be opened.
  // A read-only file (the Windows attribute; on the Linux port a file without
  // any write permission bit) refuses OpenWrite and CreateAlways with 5, also
  // for an administrator or root; so do DeleteFile and a CopyFile onto it.
  bool Open(const std::string& path, Mode mode, Share share, Failure* error = nullptr);
  bool IsOpen() const;
  void Close();

  bool SeekToEnd();
  // Writes all of `size` bytes or fails (a short write is a failure).
  bool Write(const void* data, std::size_t size, Failure* error = nullptr);
  // Reads up to `size` bytes; `read` gets the count (0 at the end of the file).
  bool Read(void* data, std::size_t size, std::size_t& read);
  // Reads exactly `count` bytes at `offset` into `out` (the file position is
  // not the caller's afterwards); false when the file is shorter or cannot be
  // read.
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out);
  // Current size in bytes, or -1.
  std::int64_t Size() const;
  // Cuts the file to its first `size` bytes (or lengthens it with zeros) and
  // puts the position at that end, where the next Write lands.
  bool TruncateTo(std::int64_t size, Failure* error = nullptr);
  // Puts what was written through this handle on the disk, so that it
  // survives the process being killed and the machine stopping.
  bool Flush(Failure* error = nullptr);

  // Puts this file, made with CreateNew and still open, in place of `to` as
  // ReplaceFileAtomically does (flushed first; `to` whole old or whole new at
  // every instant; the same refusals for `to`), and afterwards it goes on
  // being open under its new name. What is put in place is the file this
  // handle holds and not whatever its old name points to by then: Windows
  // renames through the handle, which nobody else could write, rename or
  // delete while it was open without sharing. The Linux port, where a writer
  // need not ask (and can replace the name), compares right before the
  // rename: a file written since this handle's last Write, or a name that no
  // longer leads to this file, fails with ChangedElsewhere and is not
  // renamed.
  bool PutInPlaceOf(const std::string& to, Failure* error = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
