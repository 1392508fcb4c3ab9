#include "platform/posix/errno_codes.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/error_codes.h"
#include "platform/posix/path_facts.h"

namespace platform {

namespace {

// The cells of the table, by the names of their Windows codes. kByFolder is
// 2, or 3 where the folder of the path is missing.
constexpr Failure kByFolder = Failure::None;
constexpr Failure kFile = Failure::FileNotFound;         // 2
constexpr Failure kPath = Failure::PathNotFound;         // 3
constexpr Failure kDenied = Failure::AccessDenied;       // 5
constexpr Failure kMemory = Failure::NotEnoughMemory;    // 8
constexpr Failure kDevice = Failure::NotSameDevice;      // 17
constexpr Failure kGeneral = Failure::GenFailure;        // 31
constexpr Failure kSharing = Failure::SharingViolation;  // 32
constexpr Failure kExists = Failure::FileExists;         // 80
constexpr Failure kFull = Failure::DiskFull;             // 112
constexpr Failure kAlready = Failure::AlreadyExists;     // 183
constexpr Failure kBadExe = Failure::BadExeFormat;       // 193
constexpr Failure kStoreIo = Failure::RegistryIoFailed;  // 1016

struct Row {
  int err;
  Failure files;
  Failure move;
  Failure replace;
  Failure fileLock;
  Failure spawn;
  Failure findProgram;
  Failure registry;
};

// EWOULDBLOCK is EAGAIN here: a held lock for the files, a full process
// table for a spawn. The last row answers for every errno that no row above
// names.
// clang-format off
constexpr Row kTable[] = {
    // errno      files      move       replace    file lock spawn     find prog  registry
    {ENOENT,      kByFolder, kByFolder, kByFolder, kPath,    kFile,    kByFolder, kStoreIo},
    {ENOTDIR,     kPath,     kPath,     kPath,     kPath,    kPath,    kPath,     kStoreIo},
    {EACCES,      kDenied,   kDenied,   kDenied,   kDenied,  kDenied,  kByFolder, kDenied},
    {EPERM,       kDenied,   kDenied,   kDenied,   kDenied,  kDenied,  kByFolder, kDenied},
    {EISDIR,      kDenied,   kDenied,   kDenied,   kDenied,  kGeneral, kByFolder, kStoreIo},
    {EROFS,       kDenied,   kDenied,   kDenied,   kDenied,  kGeneral, kByFolder, kStoreIo},
    // O_NOFOLLOW met a symbolic link in the file's place.
    {ELOOP,       kDenied,   kDenied,   kDenied,   kDenied,  kGeneral, kByFolder, kStoreIo},
    {EWOULDBLOCK, kSharing,  kSharing,  kSharing,  kGeneral, kMemory,  kByFolder, kStoreIo},
    {ETXTBSY,     kSharing,  kSharing,  kSharing,  kGeneral, kGeneral, kByFolder, kStoreIo},
    {EBUSY,       kSharing,  kSharing,  kSharing,  kGeneral, kGeneral, kByFolder, kStoreIo},
    {EEXIST,      kExists,   kAlready,  kExists,   kGeneral, kGeneral, kByFolder, kStoreIo},
    {EXDEV,       kGeneral,  kGeneral,  kDevice,   kGeneral, kGeneral, kByFolder, kStoreIo},
    {ENOSPC,      kFull,     kFull,     kFull,     kGeneral, kGeneral, kByFolder, kStoreIo},
    {EDQUOT,      kFull,     kFull,     kFull,     kGeneral, kGeneral, kByFolder, kStoreIo},
    {ENOMEM,      kGeneral,  kGeneral,  kGeneral,  kGeneral, kMemory,  kByFolder, kStoreIo},
    {ENOEXEC,     kGeneral,  kGeneral,  kGeneral,  kGeneral, kBadExe,  kByFolder, kStoreIo},
    // Any other errno.
    {0,           kGeneral,  kGeneral,  kGeneral,  kGeneral, kGeneral, kByFolder, kStoreIo},
};
// clang-format on
static_assert(EWOULDBLOCK == EAGAIN, "one row serves both names");

const Row& RowOf(int err) {
  constexpr std::size_t kLast = sizeof kTable / sizeof kTable[0] - 1;
  for (std::size_t i = 0; i < kLast; ++i) {
    if (kTable[i].err == err) return kTable[i];
  }
  return kTable[kLast];
}

}  // namespace

Failure FailureFromErrno(int err, ErrnoUse use, const std::string& path) {
  const Row& row = RowOf(err);
  Failure code = kGeneral;
  switch (use) {
    case ErrnoUse::kFiles:
      code = row.files;
      break;
    case ErrnoUse::kMove:
      code = row.move;
      break;
    case ErrnoUse::kReplace:
      code = row.replace;
      break;
    case ErrnoUse::kFileLock:
      code = row.fileLock;
      break;
    case ErrnoUse::kSpawn:
      code = row.spawn;
      break;
    case ErrnoUse::kFindProgram:
      code = row.findProgram;
      break;
    case ErrnoUse::kRegistry:
      code = row.registry;
      break;
  }
  if (code == kByFolder) {
    return IsDir(ParentOf(path)) ? Failure::FileNotFound : Failure::PathNotFound;
  }
  return code;
}

}  // namespace platform
