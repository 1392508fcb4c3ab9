// The Linux port's owners of a file descriptor and of an open directory,
// shared by the files, the version-resource reader and the process list.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include "platform/unique_handle.h"

namespace platform {

struct FdTraits {
  using Handle = int;
  static Handle Invalid() { return -1; }
  static void Close(Handle h) { ::close(h); }
};
using UniqueFd = UniqueHandle<FdTraits>;

struct DirTraits {
  using Handle = DIR*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::closedir(h); }
};
using UniqueDir = UniqueHandle<DirTraits>;

}  // namespace platform
