// Processes on the Linux port: waiting on a child we started, and the list of
// running processes from /proc.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/monotonic.h"
#include "platform/posix/process_impl.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// The whole of a small /proc file, or "" when it cannot be read. A process
// that ends while its files are read makes the read fail (ESRCH): that is an
// answer here, never an exception, since the process list is read while
// other programs come and go.
std::string ReadWhole(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::string();
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::string();
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable name of one process, or "" when it has ended or is a
// zombie (an ended process that nobody has reaped yet is not running).
std::string ProcessName(const std::string& pidDir) {
  std::string stat = ReadWhole(pidDir + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return std::string();
  const char state = stat[close + 2];
  if (state == 'Z' || state == 'X') return std::string();

  char buf[4096];
  ssize_t n = ::readlink((pidDir + "/exe").c_str(), buf, sizeof buf - 1);
  if (n > 0) {
    std::string exe(buf, static_cast<std::size_t>(n));
    // A program whose file was replaced while it runs still is that program.
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
      exe.resize(exe.size() - deleted.size());
    }
    return BaseName(exe);
  }
  // Other users' processes hide their exe link; their command line does not.
  std::string cmdline = ReadWhole(pidDir + "/cmdline");
  std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
  if (!argv0.empty()) return BaseName(argv0);
  std::string comm = ReadWhole(pidDir + "/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// The real user id of a process from its status file; false when the
// process has ended meanwhile or cannot be read.
bool RealUid(const std::string& pidDir, uid_t& uid) {
  const std::string status = ReadWhole(pidDir + "/status");
  const std::size_t at = status.find("\nUid:");
  if (at == std::string::npos) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(status.c_str() + at + 5, &end, 10);
  if (end == status.c_str() + at + 5) return false;
  uid = static_cast<uid_t>(value);
  return true;
}

// The kernel's login session id of a process, "" where the kernel keeps
// none or the process has ended.
std::string LoginSession(const std::string& pidDir) {
  std::string id = ReadWhole(pidDir + "/sessionid");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

// XDG_SESSION_ID from a process's environment; "" when it has none or its
// environment cannot be read.
std::string XdgSession(const std::string& pidDir) {
  const std::string env = ReadWhole(pidDir + "/environ");
  const std::string key = "XDG_SESSION_ID=";
  std::size_t pos = 0;
  while (pos < env.size()) {
    std::size_t end = env.find('\0', pos);
    if (end == std::string::npos) end = env.size();
    if (env.compare(pos, key.size(), key) == 0)
      return env.substr(pos + key.size(), end - pos - key.size());
    pos = end + 1;
  }
  return std::string();
}

std::string OwnXdgSession() {
  const char* id = std::getenv("XDG_SESSION_ID");
  return id != nullptr ? std::string(id) : std::string();
}

// The caller's own session, read once per listing.
struct OwnSession {
  uid_t uid = ::getuid();
  std::string login = LoginSession("/proc/self");
  // Our own variable as it stands now; /proc/self/environ shows only the
  // environment the process was started with.
  std::string xdg = OwnXdgSession();

  // The same user, and the same login session where both sides can tell.
  bool Holds(const std::string& pidDir) const {
    uid_t other = 0;
    if (!RealUid(pidDir, other) || other != uid) return false;
    const std::string otherLogin = LoginSession(pidDir);
    if (!login.empty() && !otherLogin.empty()) return otherLogin == login;
    const std::string otherXdg = xdg.empty() ? std::string() : XdgSession(pidDir);
    if (!otherXdg.empty()) return otherXdg == xdg;
    return true;
  }
};

}  // namespace

ProcessHandle::Impl::Impl(pid_t childPid) : pid(childPid), pidfd(OpenPidFd(childPid)) {}

ProcessHandle::Impl::~Impl() {
  if (reaped || pid <= 0) return;
  pid_t child = pid;
  // The child may run on for a long time; a detached thread waits for it so
  // it never lingers as a zombie. It touches nothing but the pid.
  try {
    std::thread([child]() noexcept {
      int status = 0;
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // Without a thread the child stays a zombie until we exit; nothing worse.
  }
}

ProcessHandle::ProcessHandle() = default;
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&&) noexcept = default;
ProcessHandle::ProcessHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

bool ProcessHandle::IsValid() const { return impl_ != nullptr && impl_->pid > 0; }

void ProcessHandle::Close() { impl_.reset(); }

bool ProcessHandle::Terminate() {
  // The pid of an unreaped child of ours cannot belong to anyone else, so the
  // signal reaches the process this handle stands for.
  if (!IsValid() || impl_->reaped) return false;
  return ::kill(impl_->pid, SIGKILL) == 0;
}

ProcessHandle::WaitResult ProcessHandle::Wait(std::uint32_t ms) {
  if (!IsValid()) return WaitResult::Failed;
  // An ended process stays signalled, as a Windows process handle does.
  if (impl_->reaped) return WaitResult::Ended;

  const bool forever = ms == 0xFFFFFFFFu;  // INFINITE
  const std::uint64_t deadline = MonotonicMs() + ms;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(impl_->pid, &status, WNOHANG);
    if (r == impl_->pid) {
      impl_->reaped = true;
      impl_->status = status;
      impl_->statusKnown = true;
      return WaitResult::Ended;
    }
    if (r < 0 && errno != EINTR) {
      if (errno == ECHILD && impl_->pidfd.valid()) {
        // Reaped elsewhere (SIGCHLD ignored): the pidfd still tells whether
        // the process has ended.
        pollfd p{impl_->pidfd.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) == 1) {
          impl_->reaped = true;
          return WaitResult::Ended;
        }
      }
      return WaitResult::Failed;
    }
    const std::uint64_t now = MonotonicMs();
    if (!forever && now >= deadline) return WaitResult::TimedOut;
    // Sleep until the child ends or the time is up; without a pidfd, in
    // short slices.
    std::uint64_t left = forever ? 1000u : deadline - now;
    if (impl_->pidfd.valid()) {
      pollfd p{impl_->pidfd.get(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left > 1000u ? 1000u : left));
    } else {
      timespec ts{0, static_cast<long>((left > 5u ? 5u : left) * 1000000L)};
      ::nanosleep(&ts, nullptr);
    }
  }
}

ProcessEnd ProcessHandle::End() const {
  ProcessEnd end;
  if (!impl_ || !impl_->statusKnown) return end;
  const int status = impl_->status;
  if (WIFEXITED(status)) {
    end.kind = ProcessEnd::Kind::ExitCode;
    end.code = static_cast<std::uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    end.kind = ProcessEnd::Kind::Signal;
    end.code = static_cast<std::uint32_t>(WTERMSIG(status));
  }
  return end;
}

std::string ProcessHandle::ErrorOutputHead() const {
  if (!impl_ || !impl_->errors) return std::string();
  ErrorCapture& c = *impl_->errors;
  std::unique_lock<std::mutex> lock(c.mutex);
  // The pipe holds all the child wrote before it ended; the reader may not
  // have taken it yet. A grandchild that keeps the pipe open must not hold
  // the caller, hence the limit.
  if (impl_->reaped) {
    c.endedChanged.wait_for(lock, std::chrono::milliseconds(500), [&c] { return c.ended; });
  }
  return c.head;
}

bool StartErrorReader(UniqueFd readEnd, const std::shared_ptr<ErrorCapture>& capture) {
  try {
    std::thread([fd = std::move(readEnd), capture]() noexcept {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
          std::lock_guard<std::mutex> lock(capture->mutex);
          const std::size_t room = kErrorOutputHeadBytes - capture->head.size();
          capture->head.append(buf, std::min(room, static_cast<std::size_t>(n)));
        }
        // Passed on as it came; a failing standard error of our own loses
        // only the copy.
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = ::write(2, buf + done, static_cast<std::size_t>(n - done));
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) break;
          done += w;
        }
      }
      std::lock_guard<std::mutex> lock(capture->mutex);
      capture->ended = true;
      capture->endedChanged.notify_all();
    }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

bool EndedAsUnstartable(const ProcessEnd& end, const std::string& errorOutput, std::string& why) {
  if (end.kind == ProcessEnd::Kind::Signal) {
    struct Named {
      int sig;
      const char* name;
    };
    for (const Named n : {Named{SIGSEGV, "SIGSEGV"}, Named{SIGILL, "SIGILL"},
                          Named{SIGBUS, "SIGBUS"}, Named{SIGABRT, "SIGABRT"}}) {
      if (static_cast<int>(end.code) != n.sig) continue;
      const char* text = ::strsignal(n.sig);
      why = std::string(n.name) + ": " + (text != nullptr ? text : "");
      return true;
    }
    return false;
  }
  // 127 is also what a shell gives for a command it cannot find, and any
  // program may choose it; only the dynamic loader's own words make it a
  // program that could not be loaded.
  if (end.kind != ProcessEnd::Kind::ExitCode || end.code != 127) return false;
  const std::size_t at = errorOutput.find("error while loading shared libraries");
  if (at == std::string::npos) return false;
  // From the loader's words to the end of their line: the program's path
  // before them is in the start's own log line already.
  std::size_t to = errorOutput.find('\n', at);
  if (to == std::string::npos) to = errorOutput.size();
  why = "127: " + errorOutput.substr(at, to - at);
  return true;
}

std::string ProgramsHoldingFile(const std::string& /*path*/) {
  // The port's sharing rules are advisory locks that name no holder.
  return std::string();
}

bool ForEachProcessName(const std::function<bool(const std::string& exeName)>& visit,
                        ProcessScope scope) {
  UniqueDir proc(::opendir("/proc"));
  if (!proc) return false;
  const OwnSession own;
  while (dirent* e = ::readdir(proc.get())) {
    const char* name = e->d_name;
    bool numeric = *name != '\0';
    for (const char* p = name; *p != '\0'; ++p) {
      if (!std::isdigit(static_cast<unsigned char>(*p))) numeric = false;
    }
    if (!numeric) continue;
    const std::string pidDir = std::string("/proc/") + name;
    std::string exe = ProcessName(pidDir);
    if (exe.empty()) continue;
    if (scope == ProcessScope::CallerSession && !own.Holds(pidDir)) continue;
    if (visit(exe)) break;
  }
  return true;
}

void CrashThisProcess() {
  std::signal(SIGSEGV, SIG_DFL);
  std::raise(SIGSEGV);
  std::abort();  // not reached: SIGSEGV's default action ends the process
}

}  // namespace platform
