// Version resources of Windows executables on the Linux port: the files are
// read by the PE resource reader (platform/common/version_resource.h). The
// running program answers from the version compiled into it, since on this
// port it is not a PE file itself.
#include "platform/version_info.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/backslash_path.h"
#include "platform/common/version_resource.h"
#include "platform/posix/read_at.h"
#include "platform/posix/unique_fd.h"
#include "platform/sysinfo.h"

namespace platform {
namespace {

// realpath hands out a malloc'd text.
struct MallocFree {
  void operator()(char* p) const { std::free(p); }
};
using RealPath = std::unique_ptr<char, MallocFree>;

bool SameFile(const std::string& a, const std::string& b) {
  const RealPath ra(::realpath(a.c_str(), nullptr));
  const RealPath rb(::realpath(b.c_str(), nullptr));
  return ra && rb && std::string(ra.get()) == std::string(rb.get());
}

bool OwnVersionString(const std::string& queryPath, std::string& out) {
  // The program's own strings live in the Dutch block, as in its Windows
  // build's resource.
  const std::vector<std::string> q = SplitBackslashPath(queryPath);
  if (q.size() != 3 || strcasecmp(q[0].c_str(), "StringFileInfo") != 0 ||
      strcasecmp(q[1].c_str(), "041304E4") != 0) {
    return false;
  }
  if (strcasecmp(q[2].c_str(), "FileVersion") == 0) {
    out = KESTRO_FILE_VERSION;
    return true;
  }
  if (strcasecmp(q[2].c_str(), "ProductVersion") == 0) {
    out = KESTRO_PRODUCT_VERSION;
    return true;
  }
  return false;
}

// The program's own file version, compiled in as "a.b.c.d".
bool OwnFixedFileVersion(std::uint32_t& mostSignificant, std::uint32_t& leastSignificant) {
  std::uint32_t parts[4] = {};
  const char* p = KESTRO_FILE_VERSION;
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(p, &end, 10);
    if (end == p || n > 0xFFFF) return false;
    parts[i] = static_cast<std::uint32_t>(n);
    p = end;
    if (i < 3 && *p++ != '.') return false;
  }
  mostSignificant = parts[0] << 16 | parts[1];
  leastSignificant = parts[2] << 16 | parts[3];
  return true;
}

// The file's bytes for the resource reader; false when it cannot be opened.
bool WithSource(const std::string& file, const std::function<bool(ByteSource&)>& read) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FdByteSource source(fd.get(), static_cast<std::uint64_t>(st.st_size));
  return read(source);
}

}  // namespace

bool QueryVersionString(const std::string& file, const std::string& queryPath, std::string& out) {
  if (file.empty()) return false;
  if (SameFile(file, ModuleFileName())) return OwnVersionString(queryPath, out);
  return WithSource(file,
                    [&](ByteSource& source) { return ReadVersionString(source, queryPath, out); });
}

bool QueryFixedFileVersion(const std::string& file, std::uint32_t& mostSignificant,
                           std::uint32_t& leastSignificant) {
  if (file.empty()) return false;
  if (SameFile(file, ModuleFileName())) {
    return OwnFixedFileVersion(mostSignificant, leastSignificant);
  }
  return WithSource(file, [&](ByteSource& source) {
    return ReadFixedFileVersion(source, mostSignificant, leastSignificant);
  });
}

}  // namespace platform
