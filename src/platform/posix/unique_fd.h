// The Linux port's owner of a file descriptor, shared by the files and the
// version-resource reader.
#pragma once

#include <unistd.h>

#include "platform/unique_handle.h"

namespace platform {

struct FdTraits {
  using Handle = int;
  static Handle Invalid() { return -1; }
  static void Close(Handle h) { ::close(h); }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace platform
