// The Linux port's one translation of errno values into the Windows error
// codes of platform/error_codes.h. Each service that hands out codes has a
// column of its own in the one table, since Windows itself answers the same
// cause differently in each (a missing lock file's folder is 3, a missing
// program to start is 2).
#pragma once

#include <string>

#include "platform/error_codes.h"

namespace platform {

enum class ErrnoUse {
  kFiles,  // platform/files.h
  // FileMove, as MoveFileA answers: an existing destination is 183, not 80.
  kMove,
  // The atomic replace, as MoveFileExA with replace answers: another file
  // system is 17.
  kReplace,
  kFileLock,  // platform/file_lock.h
  kSpawn,     // starting a program (platform/shell.h)
  // Finding the program to start: whatever keeps the shell from looking at
  // the file, it reports the file as not found (2 or 3).
  kFindProgram,
  kRegistry,  // the Linux port's settings store (platform/registry.h)
};

// The Windows code for `err` as the service `use` hands it out; anything the
// table does not name is 31 (general failure), for the registry 1016 (its
// I/O failed), and for kFindProgram 2 or 3. For kFiles, kMove, kReplace and
// kFindProgram, `path` tells a missing file (2) from a missing folder on the
// way to it (3), as Windows does; the other uses ignore it.
Failure FailureFromErrno(int err, ErrnoUse use, const std::string& path = std::string());

}  // namespace platform
