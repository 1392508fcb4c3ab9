// The Windows message texts for the error codes this port produces itself, so
// that messages and log lines read the same on both platforms.
#include "platform/error_text.h"

namespace platform {

std::string SystemMessageText(std::uint32_t code) {
  // FormatMessageA hands out the text with its trailing line end and, because
  // inserts are ignored, with any "%1" left in place.
  switch (code) {
    case 0: return "The operation completed successfully.\r\n";
    case 2: return "The system cannot find the file specified.\r\n";
    case 3: return "The system cannot find the path specified.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 8: return "Not enough storage is available to process this command.\r\n";
    case 31: return "A device attached to the system is not functioning.\r\n";
    case 32:
      return "The process cannot access the file because it is being used by another process.\r\n";
    case 80: return "The file exists.\r\n";
    case 112: return "There is not enough space on the disk.\r\n";
    case 183: return "Cannot create a file when that file already exists.\r\n";
    case 193: return "%1 is not a valid Win32 application.\r\n";
    case 1223: return "The operation was canceled by the user.\r\n";
    default: return std::string();
  }
}

}  // namespace platform
