// Starting programs through the Windows shell.
#include "platform/shell.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/win32/win_handles.h"

namespace platform {

namespace {

// The shell's own result code of a failed start (SE_ERR_*), as the Windows
// error code that Windows itself would leave in GetLastError.
std::uint32_t ErrorFromInstApp(HINSTANCE instApp) {
  const INT_PTR code = reinterpret_cast<INT_PTR>(instApp);
  switch (code) {
    case 0:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SE_ERR_SHARE:
      return ERROR_SHARING_VIOLATION;
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC:
      return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY:
      return ERROR_DDE_FAIL;
    case SE_ERR_DLLNOTFOUND:
      return ERROR_DLL_NOT_FOUND;
    default:
      // SE_ERR_FNF, SE_ERR_PNF, SE_ERR_ACCESSDENIED, SE_ERR_OOM and
      // ERROR_BAD_FORMAT are Windows error codes already.
      return code > 0 && code <= 32 ? static_cast<std::uint32_t>(code) : ERROR_GEN_FAILURE;
  }
}

}  // namespace

// The start request as the elevated start fills it: 60 bytes in a 32-bit
// program, 112 in a 64-bit one (its handles and pointers are 8 bytes there).
static_assert(sizeof(SHELLEXECUTEINFOA) == (sizeof(void*) == 8 ? 112 : 60),
              "SHELLEXECUTEINFOA must be 60 bytes (32-bit) or 112 bytes (64-bit)");

namespace {

int ShowCmdOf(ShowCommand show) {
  switch (show) {
    case ShowCommand::Hidden:
      return SW_HIDE;
    case ShowCommand::Normal:
      return SW_SHOWNORMAL;
    case ShowCommand::Show:
      break;
  }
  return SW_SHOW;
}

}  // namespace

int ShellStart(const std::string& file, ShowCommand show) {
  // No owner, no verb (the default action), no parameters, no working
  // directory: the new process inherits ours. The HINSTANCE result is really
  // a status code: above 32 on success.
  HINSTANCE rc = ::ShellExecuteA(nullptr, nullptr, file.c_str(), nullptr, nullptr, ShowCmdOf(show));
  return static_cast<int>(reinterpret_cast<INT_PTR>(rc));
}

ShellExecResult ShellExecuteProcess(const std::string& verb, const std::string& file,
                                    const std::string& params, const std::string& dir,
                                    ShowCommand show, bool /*keepErrorOutput*/) {
  // A program started through the shell gets no standard error of ours to
  // keep: a GUI program has none.
  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  // 0x140: hand back the process handle, and finish any DDE conversation
  // before returning.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT;
  info.hwnd = nullptr;
  info.lpVerb = verb.empty() ? nullptr : verb.c_str();
  info.lpFile = file.c_str();
  // Empty parameters go in as an empty string, not as a missing one.
  info.lpParameters = params.c_str();
  // An empty directory means "none": the process inherits ours.
  info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
  info.nShow = ShowCmdOf(show);

  ShellExecResult result;
  ::SetLastError(ERROR_SUCCESS);
  if (!::ShellExecuteExA(&info)) {
    const DWORD code = ::GetLastError();
    // Without SEE_MASK_FLAG_NO_UI the shell shows its own error box, and
    // Wine's box overwrites the error code: 0 once the box was shown, 1400
    // (invalid window handle) when it could not be. The start itself has no
    // window to get wrong, so in both cases the shell's result code in
    // hInstApp says what went wrong.
    result.error = FailureFromCode(code == ERROR_SUCCESS || code == ERROR_INVALID_WINDOW_HANDLE
                                       ? ErrorFromInstApp(info.hInstApp)
                                       : code);
    return result;
  }
  result.ok = true;
  if (info.hProcess != nullptr) {
    std::unique_ptr<ProcessHandle::Impl> impl(
        new ProcessHandle::Impl{win32::KernelHandle(info.hProcess)});
    result.process = ProcessHandle(std::move(impl));
  }
  return result;
}

}  // namespace platform
