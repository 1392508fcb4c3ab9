// The debugger output channel (OutputDebugStringA on Windows, standard error on
// the Linux port).
//
// Contract: any thread, non-blocking, never throws; the text goes out as given.
#pragma once

#include <string>

namespace platform {

void DebugOutput(const std::string& text);

}  // namespace platform
