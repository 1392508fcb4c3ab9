// What counts as a companion that cannot start, right after its install: a
// refused start, or an end within five seconds with a code that only the
// system's loader or a crash gives. Every other end is a normal one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "companion/rollback.h"
#include "platform/process.h"
#include "support/testing.h"

namespace {

using Kind = platform::ProcessEnd::Kind;
using testing_support::OnWindows;

struct Row {
  const char* name;
  int startError;
  Kind kind;
  std::uint32_t code;
  std::uint32_t ranMs;
  std::string errorOutput;
  bool couldNotStart;
  std::string why;  // the reason's text for the log, when it could not
};

void Check(const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    TUtility::TStartWatch watch;
    watch.startError = r.startError;
    watch.end.kind = r.kind;
    watch.end.code = r.code;
    watch.ranMs = r.ranMs;
    watch.errorOutput = r.errorOutput;
    std::string why;
    EXPECT_EQ(companion::CouldNotStart(watch, why), r.couldNotStart) << r.name;
    if (r.couldNotStart) {
      EXPECT_EQ(why, r.why) << r.name;
    }
  }
}

const char kLoaderError[] =
    "/opt/kestro/sarvo2006.exe: error while loading shared libraries: libgone.so.1: cannot open "
    "shared object file: No such file or directory\n";
const char kLoaderWords[] =
    "127: error while loading shared libraries: libgone.so.1: cannot open shared object file: No "
    "such file or directory";

TEST(CouldNotStartTest, StartsThatFailOrEndWithALoadersOrACrashsCode) {
  // The same on both platforms: the shell's refusal, and normal ends.
  std::vector<Row> rows = {
      {"refused start: file not found", 2, Kind::Unknown, 0, 0, "", true,
       "2: " + TUtility::SysErrorMessage(2)},
      {"refused start: bad program", 193, Kind::Unknown, 0, 0, "", true,
       "193: " + TUtility::SysErrorMessage(193)},
      {"the user declined administrator rights", 1223, Kind::Unknown, 0, 0, "", false, ""},
      {"ended at once with 0", 0, Kind::ExitCode, 0, 10, "", false, ""},
      {"ended at once with 3", 0, Kind::ExitCode, 3, 10, "", false, ""},
      {"ended at once with 1", 0, Kind::ExitCode, 1, 10, "", false, ""},
      {"how it ended is unknown", 0, Kind::Unknown, 0, 10, "", false, ""},
  };
  if (OnWindows()) {
    rows.insert(
        rows.end(),
        {
            {"DLL not found", 0, Kind::ExitCode, 0xC0000135, 40, "", true,
             "0xC0000135: STATUS_DLL_NOT_FOUND"},
            {"invalid image", 0, Kind::ExitCode, 0xC000007B, 40, "", true,
             "0xC000007B: STATUS_INVALID_IMAGE_FORMAT"},
            {"DLL init failed", 0, Kind::ExitCode, 0xC0000142, 40, "", true,
             "0xC0000142: STATUS_DLL_INIT_FAILED"},
            {"entry point not found", 0, Kind::ExitCode, 0xC0000139, 40, "", true,
             "0xC0000139: STATUS_ENTRYPOINT_NOT_FOUND"},
            {"ordinal not found", 0, Kind::ExitCode, 0xC0000138, 40, "", true,
             "0xC0000138: STATUS_ORDINAL_NOT_FOUND"},
            {"access violation", 0, Kind::ExitCode, 0xC0000005, 40, "", true,
             "0xC0000005: STATUS_ACCESS_VIOLATION"},
            {"illegal instruction", 0, Kind::ExitCode, 0xC000001D, 40, "", true,
             "0xC000001D: STATUS_ILLEGAL_INSTRUCTION"},
            {"access violation after the first five seconds", 0, Kind::ExitCode, 0xC0000005, 5001,
             "", false, ""},
            {"access violation at five seconds", 0, Kind::ExitCode, 0xC0000005, 5000, "", true,
             "0xC0000005: STATUS_ACCESS_VIOLATION"},
            {"stack overflow is not in the list", 0, Kind::ExitCode, 0xC00000FD, 40, "", false, ""},
            {"127 means nothing on Windows", 0, Kind::ExitCode, 127, 40, kLoaderError, false, ""},
        });
  } else {
    rows.insert(
        rows.end(),
        {
            {"SIGSEGV", 0, Kind::Signal, 11, 40, "", true, "SIGSEGV: Segmentation fault"},
            {"SIGILL", 0, Kind::Signal, 4, 40, "", true, "SIGILL: Illegal instruction"},
            {"SIGBUS", 0, Kind::Signal, 7, 40, "", true, "SIGBUS: Bus error"},
            {"SIGABRT", 0, Kind::Signal, 6, 40, "", true, "SIGABRT: Aborted"},
            {"SIGSEGV after the first five seconds", 0, Kind::Signal, 11, 5001, "", false, ""},
            {"killed (SIGKILL)", 0, Kind::Signal, 9, 40, "", false, ""},
            {"terminated (SIGTERM)", 0, Kind::Signal, 15, 40, "", false, ""},
            {"127 with the dynamic loader's error", 0, Kind::ExitCode, 127, 40,
             std::string("some warning first\n") + kLoaderError, true, kLoaderWords},
            {"127 without it", 0, Kind::ExitCode, 127, 40, "sh: 1: tool: not found\n", false, ""},
            {"126 with it", 0, Kind::ExitCode, 126, 40, kLoaderError, false, ""},
            {"a crash code of Windows means nothing here", 0, Kind::ExitCode, 0xC0000135, 40, "",
             false, ""},
        });
  }
  Check(rows);
}

}  // namespace
