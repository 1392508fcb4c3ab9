// The fixed English texts of the Windows error codes the system hands out,
// shared by both platforms' implementations.
#pragma once

#include <cstdint>

namespace platform {

// The text Windows gives for the code, word for word, without its line end
// (inserts such as "%1" left in place); nullptr for a code the table lacks.
const char* WindowsErrorText(std::uint32_t code);

}  // namespace platform
