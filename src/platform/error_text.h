// The system's message text for an error code.
//
// Contract: any thread, non-blocking, never throws.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// FormatMessageA(FROM_SYSTEM | IGNORE_INSERTS | ARGUMENT_ARRAY) into 256
// characters, raw (the caller trims). The Linux port gives the Windows texts
// for the codes it produces itself. Empty when there is no text.
std::string SystemMessageText(std::uint32_t code);

}  // namespace platform
