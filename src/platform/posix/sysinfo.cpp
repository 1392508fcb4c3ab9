// Facts about the running process and the machine, from /proc and libc.
#include "platform/sysinfo.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/posix/monotonic.h"

namespace platform {

const char kPathDelim = '/';
const char* const kPathDelims = "/";

std::string ModuleFileName() {
  // /proc/self/exe names the file the kernel started; its length is not known
  // beforehand, so the buffer grows until the link fits.
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    if (buf.size() > 65536) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::uintptr_t ModuleHandle() {
  // The program headers lie inside the executable's first loaded segment; the
  // PT_PHDR entry says at which offset, so subtracting it gives the address the
  // image was loaded at (the counterpart of a Windows module handle).
  auto phdr = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
  auto count = static_cast<std::size_t>(getauxval(AT_PHNUM));
  if (phdr == nullptr || count == 0) return 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (phdr[i].p_type == PT_PHDR) {
      return reinterpret_cast<std::uintptr_t>(phdr) - phdr[i].p_vaddr;
    }
  }
  // Without a PT_PHDR entry the headers sit right behind the ELF header of a
  // non-relocated image; the first object of the loader's list is the program.
  std::uintptr_t base = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        *static_cast<std::uintptr_t*>(data) = static_cast<std::uintptr_t>(info->dlpi_addr);
        return 1;
      },
      &base);
  return base;
}

bool ComputerName(std::string& out) {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return false;
  std::string name(buf);
  // A NetBIOS name holds at most 15 bytes; the log column is built on that.
  if (name.size() > 15) name.resize(15);
  out = name;
  return true;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

// The monotonic count cut to 32 bits, wrapping as GetTickCount does.
std::uint32_t TickCount() { return static_cast<std::uint32_t>(MonotonicMs()); }

OsVersion GetOsVersion() {
  // This port has no elevation requests, so it reports no Windows version at
  // all; the elevation test then chooses the plain "open" start.
  return OsVersion{};
}

std::vector<std::string> CommandLineArgs() {
  std::vector<std::string> args;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return args;
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  bool first = true;
  while (pos < all.size()) {
    std::size_t end = all.find('\0', pos);
    if (end == std::string::npos) end = all.size();
    std::string arg = all.substr(pos, end - pos);
    // argv[0] is the program itself; an empty argument is skipped as the
    // Windows runtime skips an argument written as "".
    if (!first && !arg.empty()) args.push_back(arg);
    first = false;
    pos = end + 1;
  }
  return args;
}

void SleepMs(std::uint32_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000u);
  ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool GetEnv(const std::string& name, std::string& out) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return false;
  out = v;
  return true;
}

}  // namespace platform
