// Random access to the bytes of one file, apart from how they are read: the
// program checks and the version reader judge a source, whether it is a file
// opened for a look, one held open for an install, or bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class File;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The size of the file as it was when it was opened.
  virtual std::uint64_t Size() const = 0;
  // Reads exactly `count` bytes at `offset` into `out`; false when the
  // source is shorter or cannot be read.
  virtual bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) = 0;
};

// The bytes of a file held in memory.
class MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override;

 private:
  std::string bytes_;
};

// An open file (platform/files.h), read through its own handle; its size is
// taken when the source is made. The file stays open and the caller's.
class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(File& file);
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override;

 private:
  File& file_;
  std::uint64_t size_ = 0;
};

}  // namespace platform
