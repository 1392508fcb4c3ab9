// One table of Windows error texts. The Linux port hands these out as the
// system's message texts; both platforms take their file error texts from it,
// so an exception message reads the same on both and does not depend on the
// language of the system.
#include "platform/common/error_texts.h"

#include <string>

#include "platform/files.h"

namespace platform {

const char* WindowsErrorText(std::uint32_t code) {
  switch (code) {
    case 0:
      return "The operation completed successfully.";
    case 2:
      return "The system cannot find the file specified.";
    case 3:
      return "The system cannot find the path specified.";
    case 5:
      return "Access is denied.";
    case 6:
      return "The handle is invalid.";
    case 8:
      return "Not enough storage is available to process this command.";
    case 17:
      return "The system cannot move the file to a different disk drive.";
    case 31:
      return "A device attached to the system is not functioning.";
    case 32:
      return "The process cannot access the file because it is being used by another process.";
    case 80:
      return "The file exists.";
    case 112:
      return "There is not enough space on the disk.";
    case 183:
      return "Cannot create a file when that file already exists.";
    case 193:
      return "%1 is not a valid Win32 application.";
    case 1223:
      return "The operation was canceled by the user.";
    default:
      return nullptr;
  }
}

std::string FileErrorText(std::uint32_t code) {
  const char* text = WindowsErrorText(code);
  return text != nullptr ? std::string(text) : "Error " + std::to_string(code);
}

}  // namespace platform
