#include "platform/posix/read_at.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

bool ReadAt(int fd, std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) {
  out.assign(count, 0);
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd, out.data() + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
