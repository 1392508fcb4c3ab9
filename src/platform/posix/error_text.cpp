// The Windows message texts for the error codes this port produces itself, so
// that messages and log lines read the same on both platforms.
#include "platform/error_text.h"

#include "platform/common/error_texts.h"

namespace platform {

std::string SystemMessageText(std::uint32_t code) {
  // FormatMessageA hands out the text with its trailing line end and, because
  // inserts are ignored, with any "%1" left in place.
  const char* text = WindowsErrorText(code);
  return text != nullptr ? std::string(text) + "\r\n" : std::string();
}

}  // namespace platform
