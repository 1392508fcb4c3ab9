// Parameters on a command line, as the Windows C runtime splits them. The
// Linux port starts programs with the parameters split this way, so that a
// program gets the same arguments on both platforms.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Blanks separate, double quotes group (and are removed), 2n backslashes
// before a quote give n backslashes and the quote acts, 2n+1 give n and a
// literal quote, "" inside quotes gives a literal quote; other backslashes
// are plain.
std::vector<std::string> SplitParameters(const std::string& params);

}  // namespace platform
