// The version resource of a Windows executable, read from its bytes: what the
// Linux port answers for every file, and what both builds answer for a file
// held open (a download under its checks), which the system's own version
// calls cannot read through a handle.
#pragma once

#include <cstdint>
#include <string>

#include "platform/common/byte_source.h"

namespace platform {

// A string of the version resource by its query path, as
// QueryVersionString (platform/version_info.h) answers it.
bool ReadVersionString(ByteSource& file, const std::string& queryPath, std::string& out);

// The binary file version of the fixed part, as QueryFixedFileVersion
// answers it.
bool ReadFixedFileVersion(ByteSource& file, std::uint32_t& mostSignificant,
                          std::uint32_t& leastSignificant);

}  // namespace platform
