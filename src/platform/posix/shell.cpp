// Starting programs on the Linux port: the file is spawned directly. There is
// no elevation here, so the verb is ignored, and there is no window to show,
// so the show command is too.
#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/common/command_line.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/posix/errno_codes.h"
#include "platform/posix/process_impl.h"
#include "platform/sysinfo.h"

extern char** environ;

namespace platform {
namespace {

// What ShellExecuteA returns for a started program; any value above 32 says so.
constexpr int kStarted = 42;

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Finds the program as the shell would: a name with a folder as written, a
// bare name in the working directory first and then along PATH. Gives the
// path to start, or why it cannot.
Failure ResolveProgram(const std::string& file, std::string& path) {
  if (file.empty()) return Failure::FileNotFound;
  if (file.find('/') != std::string::npos) {
    path = ExpandFileName(file);
  } else {
    path = ExpandFileName(file);
    if (!IsFile(path)) {
      std::string dirs;
      if (GetEnv("PATH", dirs)) {
        std::size_t pos = 0;
        while (pos <= dirs.size()) {
          std::size_t end = dirs.find(':', pos);
          if (end == std::string::npos) end = dirs.size();
          std::string dir = dirs.substr(pos, end - pos);
          if (!dir.empty()) {
            std::string candidate = ExpandFileName(dir + "/" + file);
            if (IsFile(candidate)) {
              path = candidate;
              break;
            }
          }
          pos = end + 1;
        }
      }
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FailureFromErrno(errno, ErrnoUse::kFindProgram, path);
  // Only a regular file with an execute bit can be started; root's right to
  // run anything does not count, as no Windows shell starts a data file.
  if (!S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) return Failure::AccessDenied;
  return Failure::None;
}

struct SpawnResult {
  Failure error = Failure::None;
  pid_t pid = -1;
};

// The owner of a spawn's attributes or file actions: destroyed on every way
// out once their init has succeeded.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() : ok_(Init(&object_) == 0) {}
  ~SpawnObject() {
    if (ok_) Destroy(&object_);
  }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  bool ok() const { return ok_; }
  T* get() { return &object_; }

 private:
  T object_;
  bool ok_;
};
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                     posix_spawn_file_actions_destroy>;

SpawnResult Spawn(const std::string& path, const std::vector<std::string>& args,
                  const std::string& dir, int errorOutput = -1) {
  SpawnResult result;
  SpawnFileActions actions;
  SpawnAttributes attr;
  if (!actions.ok() || !attr.ok()) {
    result.error = Failure::NotEnoughMemory;
    return result;
  }
  // The child starts with a clean signal state, whatever this process masks.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(attr.get(), &none);
  posix_spawnattr_setsigdefault(attr.get(), &defaults);
  posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(actions.get(), dir.c_str());
  // The pipe's write end becomes the child's standard error; dup2 clears its
  // close-on-exec flag there, and both original ends close on exec.
  if (errorOutput >= 0) posix_spawn_file_actions_adddup2(actions.get(), errorOutput, 2);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), actions.get(), attr.get(), argv.data(), environ);
  if (rc != 0) {
    result.error = FailureFromErrno(rc, ErrnoUse::kSpawn);
    return result;
  }
  result.pid = pid;
  return result;
}

}  // namespace

int ShellStart(const std::string& file, ShowCommand /*show*/) {
  std::string path;
  Failure error = ResolveProgram(file, path);
  if (error != Failure::None) return static_cast<int>(CodeOf(error));
  SpawnResult r = Spawn(path, {}, std::string());
  if (r.error != Failure::None) return static_cast<int>(CodeOf(r.error));
  // Nobody waits for this program; dropping the handle reaps it once it ends.
  ProcessHandle::Impl child(r.pid);
  return kStarted;
}

ShellExecResult ShellExecuteProcess(const std::string& verb, const std::string& file,
                                    const std::string& params, const std::string& dir,
                                    ShowCommand /*show*/, bool keepErrorOutput) {
  ShellExecResult result;
  std::string path;
  Failure error = ResolveProgram(file, path);
  if (error == Failure::None && !dir.empty() && !DirectoryExists(dir))
    error = Failure::PathNotFound;
  if (error != Failure::None) {
    result.error = error;
    return result;
  }
  // Without a pipe the program still starts, only its error output is not
  // kept.
  int pipeEnds[2] = {-1, -1};
  if (keepErrorOutput && ::pipe2(pipeEnds, O_CLOEXEC) != 0) pipeEnds[0] = pipeEnds[1] = -1;
  UniqueFd readEnd(pipeEnds[0]);
  UniqueFd writeEnd(pipeEnds[1]);
  SpawnResult r = Spawn(path, SplitParameters(params), dir, writeEnd.valid() ? writeEnd.get() : -1);
  // Only the child may hold the write end, so the reader sees the pipe's end
  // when the child and its own children are done with it.
  writeEnd = UniqueFd();
  if (r.error != Failure::None) {
    result.error = r.error;
    return result;
  }
  result.ok = true;
  auto impl = std::make_unique<ProcessHandle::Impl>(r.pid);
  if (readEnd.valid()) {
    auto capture = std::make_shared<ErrorCapture>();
    if (StartErrorReader(std::move(readEnd), capture)) impl->errors = capture;
  }
  result.process = ProcessHandle(std::move(impl));
  return result;
}

}  // namespace platform
