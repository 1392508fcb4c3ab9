// The Linux port's check of the URL a transfer is asked for (platform/http.h).
#pragma once

#include <string>

namespace platform {

// Parses the URL `in`, refuses anything but http and https and drops any user
// name and password written into it: this client never sends credentials.
// Gives the URL to request in `out` and its scheme ("http" or "https") in
// `scheme`; false, with libcurl's or our own words in `detail`, for a URL it
// refuses.
bool CleanUrl(const std::string& in, std::string& out, std::string& scheme, std::string& detail);

}  // namespace platform
