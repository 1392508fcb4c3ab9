// Starting programs through the shell.
//
// Contract: GUI thread (the shell may show a dialog, e.g. for elevation);
// returns as soon as the program was started or refused; never processes the
// application's GUI messages; never throws.
#pragma once

#include <string>

#include "platform/error_codes.h"
#include "platform/process.h"
#include "platform/sysinfo.h"

namespace platform {

// How the started program's first window shows: hidden, in its normal size
// and place, or as it last was. The Linux port has no say over another
// program's window and ignores it.
enum class ShowCommand { Hidden, Normal, Show };

// Starts `file` with its default action, no parameters and no working
// directory of its own (ShellExecuteA). Returns a value above 32 when it was
// started, else a Windows-style error code of 32 or less (2 file not found,
// 3 path not found, 5 access denied).
int ShellStart(const std::string& file, ShowCommand show);

struct ShellExecResult {
  bool ok = false;
  Failure error = Failure::None;  // why, when !ok
  ProcessHandle process;          // may be invalid even when ok
};

// ShellExecuteExA with SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT. On the
// Linux port the verb is ignored (there is no elevation there) and the file is
// spawned directly with `dir` as its working directory. With
// `keepErrorOutput` the Linux port keeps the head of the program's standard
// error for ProcessHandle::ErrorOutputHead and passes all of it on to this
// process's own; Windows ignores it.
ShellExecResult ShellExecuteProcess(const std::string& verb, const std::string& file,
                                    const std::string& params, const std::string& dir,
                                    ShowCommand show, bool keepErrorOutput = false);

// The verb that starts a program with a request for administrator rights on
// the system `version` describes: "runas" on every Windows that knows such
// requests (the NT family from 6.0, Vista, on), else the plain default
// action, "open".
inline std::string ElevatingVerb(const OsVersion& version) {
  return version.major >= 6 && version.platformId == kPlatformIdNt ? "runas" : "open";
}

}  // namespace platform
