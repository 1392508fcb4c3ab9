// The Linux port's positioned reads of a file, shared by the whole-program
// check and the version-resource reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/common/byte_source.h"

namespace platform {

// Reads exactly `count` bytes at `offset` of `fd` into `out`, again where a
// signal breaks the read off; false when the file is shorter or cannot be
// read.
bool ReadAt(int fd, std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out);

// An open file as a byte source; the caller keeps `fd` open and tells its size.
class FdByteSource : public ByteSource {
 public:
  FdByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override {
    return platform::ReadAt(fd_, offset, count, out);
  }

 private:
  int fd_;
  std::uint64_t size_;
};

}  // namespace platform
