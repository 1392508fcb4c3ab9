#include "platform/common/byte_source.h"

#include "platform/files.h"

namespace platform {

bool MemoryByteSource::ReadAt(std::uint64_t offset, std::size_t count,
                              std::vector<unsigned char>& out) {
  if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes_.data()) + offset;
  out.assign(begin, begin + count);
  return true;
}

FileByteSource::FileByteSource(File& file) : file_(file) {
  const std::int64_t size = file.Size();
  size_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

bool FileByteSource::ReadAt(std::uint64_t offset, std::size_t count,
                            std::vector<unsigned char>& out) {
  if (offset > size_ || count > size_ - offset) return false;
  return file_.ReadAt(offset, count, out);
}

}  // namespace platform
