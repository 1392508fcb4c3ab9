// One table of Windows error texts. The Linux port hands these out as the
// system's message texts; both platforms take their file error texts from it,
// so an exception message reads the same on both and does not depend on the
// language of the system.
#include "platform/common/error_texts.h"

#include <ostream>
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
    case 33:
      return "The process cannot access the file because another process has locked a portion "
             "of the file.";
    case 80:
      return "The file exists.";
    case 112:
      return "There is not enough space on the disk.";
    case 183:
      return "Cannot create a file when that file already exists.";
    case 193:
      return "%1 is not a valid Win32 application.";
    case 1006:
      return "The volume for a file has been externally altered so that the opened file is no "
             "longer valid.";
    case 1009:
      return "The configuration registry database is corrupt.";
    case 1016:
      return "An I/O operation initiated by the registry failed unrecoverably. The registry could "
             "not read in, or write out, or flush, one of the files that contain the system's "
             "image of the registry.";
    case 1223:
      return "The operation was canceled by the user.";
    default:
      return nullptr;
  }
}

std::ostream& operator<<(std::ostream& out, Failure failure) { return out << CodeOf(failure); }

std::string FileErrorText(Failure failure) {
  const std::uint32_t code = CodeOf(failure);
  const char* text = WindowsErrorText(code);
  return text != nullptr ? std::string(text) : "Error " + std::to_string(code);
}

}  // namespace platform
