// The system's message texts through FormatMessageA.
#include "platform/error_text.h"

#include <windows.h>

namespace platform {

std::string SystemMessageText(std::uint32_t code) {
  char buf[256] = {};
  // Language 0: the system's choice for the user. The text comes back raw,
  // with its trailing line end; the caller trims.
  DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, code, 0, buf, sizeof(buf), nullptr);
  return std::string(buf, n);
}

}  // namespace platform
